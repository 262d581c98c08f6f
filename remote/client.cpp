// The client side of the port: the same calls against a server in this process or in a
// `tamsa serve` process reached through its socket.
#include "tamsa/client.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/bus.h"
#include "platform/ports.h"
#include "platform/ppc.h"
#include "remote/protocol.h"
#include "server/server.h"
#include "server/wire.h"

static_assert(TAMSA_REPLIED == TAMSA_SEND_REPLIED && TAMSA_NOT_SERVED == TAMSA_SEND_NOT_SERVED &&
              TAMSA_TIMEOUT == TAMSA_SEND_TIMEOUT);
static_assert(TAMSA_OVER_LIMIT != TAMSA_REPLIED && TAMSA_OVER_LIMIT != TAMSA_NOT_SERVED &&
              TAMSA_OVER_LIMIT != TAMSA_TIMEOUT && TAMSA_OVER_LIMIT != TAMSA_FAILED);
static_assert(TAMSA_REFUSED > TAMSA_OVER_LIMIT);

struct tamsa_server {
    tamsa::server::task_thread task;
};

// A remote client's mapping of its process's pool: the slot of the server's bus at bus
// addresses [pool, pool + size), whose memfd reaches file_bytes into it so far. A pool the
// server gave back while the process held nothing is replaced by the next one it hands over;
// the old mapping stays until the client is closed, so that no pointer taken from it faults.
struct pool_mapping {
    int fd = -1;
    uint8_t *base = nullptr;
    uint32_t pool = 0;
    uint32_t size = 0;
    std::atomic<uint64_t> file_bytes{0};
    pool_mapping *older = nullptr;
};

struct tamsa_client {
    // In this process: the port, and the bus as the library sees it.
    tamsa_port_ref *port = nullptr;
    // Remote: the socket, and the pool once it was asked for (with the first allocation or
    // message). One request at a time.
    int socket = -1;
    std::atomic<pool_mapping *> mapping{nullptr};
    std::mutex lock;

    bool remote() const { return socket >= 0; }
};

