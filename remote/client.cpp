// The client side of the port: the same calls against a server in this process or in a
// `tamsa serve` process reached through its socket.
#include "tamsa/client.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/bus.h"
#include "platform/ppc.h"
#include "remote/protocol.h"
#include "server/server.h"
#include "server/wire.h"

static_assert(TAMSA_REPLIED == TAMSA_SEND_REPLIED && TAMSA_NOT_SERVED == TAMSA_SEND_NOT_SERVED &&
              TAMSA_TIMEOUT == TAMSA_SEND_TIMEOUT);
static_assert(TAMSA_OVER_LIMIT != TAMSA_REPLIED && TAMSA_OVER_LIMIT != TAMSA_NOT_SERVED &&
              TAMSA_OVER_LIMIT != TAMSA_TIMEOUT && TAMSA_OVER_LIMIT != TAMSA_FAILED);

struct tamsa_server {
    tamsa::server::task_thread task;
};

struct tamsa_client {
    // In this process: the port, and the bus as the library sees it.
    tamsa_port_ref *port = nullptr;
    // Remote: the socket and this process's mapping of the server's bus. One request at a time.
    int socket = -1;
    uint8_t *base = nullptr;
    uint64_t size = 0;
    std::mutex lock;

    bool remote() const { return socket >= 0; }
};

namespace {

bool exchange(tamsa_client &client, const tamsa::remote::request &request,
              tamsa::remote::response &answer) {
    std::lock_guard<std::mutex> guard(client.lock);
    return tamsa::remote::write_full(client.socket, &request, sizeof request) &&
           tamsa::remote::read_full(client.socket, &answer, sizeof answer);
}

// A request that gets no answer: it costs the client no wait for the server.
void tell(tamsa_client &client, tamsa::remote::request_kind kind, uint32_t a) {
    const tamsa::remote::request request{tamsa::remote::kMagic, uint32_t(kind), a, 0, 0, 0};
    std::lock_guard<std::mutex> guard(client.lock);
    tamsa::remote::write_full(client.socket, &request, sizeof request);
}

}  // namespace

extern "C" {

tamsa_server *tamsa_server_start(const char *port_name) {
    auto *server = new (std::nothrow) tamsa_server;
    if (server == nullptr) return nullptr;
    // Why it could not start is not told: the library prints nothing, and the answer is null.
    if (!tamsa::server::start_task(server->task, port_name, {})) {
        delete server;
        return nullptr;
    }
    return server;
}

void tamsa_server_stop(tamsa_server *server) {
    if (server == nullptr) return;
    tamsa::server::send_stop(server->task.port_name.c_str(), false);
    server->task.thread.join();
    delete server;
}

tamsa_client *tamsa_client_local(const char *port_name) {
    tamsa_port_ref *port = tamsa_port_find(port_name != nullptr ? port_name : TAMSA_PORT_NAME);
    if (port == nullptr) return nullptr;
    auto *client = new (std::nothrow) tamsa_client;
    if (client == nullptr) {
        tamsa_port_release(port);
        return nullptr;
    }
    client->port = port;
    return client;
}

tamsa_client *tamsa_client_connect(const char *port_name) {
    if (port_name == nullptr) port_name = TAMSA_PORT_NAME;
    const std::string path = tamsa::remote::socket_path(port_name);
    if (path.empty()) {
        errno = tamsa::remote::valid_port_name(port_name) ? ENAMETOOLONG : EINVAL;
        return nullptr;
    }
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return nullptr;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        !tamsa::remote::same_user(s)) {
        close(s);
        return nullptr;
    }
    const tamsa::remote::request hello{tamsa::remote::kMagic,
                                       uint32_t(tamsa::remote::request_kind::hello),
                                       tamsa::remote::kVersion,
                                       0,
                                       0,
                                       0};
    tamsa::remote::response answer{};
    int bus = -1;
    if (!tamsa::remote::write_full(s, &hello, sizeof hello) ||
        !tamsa::remote::receive_with_fd(s, &answer, sizeof answer, &bus) || answer.status != 0 ||
        answer.value != tamsa::remote::kVersion || bus < 0 || answer.extra == 0 ||
        answer.extra > (uint64_t(1) << 32)) {
        if (bus >= 0) close(bus);
        close(s);
        return nullptr;
    }
    void *map = mmap(nullptr, answer.extra, PROT_READ | PROT_WRITE, MAP_SHARED, bus, 0);
    close(bus);
    auto *client = map == MAP_FAILED ? nullptr : new (std::nothrow) tamsa_client;
    if (client == nullptr) {
        if (map != MAP_FAILED) munmap(map, answer.extra);
        close(s);
        return nullptr;
    }
    client->socket = s;
    client->base = static_cast<uint8_t *>(map);
    client->size = answer.extra;
    return client;
}

