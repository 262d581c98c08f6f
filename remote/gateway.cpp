// Serving the port to other processes.
//
// One thread runs an event loop over every connection, so an idle client costs a descriptor and
// a few bytes, never a thread. A connection's requests are taken one at a time: the next frame
// is read only once the previous one is answered, so a client's message never meets another
// request of the same client, and a client cannot free a block its own message is using.
// Messages go to the port without waiting. When one is done, the thread that finished it (the
// server's) writes the client its answer at once, then tells the loop through an eventfd, and
// the loop goes back to reading that client.
//
// Each connection is an owner of the bus; the connections of one process share an account with
// its limit, and a pool: a slot of the bus mapped from a memfd that only that process and this
// one map, where all its blocks live. What a connection allocates, and what the operations of
// its messages leave live, are its blocks from birth; it can free only those, the server
// touches only those on its behalf, and whatever it holds when it goes away is freed, once no
// message of its is with the server. When the process's last connection has gone, its pool is
// unmapped and the slot serves another process.
#include "remote/gateway.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "platform/bus.h"
#include "platform/heap.h"
#include "platform/ports.h"
#include "remote/protocol.h"
#include "remote/requests.h"
#include "tamsa/client.h"

namespace tamsa::remote {

namespace {

using clock_type = std::chrono::steady_clock;

// Tags of the loop's own descriptors; a connection's tag is its owner, never 0 and below 2^32.
constexpr uint64_t kListenerTag = 0;
constexpr uint64_t kWakeTag = uint64_t(1) << 32;
// Work one connection may have done in a row before the others get their turn: a frame is one
// unit, and a cleared allocation one more for every MiB it clears.
constexpr uint64_t kWorkPerTurn = 64;

// A message done: whose, and whether its answer reached the client.
struct completion {
    uint32_t owner;
    bool answered;
};

// Where the server's thread leaves the messages that are done. The messages' completions hold
// it too, so it outlives the gateway should one come late.
struct completions {
    int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::mutex lock;
    std::vector<completion> done;
    bool stop = false;

    ~completions() {
        if (event >= 0) close(event);
    }
    void wake() {
        const uint64_t one = 1;
        (void)!write(event, &one, sizeof one);
    }
    // Room for one completion a connection is made as each connection comes, here and in the
    // list the loop takes them into, so that neither posting nor taking needs memory.
    void make_room(size_t connections, std::vector<completion> &taken) {
        taken.reserve(connections);
        std::lock_guard<std::mutex> guard(lock);
        done.reserve(connections);
    }
    void post(completion c) {
        {
            std::lock_guard<std::mutex> guard(lock);
            done.push_back(c);
        }
        wake();
    }
};

struct connection {
    int socket = -1;
    client_state state;
    uint8_t frame[kRequestBytes] = {};
    size_t have = 0;                    // bytes of frame read so far
    platform::message_handle message;   // the message with the server, if any
    clock_type::time_point deadline{};  // of that message's timeout, when timed
    bool timed = false;
    bool gone = false;  // hung up while its message was with the server
};

}  // namespace

struct gateway {
    std::string port_name;
    std::string path;
    gateway_options options;
    int listener = -1;
    int epoll = -1;
    int spare = -1;  // kept to refuse a connection when descriptors run out
    bool bound = false;
    std::shared_ptr<completions> sink;
    tamsa_port_ref *port = nullptr;