namespace {

thread_local char connect_error[160] = "";

bool exchange_locked(tamsa_client &client, const tamsa::remote::request &request,
                     tamsa::remote::response &answer) {
    return tamsa::remote::write_full(client.socket, &request, sizeof request) &&
           tamsa::remote::read_full(client.socket, &answer, sizeof answer);
}

// Asks for the process's pool and maps it; false (errno EUSERS when every slot of the server is
// another process's) when there is none. With the client's lock held.
bool ask_pool(tamsa_client &client) {
    const tamsa::remote::request ask{
        tamsa::remote::kMagic, uint32_t(tamsa::remote::request_kind::pool), 0, 0, 0, 0};
    tamsa::remote::response answer{};
    int fd = -1;
    if (!tamsa::remote::write_full(client.socket, &ask, sizeof ask) ||
        !tamsa::remote::receive_with_fd(client.socket, &answer, sizeof answer, &fd)) {
        return false;
    }
    const auto address = uint32_t(answer.extra >> 32);
    const auto size = uint32_t(answer.extra);
    if (answer.status != 0 || fd < 0 || address == 0 || size == 0 ||
        uint64_t(address) + size > UINT32_MAX) {
        if (fd >= 0) close(fd);
        if (answer.status == TAMSA_OVER_LIMIT) errno = EUSERS;
        return false;
    }
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    auto *made = map == MAP_FAILED ? nullptr : new (std::nothrow) pool_mapping;
    if (made == nullptr) {
        if (map != MAP_FAILED) munmap(map, size);
        close(fd);
        return false;
    }
    made->fd = fd;
    made->base = static_cast<uint8_t *>(map);
    made->pool = address;
    made->size = size;
    made->older = client.mapping.load(std::memory_order_relaxed);
    client.mapping.store(made, std::memory_order_release);
    return true;
}

// An allocation or a message: the pool is asked for first when this connection has none, or
// again when the server says the one it has is no longer the process's.
bool exchange(tamsa_client &client, const tamsa::remote::request &request,
              tamsa::remote::response &answer) {
    std::lock_guard<std::mutex> guard(client.lock);
    if (client.mapping.load(std::memory_order_relaxed) == nullptr && !ask_pool(client))
        return false;
    if (!exchange_locked(client, request, answer)) return false;
    if (answer.status != tamsa::remote::kNeedPool) return true;
    return ask_pool(client) && exchange_locked(client, request, answer) &&
           answer.status != tamsa::remote::kNeedPool;
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
    connect_error[0] = 0;
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
    const bool answered = tamsa::remote::write_full(s, &hello, sizeof hello) &&
                          tamsa::remote::read_full(s, &answer, sizeof answer);
    if (!answered || answer.status != 0 || answer.value != tamsa::remote::kVersion) {
        close(s);
        const auto why = tamsa::remote::refusal(answer.extra & 0xffffffffu);
        if (answered && answer.status == TAMSA_REFUSED &&
            why == tamsa::remote::refusal::connections) {
            errno = EMFILE;
            std::snprintf(connect_error, sizeof connect_error,
                          "this process already holds %u connections to port '%s', the most "
                          "its server allows",
                          unsigned(answer.extra >> 32), port_name);
        } else if (answered && (answer.status == TAMSA_REFUSED || answer.value != 0) &&
                   answer.value != tamsa::remote::kVersion) {
            errno = EPROTO;
            std::snprintf(connect_error, sizeof connect_error,
                          "the server of port '%s' speaks protocol version %u and this client "
                          "version %u: use a client of the server's build",
                          port_name, unsigned(answer.value), unsigned(tamsa::remote::kVersion));
        } else {
            errno = ECONNREFUSED;
            std::snprintf(connect_error, sizeof connect_error,
                          "the server of port '%s' refused the connection", port_name);
        }
        return nullptr;
    }
    auto *client = new (std::nothrow) tamsa_client;
    if (client == nullptr) {
        close(s);
        return nullptr;
    }
    client->socket = s;
    return client;
}

const char *tamsa_client_connect_error(void) {
    return connect_error;
}

void tamsa_client_close(tamsa_client *client) {
    if (client == nullptr) return;
    if (client->remote()) {
        for (pool_mapping *m = client->mapping.load(); m != nullptr;) {
            pool_mapping *older = m->older;
            munmap(m->base, m->size);
            close(m->fd);
            delete m;
            m = older;
        }
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
    // Only the client's own pool is mapped here, and of it only what its memfd reaches: a touch
    // beyond would be a fault.
    pool_mapping *m = client->mapping.load(std::memory_order_acquire);
    if (m == nullptr || address < m->pool ||
        uint64_t(address) + length > uint64_t(m->pool) + m->size)
        return nullptr;
    const uint64_t end = uint64_t(address - m->pool) + length;
    if (end > m->file_bytes.load(std::memory_order_relaxed)) {
        struct stat st {};
        if (fstat(m->fd, &st) != 0 || uint64_t(st.st_size) < end) return nullptr;
        m->file_bytes.store(uint64_t(st.st_size), std::memory_order_relaxed);
    }
    return m->base + (address - m->pool);
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
    return tamsa_client_send_result(client, id, block, timeout_ms, nullptr);
}

int32_t tamsa_client_send_result(tamsa_client *client, int32_t id, uint32_t block,
                                 int32_t timeout_ms, uint32_t *result) {
    if (result != nullptr) *result = 0;
    if (client == nullptr) return TAMSA_FAILED;
    if (!client->remote()) {
        if (result == nullptr) return tamsa_port_send(client->port, id, block, timeout_ms);
        tamsa::platform::message_answer answer;
        const int32_t status = tamsa::platform::send_message(
            client->port, id, block, tamsa::platform::kThisProcess, timeout_ms, &answer);
        if (status == TAMSA_REPLIED) *result = answer.result;
        return status;
    }
    tamsa::remote::response answer{};
    const tamsa::remote::request send{.magic = tamsa::remote::kMagic,
                                      .kind = uint32_t(tamsa::remote::request_kind::send),
                                      .a = 0,
                                      .b = block,
                                      .c = timeout_ms,
                                      .id = id};
    if (!exchange(*client, send, answer)) return TAMSA_FAILED;
    // The gateway sends the result with every replied message, over the limit or not.
    if (result != nullptr && (answer.status == TAMSA_REPLIED || answer.status == TAMSA_OVER_LIMIT))
        *result = answer.value;
    return answer.status;
}

int32_t tamsa_client_call(tamsa_client *client, int32_t id, const uint32_t *args, uint32_t count,
                          int32_t timeout_ms, uint32_t *result) {
    if (result != nullptr) *result = 0;
    if (client == nullptr || count > 7 || (count > 0 && args == nullptr)) return TAMSA_FAILED;
    const uint32_t block = tamsa_client_alloc(client, 4 * (count + 1), TAMSA_MEMF_CLEAR);
    if (block == 0) return TAMSA_FAILED;
    for (uint32_t n = 0; n < count; ++n) tamsa_client_store32(client, block + 4 * (n + 1), args[n]);
    const int32_t status = tamsa_client_send_result(client, id, block, timeout_ms, result);
    tamsa_client_free(client, block);
    return status;
}

}  // extern "C"