void tamsa_client_close(tamsa_client *client) {
    if (client == nullptr) return;
    if (client->remote()) {
        munmap(client->base, client->size);
        close(client->socket);
    }
    tamsa_port_release(client->port);
    delete client;
}

uint32_t tamsa_client_alloc(tamsa_client *client, uint32_t size, uint32_t attributes) {
    if (client == nullptr) return 0;
    if (!client->remote()) return tamsa_bus_address(PPCAllocVec(size, attributes));
    tamsa::remote::response answer{};
    const tamsa::remote::request alloc{.magic = tamsa::remote::kMagic,
                                       .kind = uint32_t(tamsa::remote::request_kind::alloc),
                                       .a = size,
                                       .b = attributes,
                                       .c = 0,
                                       .id = 0};
    if (!exchange(*client, alloc, answer)) return 0;
    return answer.status == 0 ? answer.value : 0;
}

void tamsa_client_free(tamsa_client *client, uint32_t address) {
    if (client == nullptr || address == 0) return;
    if (!client->remote()) {
        PPCFreeVec(tamsa_bus_pointer(address));
        return;
    }
    tell(*client, tamsa::remote::request_kind::release, address);
}

void tamsa_client_free_bitmap(tamsa_client *client, uint32_t record) {
    tamsa_wire_bitmap bitmap{};
    if (tamsa_client_read_bitmap(client, record, &bitmap) == 0) return;
    tamsa_client_free(client, bitmap.data);
    tamsa_client_free(client, record);
}

int32_t tamsa_client_read_bitmap(tamsa_client *client, uint32_t record, tamsa_wire_bitmap *out) {
    const void *wire = tamsa_client_pointer(client, record, tamsa::server::kWireRecordBytes);
    if (wire == nullptr || out == nullptr) return 0;
    const tamsa::server::wire_record r = tamsa::server::load_wire_record(wire);
    *out = {r.data, r.width, r.height, r.bytesperpixel};
    return 1;
}

int32_t tamsa_client_write_bitmap(tamsa_client *client, uint32_t record,
                                  const tamsa_wire_bitmap *bitmap) {
    void *wire = tamsa_client_pointer(client, record, tamsa::server::kWireRecordBytes);
    if (wire == nullptr || bitmap == nullptr) return 0;
    tamsa::server::store_wire_record(
        wire, {bitmap->data, bitmap->width, bitmap->height, bitmap->bytesperpixel});
    return 1;
}

void *tamsa_client_pointer(tamsa_client *client, uint32_t address, uint32_t length) {
    if (client == nullptr) return nullptr;
    if (!client->remote()) {
        return tamsa_bus_contains(address, length) ? tamsa_bus_pointer(address) : nullptr;
    }
    if (address == 0 || uint64_t(address) + length > client->size) return nullptr;
    return client->base + address;
}

uint32_t tamsa_client_load32(tamsa_client *client, uint32_t address) {
    const void *p = tamsa_client_pointer(client, address, 4);
    return p != nullptr ? tamsa::platform::load_be32(p) : 0;
}

void tamsa_client_store32(tamsa_client *client, uint32_t address, uint32_t value) {
    void *p = tamsa_client_pointer(client, address, 4);
    if (p != nullptr) tamsa::platform::store_be32(p, value);
}

int32_t tamsa_client_send(tamsa_client *client, int32_t id, uint32_t block, int32_t timeout_ms) {
    if (client == nullptr) return TAMSA_FAILED;
    if (!client->remote()) return tamsa_port_send(client->port, id, block, timeout_ms);
    tamsa::remote::response answer{};
    const tamsa::remote::request send{.magic = tamsa::remote::kMagic,
                                      .kind = uint32_t(tamsa::remote::request_kind::send),
                                      .a = 0,
                                      .b = block,
                                      .c = timeout_ms,
                                      .id = id};
    return exchange(*client, send, answer) ? answer.status : TAMSA_FAILED;
}

int32_t tamsa_client_call(tamsa_client *client, int32_t id, const uint32_t *args, uint32_t count,
                          int32_t timeout_ms, uint32_t *word0) {
    if (client == nullptr || count > 7 || (count > 0 && args == nullptr)) return TAMSA_FAILED;
    const uint32_t block = tamsa_client_alloc(client, 4 * (count + 1), TAMSA_MEMF_CLEAR);
    if (block == 0) return TAMSA_FAILED;
    for (uint32_t n = 0; n < count; ++n) tamsa_client_store32(client, block + 4 * (n + 1), args[n]);
    const int32_t status = tamsa_client_send(client, id, block, timeout_ms);
    if (word0 != nullptr) *word0 = tamsa_client_load32(client, block);
    tamsa_client_free(client, block);
    return status;
}

}  // extern "C"