    std::unordered_map<uint32_t, std::unique_ptr<connection>> clients;  // by owner
    std::deque<std::pair<clock_type::time_point, uint32_t>> greetings;  // in order of arrival
    std::set<std::pair<clock_type::time_point, uint32_t>> timeouts;
    std::vector<completion> taken;  // completions being handled
    uint32_t next_owner = 1;

    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> served_clients{0};
    std::atomic<uint64_t> connections{0};
};

namespace {

void watch(gateway &g, connection &c, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = c.state.owner;
    epoll_ctl(g.epoll, EPOLL_CTL_MOD, c.socket, &e);
}

// Ends a connection and frees what its client holds; one whose message is with the server is
// only unhooked (it no longer counts as open), and ended when the message is done.
void drop(gateway &g, uint32_t owner) {
    const auto it = g.clients.find(owner);
    if (it == g.clients.end()) return;
    connection &c = *it->second;
    const bool counted = !c.gone;
    epoll_ctl(g.epoll, EPOLL_CTL_DEL, c.socket, nullptr);
    if (c.message != nullptr && platform::withdraw_message(c.message)) {
        // Not taken yet: no one waits for it, so it never runs.
        c.message.reset();
        if (c.timed) g.timeouts.erase({c.deadline, owner});
        c.timed = false;
    }
    if (c.message != nullptr) {
        c.gone = true;
        if (counted) --g.connections;
        return;
    }
    close(c.socket);
    platform::free_owner(owner);
    g.clients.erase(it);
    // Last, so that whoever sees the count fall sees the client's blocks gone too.
    if (counted) --g.connections;
}

// Answers are 16 bytes and a client has at most one unread; one that does not fit means the
// client stopped reading, and it is hung up on.
bool write_answer(int socket, const response &answer) {
    ssize_t n;
    do {
        n = send(socket, &answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof answer);
}

bool start_send(gateway &g, connection &c, const decision &d) {
    if (g.port == nullptr) g.port = tamsa_port_find(g.port_name.c_str());
    const uint32_t owner = c.state.owner;
    // Runs on the thread that finishes the message. The socket stays open while the message is
    // out (a connection is ended only once its message is done), so writing to it is safe.
    const auto done = [sink = g.sink, owner, socket = c.socket](int32_t status,
                                                                const platform::message_answer &a) {
        const bool answered =
            write_answer(socket, send_answer(status, a.result, a.left.size(), a.over_limit));
        sink->post({owner, answered});
    };
    try {
        c.message = platform::post_message(g.port, d.id, d.block, owner, done);
        if (c.message == nullptr) {
            // The port may have been made again since it was found.
            tamsa_port_release(g.port);
            g.port = tamsa_port_find(g.port_name.c_str());
            c.message = platform::post_message(g.port, d.id, d.block, owner, done);
        }
    } catch (...) {
        return write_answer(c.socket, send_answer(TAMSA_FAILED, 0, 0, false));
    }
    if (c.message == nullptr)
        return write_answer(c.socket, send_answer(TAMSA_NOT_SERVED, 0, 0, false));
    ++g.messages;
    // Nothing more is read from it until the answer is out; hang-ups are still reported.
    watch(g, c, 0);
    if (d.timeout_ms >= 0) {
        c.deadline = clock_type::now() + std::chrono::milliseconds(d.timeout_ms);
        try {
            g.timeouts.emplace(c.deadline, owner);
            c.timed = true;
        } catch (...) {
            // Without a timer the message is simply waited for, as a taken one is.
        }
    }
    return true;
}

// Does what a frame asked for; false when the connection is to end.
bool act(gateway &g, connection &c, const decision &d) {
    switch (d.what) {
        case action::reply:
            return write_answer(c.socket, d.answer);
        case action::reply_with_pool:
            return send_with_fd(c.socket, &d.answer, sizeof d.answer, d.fd);
        case action::refuse:
            write_answer(c.socket, d.answer);
            return false;
        case action::send:
            return start_send(g, c, d);
        case action::nothing:
            return true;
        case action::hang_up:
            break;
    }
    return false;
}

// Reads and acts on frames until the connection waits for a message, has nothing more to read,
// or has had its turn (what is left is read on the loop's next round).
void serve_connection(gateway &g, connection &c) {
    const uint32_t owner = c.state.owner;
    for (uint64_t work = 0; work < kWorkPerTurn && c.message == nullptr;) {
        const ssize_t n = recv(c.socket, c.frame + c.have, kRequestBytes - c.have, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            drop(g, owner);
            return;
        }
        c.have += size_t(n);
        if (c.have < kRequestBytes) continue;
        c.have = 0;
        request r;
        std::memcpy(&r, c.frame, sizeof r);
        const bool clears =
            r.kind == uint32_t(request_kind::alloc) && (r.b & TAMSA_MEMF_CLEAR) != 0;
        work += 1 + (clears ? r.a >> 20 : 0);
        if (!act(g, c, decide(c.state, c.frame))) {
            drop(g, owner);
            return;
        }
    }
}

void finish_send(gateway &g, const completion &done) {
    const auto it = g.clients.find(done.owner);
    if (it == g.clients.end()) return;
    connection &c = *it->second;
    if (c.message == nullptr) return;
    c.message.reset();
    if (c.timed) {
        g.timeouts.erase({c.deadline, done.owner});
        c.timed = false;
    }
    if (c.gone || !done.answered) {
        drop(g, done.owner);
        return;
    }
    watch(g, c, EPOLLIN);
}

// Takes the completions the server's thread left; true when the gateway is to stop.
bool drain(gateway &g) {
    uint64_t count = 0;
    (void)!read(g.sink->event, &count, sizeof count);
    bool stop = false;
    {
        // Both lists have room for one completion a connection, whichever holds them.
        std::lock_guard<std::mutex> guard(g.sink->lock);
        g.taken.swap(g.sink->done);
        stop = g.sink->stop;
    }
    for (const completion &c : g.taken) finish_send(g, c);
    g.taken.clear();
    return stop;
}

void accept_all(gateway &g) {
    for (;;) {
        int s = accept4(g.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (s < 0 && errno == EINTR) continue;
        if (s < 0 && (errno == EMFILE || errno == ENFILE) && g.spare >= 0) {
            // Out of descriptors: refuse the connection at once rather than leave it waiting
            // and the listener ready for ever.
            close(g.spare);
            s = accept4(g.listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (s >= 0) close(s);
            g.spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (s >= 0) continue;
        }
        if (s < 0) return;
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != geteuid()) {
            close(s);
            continue;
        }
        uint32_t owner = g.next_owner++;
        while (owner == platform::kThisProcess || g.clients.count(owner) != 0)
            owner = g.next_owner++;
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = owner;
        try {
            auto c = std::make_unique<connection>();
            c->socket = s;
            c->state.owner = owner;
            c->state.limit = g.options.client_limit;
            c->state.may_stop = g.options.allow_remote_stop;
            // The connections of one process share its limit; pids are below 2^22, so a
            // connection whose process is not told gets an account of its own above them.
            c->state.account = peer.pid > 0 ? uint32_t(peer.pid) : 0x80000000u | owner;
            g.greetings.emplace_back(
                clock_type::now() + std::chrono::milliseconds(g.options.greet_ms), owner);
            g.sink->make_room(g.clients.size() + 1, g.taken);
            g.clients.emplace(owner, std::move(c));
            ++g.connections;
        } catch (...) {
            close(s);
            continue;
        }
        if (epoll_ctl(g.epoll, EPOLL_CTL_ADD, s, &e) != 0) {
            drop(g, owner);
            continue;
        }
        ++g.served_clients;
    }
}

void readable(gateway &g, uint32_t owner, uint32_t events) {
    const auto it = g.clients.find(owner);
    if (it == g.clients.end()) return;  // ended earlier in this round
    connection &c = *it->second;
    if (c.message != nullptr) {
        // Only a hang-up is reported while it waits: its blocks are freed after the reply.
        if ((events & (EPOLLHUP | EPOLLERR)) != 0) drop(g, owner);
        return;
    }
    serve_connection(g, c);
}

// Ends connections that have not greeted in time, and withdraws messages whose time is up.
void expire(gateway &g) {
    const clock_type::time_point now = clock_type::now();
    while (!g.greetings.empty() && g.greetings.front().first <= now) {
        const uint32_t owner = g.greetings.front().second;
        g.greetings.pop_front();
        const auto it = g.clients.find(owner);
        if (it == g.clients.end() || it->second->state.greeted) continue;
        // A greeting that came in time but waits unread behind a busy round counts: read it
        // before judging.
        char first = 0;
        if (recv(it->second->socket, &first, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
            serve_connection(g, *it->second);
        }
        const auto now_it = g.clients.find(owner);
        if (now_it != g.clients.end() && !now_it->second->state.greeted) drop(g, owner);
    }
    while (!g.timeouts.empty() && g.timeouts.begin()->first <= now) {
        const uint32_t owner = g.timeouts.begin()->second;
        g.timeouts.erase(g.timeouts.begin());
        const auto it = g.clients.find(owner);
        if (it == g.clients.end()) continue;
        connection &c = *it->second;
        c.timed = false;
        // A message the server has taken is waited for: its block is in use until the reply.
        if (!platform::withdraw_message(c.message)) continue;
        c.message.reset();
        if (c.gone || !write_answer(c.socket, send_answer(TAMSA_TIMEOUT, 0, 0, false))) {
            drop(g, owner);
        } else {
            watch(g, c, EPOLLIN);
        }
    }
}

// Milliseconds until the next greeting or timeout falls due, or -1 for none.
int next_wait_ms(const gateway &g) {
    clock_type::time_point next = clock_type::time_point::max();
    if (!g.greetings.empty()) next = g.greetings.front().first;
    if (!g.timeouts.empty()) next = std::min(next, g.timeouts.begin()->first);
    if (next == clock_type::time_point::max()) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - clock_type::now());
    return int(std::clamp<int64_t>(wait.count(), 0, INT32_MAX));
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

gateway *gateway_open(const char *port_name, const gateway_options &options, std::string &error) {
    const std::string path = socket_path(port_name);
    if (path.empty()) {
        error = socket_path_problem(port_name);
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
    // Only a socket is ours to replace: anything else at the path is someone's file.
    struct stat at_path {};
    if (lstat(path.c_str(), &at_path) == 0) {
        if (!S_ISSOCK(at_path.st_mode)) {
            error = "cannot serve " + path + ": a " +
                    (S_ISDIR(at_path.st_mode) ? "directory" : "file that is not a socket") +
                    " is in the way (remove it, or pick another --port)";
            return nullptr;
        }
        unlink(path.c_str());
    }

    auto g = std::make_unique<gateway>();
    g->port_name = port_name;
    g->path = path;
    g->options = options;
    platform::set_clients_cap(options.total_limit);
    if (platform::set_pool_limit(options.client_limit) == 0) {
        error = "cannot serve " + path + ": no memory for the client pools";
        return nullptr;
    }
    g->sink = std::make_shared<completions>();
    g->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    g->epoll = epoll_create1(EPOLL_CLOEXEC);
    g->spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const mode_t old_mask = umask(0177);  // the socket is born 0600
    g->bound = g->listener >= 0 &&
               bind(g->listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    umask(old_mask);
    epoll_event listen_event{};
    listen_event.events = EPOLLIN;
    listen_event.data.u64 = kListenerTag;
    epoll_event wake_event{};
    wake_event.events = EPOLLIN;
    wake_event.data.u64 = kWakeTag;
    if (!g->bound || listen(g->listener, SOMAXCONN) != 0 || g->epoll < 0 || g->sink->event < 0 ||
        epoll_ctl(g->epoll, EPOLL_CTL_ADD, g->listener, &listen_event) != 0 ||
        epoll_ctl(g->epoll, EPOLL_CTL_ADD, g->sink->event, &wake_event) != 0) {
        error = "cannot serve " + path + ": " + std::strerror(errno);
        gateway_close(g.release());
        return nullptr;
    }
    return g.release();
}

namespace {

// Once stopping: messages not yet taken go back unserved; true while one is still out.
bool withdraw_all(gateway &g) {
    bool out = false;
    for (auto &[owner, c] : g.clients) {
        if (c->message == nullptr) continue;
        if (!platform::withdraw_message(c->message)) {
            out = true;
            continue;
        }
        c->message.reset();
        if (!c->gone) write_answer(c->socket, send_answer(TAMSA_NOT_SERVED, 0, 0, false));
    }
    return out;
}

}  // namespace

void gateway_run(gateway *g) {
    epoll_event events[64];
    for (bool stopping = false;;) {
        // Stopping ends once no message is out: the server's thread may write to its socket.
        if (stopping && !withdraw_all(*g)) break;
        const int n = epoll_wait(g->epoll, events, 64, next_wait_ms(*g));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag) {
                stopping = drain(*g) || stopping;
            } else if (stopping) {
                continue;
            } else if (tag == kListenerTag) {
                accept_all(*g);
            } else {
                readable(*g, uint32_t(tag), events[i].events);
            }
        }
        if (!stopping) expire(*g);
    }
    // Every answer is out. Clients still here keep their blocks: the bus outlives this process
    // for as long as a client maps it. One that has hung up without being seen to is gone.
    for (auto &[owner, c] : g->clients) {
        pollfd p{c->socket, POLLRDHUP, 0};
        const bool gone =
            c->gone || (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP)) != 0);
        epoll_ctl(g->epoll, EPOLL_CTL_DEL, c->socket, nullptr);
        shutdown(c->socket, SHUT_RDWR);
        close(c->socket);
        if (gone) platform::free_owner(owner);
    }
    g->clients.clear();
    g->connections = 0;
    g->greetings.clear();
    g->timeouts.clear();
}

void gateway_stop(gateway *g) {
    {
        std::lock_guard<std::mutex> guard(g->sink->lock);
        g->sink->stop = true;
    }
    g->sink->wake();
}

void gateway_close(gateway *g) {
    if (g == nullptr) return;
    for (auto &[owner, c] : g->clients) close(c->socket);
    if (g->listener >= 0) close(g->listener);
    if (g->epoll >= 0) close(g->epoll);
    if (g->spare >= 0) close(g->spare);
    if (g->bound) unlink(g->path.c_str());
    tamsa_port_release(g->port);
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
uint64_t gateway_connections(const gateway *g) {
    return g->connections;
}

uint64_t raise_open_file_limit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
    if (r.rlim_cur < r.rlim_max) {
        rlimit raised = r;
        raised.rlim_cur = r.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) r = raised;
    }
    return r.rlim_cur;
}

}  // namespace tamsa::remote
