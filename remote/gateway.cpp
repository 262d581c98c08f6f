// Serving the port to other processes.
//
// Every client is a thread that reads fixed-size requests and answers each. A message is sent to
// the port with the ordinary sender's call, so the server sees no difference between a client
// here and one in this process. The gateway remembers which blocks each client owns (those it
// allocated, and the bitmaps the server handed it) so that a client can free only its own, and
// so that whatever a client leaves behind when it goes away is freed.
#include "remote/gateway.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/bus.h"
#include "platform/ppc.h"
#include "remote/protocol.h"
#include "server/server.h"
#include "server/wire.h"

namespace tamsa::remote {

namespace {

constexpr size_t kMaxClients = 64;

struct connection {
    int socket = -1;
    uint64_t id = 0;
    std::thread thread;
    std::atomic<bool> done{false};
};

}  // namespace

struct gateway {
    std::string port_name;
    std::string path;
    int listener = -1;
    int wake[2] = {-1, -1};  // a pipe that ends the accept loop

    std::mutex lock;  // guards clients and owners
    std::list<connection> clients;
    std::map<uint32_t, uint64_t> owners;  // block address -> the client that owns it
    uint64_t next_id = 1;
    std::atomic<uint64_t> messages{0};
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> served_clients{0};
};

namespace {

bool adopt(gateway &g, uint64_t client, uint32_t address) {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.owners.emplace(address, client).second;
}

// Frees a block if the client owns it.
bool release(gateway &g, uint64_t client, uint32_t address) {
    {
        std::lock_guard<std::mutex> guard(g.lock);
        const auto it = g.owners.find(address);
        if (it == g.owners.end() || it->second != client) return false;
        g.owners.erase(it);
    }
    PPCFreeVec(tamsa_bus_pointer(address));
    return true;
}

void release_all(gateway &g, uint64_t client) {
    std::set<uint32_t> mine;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        for (auto it = g.owners.begin(); it != g.owners.end();) {
            if (it->second == client) {
                mine.insert(it->first);
                it = g.owners.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (uint32_t address : mine) PPCFreeVec(tamsa_bus_pointer(address));
}

// A bitmap the server handed back in word 0 becomes the client's. Only blocks that nobody owns
// are taken: a client cannot claim another's blocks by writing a forged word 0.
void adopt_bitmap(gateway &g, uint64_t client, uint32_t block) {
    uint32_t record = 0, record_block = 0, pixel_block = 0;
    if (!server::read_word(block, record) ||
        !server::handed_blocks(record, record_block, pixel_block)) {
        return;
    }
    if (adopt(g, client, record_block) && pixel_block != 0) adopt(g, client, pixel_block);
}

bool returns_bitmap(int32_t id) {
    const server::op_row *row = server::find_op(id);
    return row != nullptr && row->rule == server::result_rule::returned;
}

// Answers one request; false when the client is to be hung up on.
bool answer_request(gateway &g, connection &c, tamsa_port_ref *port, const request &request) {
    if (request.magic != kMagic) return false;  // not one of ours
    response answer{};
    switch (request_kind(request.kind)) {
        case request_kind::hello:
            answer.value = kVersion;
            answer.extra = tamsa_bus_size();
            return send_with_fd(c.socket, &answer, sizeof answer, platform::bus_fd());
        case request_kind::alloc: {
            const uint32_t address = tamsa_bus_address(PPCAllocVec(request.a, request.b));
            if (address != 0 && adopt(g, c.id, address)) {
                answer.value = address;
            } else {
                PPCFreeVec(tamsa_bus_pointer(address));
                answer.status = 1;
            }
            break;
        }
        case request_kind::free:
            answer.status = release(g, c.id, request.a) ? 0 : 1;
            break;
        case request_kind::send: {
            const auto id = int32_t(request.a);
            answer.status = tamsa_port_send(port, id, request.b, request.c);
            ++g.messages;
            if (answer.status == TAMSA_SEND_REPLIED && returns_bitmap(id)) {
                adopt_bitmap(g, c.id, request.b);
            }
            break;
        }
        default:
            answer.status = -1;
            break;
    }
    return write_full(c.socket, &answer, sizeof answer);
}

void serve_client(gateway &g, connection &c) {
    tamsa_port_ref *port = tamsa_port_find(g.port_name.c_str());
    request request{};
    while (port != nullptr && read_full(c.socket, &request, sizeof request) &&
           answer_request(g, c, port, request)) {
    }
    tamsa_port_release(port);
    // A client that leaves gives its blocks back. One that is still there when the server stops
    // keeps them: it may be reading its last answers from the bus, which outlives this process
    // for as long as the client maps it.
    if (!g.stopping) release_all(g, c.id);
    shutdown(c.socket, SHUT_RDWR);
    c.done = true;
}

// Joins the threads of clients that have gone.
void reap(gateway &g) {
    std::list<connection> gone;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        for (auto it = g.clients.begin(); it != g.clients.end();) {
            auto next = std::next(it);
            if (it->done) gone.splice(gone.end(), g.clients, it);
            it = next;
        }
    }
    for (connection &c : gone) {
        c.thread.join();
        close(c.socket);
    }
}

bool make_private_dir(const std::string &dir, std::string &error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        error = dir + " is not a private directory of this user";
        return false;
    }
    return true;
}

}  // namespace

gateway *gateway_open(const char *port_name, std::string &error) {
    const std::string path = socket_path(port_name);
    if (path.empty()) {
        error = "bad port name (letters, digits, '.', '_' and '-', at most 64)";
        return nullptr;
    }
    if (!make_private_dir(socket_dir(), error)) return nullptr;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // A socket file left by a process that died is taken over; one with a live server is not.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        const bool live =
            connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        close(probe);
        if (live) {
            error = "port " + std::string(port_name) + " is already served at " + path;
            return nullptr;
        }
    }
    unlink(path.c_str());

    auto *g = new gateway;
    g->port_name = port_name;
    g->path = path;
    g->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const mode_t old_mask = umask(0177);  // the socket is born 0600
    const bool bound =
        g->listener >= 0 &&
        bind(g->listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    umask(old_mask);
    if (!bound || listen(g->listener, 16) != 0 || pipe2(g->wake, O_CLOEXEC) != 0) {
        error = "cannot serve " + path + ": " + std::strerror(errno);
        if (g->listener >= 0) close(g->listener);
        if (bound) unlink(path.c_str());
        delete g;
        return nullptr;
    }
    return g;
}

void gateway_run(gateway *g) {
    for (;;) {
        pollfd fds[2] = {{g->listener, POLLIN, 0}, {g->wake[0], POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        reap(*g);
        if ((fds[1].revents & POLLIN) != 0) break;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int s = accept4(g->listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) continue;
        std::lock_guard<std::mutex> guard(g->lock);
        if (!same_user(s) || g->clients.size() >= kMaxClients) {
            close(s);
            continue;
        }
        try {
            connection &c = g->clients.emplace_back();
            c.socket = s;
            c.id = g->next_id++;
            c.thread = std::thread(serve_client, std::ref(*g), std::ref(c));
            ++g->served_clients;
        } catch (...) {
            g->clients.pop_back();
            close(s);
        }
    }
}

void gateway_stop(gateway *g) {
    g->stopping = true;
    const char one = 1;
    (void)!write(g->wake[1], &one, 1);
    // Only the reading side is shut: an answer on its way out still reaches its client.
    {
        std::lock_guard<std::mutex> guard(g->lock);
        for (connection &c : g->clients) shutdown(c.socket, SHUT_RD);
    }
}

void gateway_close(gateway *g) {
    if (g == nullptr) return;
    for (connection &c : g->clients) {
        shutdown(c.socket, SHUT_RD);
        if (c.thread.joinable()) c.thread.join();
        close(c.socket);
    }
    close(g->listener);
    close(g->wake[0]);
    close(g->wake[1]);
    unlink(g->path.c_str());
    delete g;
}

const std::string &gateway_path(const gateway *g) {
    return g->path;
}
uint64_t gateway_messages(const gateway *g) {
    return g->messages;
}
uint64_t gateway_clients(const gateway *g) {
    return g->served_clients;
}

}  // namespace tamsa::remote
