// Serving the port to other processes.
//
// One thread takes new connections and their greetings in an event loop, so a connection that
// has not greeted costs a descriptor and a few bytes. A greeted connection goes to the thread of
// its client process, told apart by its pid and the process's start time, which together are
// never reused (a pid alone is: a new process with an old pid is another process). That thread
// serves all the process's connections in an event loop of its own: it reads a frame, does what
// it asks (a message runs right there, on the thread) and answers it, then reads the next. A
// connection's requests are thus taken one at a time, so a client's message never meets another
// request of the same client; different processes run in parallel, the system sharing the cores
// between them, so that no process's large message holds up another's small one.
//
// Each connection is an owner of the bus; the connections of one process share an account with
// its limit, and a pool: a slot of the bus mapped from a memfd that only that process and this
// one map, where all its blocks live. The slot is taken when the process first asks for its
// pool, not when it greets; a pool that holds no block and has been idle a while is given back
// when another process needs a slot. What a connection allocates, and what the operations of
// its messages leave live, are its blocks from birth; it can free only those, the server
// touches only those on its behalf, and whatever it holds when it goes away is freed. When the
// process's last connection has gone, its pool is unmapped and its thread ends.
#include "remote/gateway.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/bus.h"
#include "platform/heap.h"
#include "platform/ports.h"
#include "remote/protocol.h"
#include "remote/requests.h"
#include "server/server.h"
#include "tamsa/client.h"

namespace tamsa::remote {

namespace {

using clock_type = std::chrono::steady_clock;

// Tags of the loops' own descriptors; a connection's tag is its owner, never 0 and below 2^32.
constexpr uint64_t kListenerTag = 0;
constexpr uint64_t kWakeTag = uint64_t(1) << 32;
// Work one connection may have done in a row before the process's others get their turn: a
// frame is one unit, and a cleared allocation one more for every MiB it clears.
constexpr uint64_t kWorkPerTurn = 64;

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

// A client process: its pid, its start time and, where pidfds live on their own file system,
// its pidfd's inode, which the kernel never gives another process until it reboots (the start
// time counts clock ticks, and a pid may come round within one). A process whose start time
// cannot be read gets pid -1 and a start of its own (its first connection's owner), and so an
// account of its own.
struct process_key {
    int64_t pid = -1;
    uint64_t start = 0;
    uint64_t inode = 0;
    auto operator<=>(const process_key &) const = default;
};

constexpr long kPidfsMagic = 0x50494446;  // "PIDF"

// The pidfd's inode when it names its process alone, else 0.
uint64_t pidfd_inode(int pidfd) {
    struct statfs fs {};
    struct stat st {};
    if (fstatfs(pidfd, &fs) != 0 || long(fs.f_type) != kPidfsMagic) return 0;
    if (fstat(pidfd, &st) != 0) return 0;
    return uint64_t(st.st_ino);
}

// Field 22 of /proc/PID/stat, the start in clock ticks since boot; 0 when it cannot be read.
uint64_t start_time(pid_t pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = 0;
    // The name in parentheses may hold anything, so fields are counted from its last ')'.
    const char *p = std::strrchr(text, ')');
    if (p == nullptr) return 0;
    for (int field = 2; field < 22 && p != nullptr; ++field) p = std::strchr(p + 1, ' ');
    if (p == nullptr) return 0;
    return std::strtoull(p + 1, nullptr, 10);
}

// True when the process a pidfd names has ended.
bool has_ended(int pidfd) {
    pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, 0) != 0;
}

// The process at the other end of a connection, as it was when it connected, and a pidfd of
// it (-1 when there is none), which the caller closes.
process_key identify(int socket, pid_t pid, uint32_t owner, int &pidfd) {
    // The peer's pidfd names the very process that connected; without it, the pid's process
    // now (the same one unless it ended and its pid came round between connect and accept).
    pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0 || pidfd < 0) {
        pidfd = pid > 0 ? int(syscall(SYS_pidfd_open, pid, 0)) : -1;
    }
    uint64_t start = pidfd >= 0 ? start_time(pid) : 0;
    const uint64_t inode = pidfd >= 0 ? pidfd_inode(pidfd) : 0;
    // The start time read is the pidfd's process's only if that process still runs now.
    if (start != 0 && has_ended(pidfd)) start = 0;
    if (start == 0) return {-1, owner, 0};
    return {pid, start, inode};
}

struct connection {
    int socket = -1;
    client_state state;
    uint8_t frame[kRequestBytes] = {};
    size_t have = 0;  // bytes of frame read so far
    process_key process;
    int pidfd = -1;  // its process's, until it greets
};

// A client process's thread and the connections it serves.
struct worker {
    gateway *g = nullptr;
    process_key key;
    uint32_t account = 0;
    int pidfd = -1;  // of the process the thread was made for
    int epoll = -1;
    int wake = -1;
    std::thread thread;
    // Guarded by the gateway's table lock.
    std::vector<std::unique_ptr<connection>> inbox;  // handed over, not yet taken
    uint32_t count = 0;                              // connections handed over and not ended
    // The thread's own.
    std::unordered_map<uint32_t, std::unique_ptr<connection>> clients;

    ~worker() {
        if (pidfd >= 0) close(pidfd);
        if (epoll >= 0) close(epoll);
        if (wake >= 0) close(wake);
    }
};

void poke(int event) {
    const uint64_t one = 1;
    (void)!write(event, &one, sizeof one);
}

}  // namespace

struct gateway {
    std::string port_name;
    std::string path;
    gateway_options options;
    int listener = -1;
    int epoll = -1;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int spare = -1;  // kept to refuse a connection when descriptors run out
    bool bound = false;
    std::atomic<bool> stopping{false};

    // The loop's: connections that have not greeted yet, by owner, and their deadlines.
    std::unordered_map<uint32_t, std::unique_ptr<connection>> greeting;
    std::deque<std::pair<clock_type::time_point, uint32_t>> greetings;

    std::mutex table_lock;  // guards what follows, and each worker's inbox and count
    std::map<process_key, std::shared_ptr<worker>> processes;
    std::vector<std::shared_ptr<worker>> ended;  // threads that have returned, to be joined
    std::unordered_set<uint32_t> owners;         // every connection's, greeted or not

    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> served_clients{0};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> process_count{0};

    ~gateway() {
        if (wake >= 0) close(wake);
    }
};

namespace {

// Answers are 16 bytes and a client has at most one unread; one that does not fit means the
// client stopped reading, and it is hung up on.
bool write_answer(int socket, const response &answer) {
    ssize_t n;
    do {
        n = send(socket, &answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof answer);
}

// Ends a connection and frees what its client holds.
void end_connection(gateway &g, connection &c, worker *w) {
    close(c.socket);
    if (c.pidfd >= 0) close(c.pidfd);
    c.pidfd = -1;
    platform::free_owner(c.state.owner);
    {
        std::lock_guard<std::mutex> guard(g.table_lock);
        g.owners.erase(c.state.owner);
        if (w != nullptr) --w->count;
    }
    // Last, so that whoever sees the count fall sees the client's blocks gone too.
    --g.connections;
}

// True when the client has hung up (or shut its side), so that a message it left is not run.
bool hung_up(int socket) {
    pollfd p{socket, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Runs a message on this thread and answers it; false when the connection is to end.
bool serve_send(gateway &g, connection &c, const decision &d) {
    // A message whose sender has hung up is withdrawn unserved, as a queued one was.
    if (hung_up(c.socket)) return false;
    if (g.stopping) return write_answer(c.socket, send_answer(TAMSA_NOT_SERVED, 0, 0, false));
    const uint32_t owner = c.state.owner;
    ++g.messages;
    // The message starts from what the sender's own block holds, so that no value of another
    // sender reaches it.
    uint32_t result = platform::owns_range(owner, d.block, 4) ? tamsa_bus_load32(d.block) : 0;
    server::served done;
    try {
        done = server::serve_as(owner, d.id, d.block, result);
    } catch (...) {
        return write_answer(c.socket, send_answer(TAMSA_FAILED, 0, 0, false));
    }
    // Everything the operation wrote, and word 0, is visible before the answer goes.
    PPCCacheFlushAll();
    if (g.options.served) g.options.served(owner, d.id, d.block);
    const bool answered =
        write_answer(c.socket, send_answer(TAMSA_REPLIED, done.answer.result,
                                           done.answer.left.size(), done.answer.over_limit));
    if (done.stop && g.options.stop_asked) g.options.stop_asked();
    return answered;
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
            return serve_send(g, c, d);
        case action::nothing:
            return true;
        case action::hang_up:
            break;
    }
    return false;
}

// Reads and acts on frames until the connection has nothing more to read or has had its turn
// (what is left is read on the loop's next round); false when it is to end.
bool serve_connection(gateway &g, connection &c) {
    for (uint64_t work = 0; work < kWorkPerTurn;) {
        const ssize_t n = recv(c.socket, c.frame + c.have, kRequestBytes - c.have, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) return false;
        c.have += size_t(n);
        if (c.have < kRequestBytes) continue;
        c.have = 0;
        request r;
        std::memcpy(&r, c.frame, sizeof r);
        const bool clears =
            r.kind == uint32_t(request_kind::alloc) && (r.b & TAMSA_MEMF_CLEAR) != 0;
        work += 1 + (clears ? r.a >> 20 : 0);
        if (!act(g, c, decide(c.state, c.frame))) return false;
    }
    return true;
}

// Once stopping: whole messages already sent are answered unserved; clients still connected keep
// their blocks, those that have hung up have them freed.
void disconnect_all(gateway &g, worker &w) {
    for (auto &[owner, c] : w.clients) {
        for (;;) {
            const ssize_t n =
                recv(c->socket, c->frame + c->have, kRequestBytes - c->have, MSG_DONTWAIT);
            if (n <= 0) break;
            c->have += size_t(n);
            if (c->have < kRequestBytes) continue;
            c->have = 0;
            request r;
            std::memcpy(&r, c->frame, sizeof r);
            if (r.kind != uint32_t(request_kind::send)) break;
            write_answer(c->socket, send_answer(TAMSA_NOT_SERVED, 0, 0, false));
        }
        const bool gone = hung_up(c->socket);
        shutdown(c->socket, SHUT_RDWR);
        close(c->socket);
        if (gone) platform::free_owner(owner);
        {
            std::lock_guard<std::mutex> guard(g.table_lock);
            g.owners.erase(owner);
            --w.count;
        }
        --g.connections;
    }
    w.clients.clear();
}

// Takes the connections handed over into the thread's own loop.
void take_inbox(gateway &g, worker &w) {
    uint64_t count = 0;
    (void)!read(w.wake, &count, sizeof count);
    std::vector<std::unique_ptr<connection>> taken;
    {
        std::lock_guard<std::mutex> guard(g.table_lock);
        taken.swap(w.inbox);
    }
    for (auto &c : taken) {
        const uint32_t owner = c->state.owner;
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = owner;
        if (epoll_ctl(w.epoll, EPOLL_CTL_ADD, c->socket, &e) != 0) {
            end_connection(g, *c, &w);
            continue;
        }
        w.clients.emplace(owner, std::move(c));  // room was made when it was handed over
    }
}

void run_worker(gateway &g, const std::shared_ptr<worker> &self) {
    worker &w = *self;
    epoll_event events[64];
    for (;;) {
        const int n = epoll_wait(w.epoll, events, 64, -1);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag) {
                take_inbox(g, w);
                continue;
            }
            const auto it = w.clients.find(uint32_t(tag));
            if (it == w.clients.end()) continue;
            if (!serve_connection(g, *it->second)) {
                epoll_ctl(w.epoll, EPOLL_CTL_DEL, it->second->socket, nullptr);
                end_connection(g, *it->second, &w);
                w.clients.erase(it);
            }
        }
        if (g.stopping) {
            take_inbox(g, w);
            disconnect_all(g, w);
        }
        if (!w.clients.empty()) continue;
        // No connection left: the thread ends unless one was handed over meanwhile.
        std::lock_guard<std::mutex> guard(g.table_lock);
        if (!w.inbox.empty()) continue;
        const auto it = g.processes.find(w.key);
        if (it != g.processes.end() && it->second == self) g.processes.erase(it);
        try {
            g.ended.push_back(self);
        } catch (...) {
            // Without room it is joined when the gateway stops, through processes: put back.
            g.processes.emplace(w.key, self);
            continue;
        }
        --g.process_count;
        poke(g.wake);
        return;
    }
}

void join_ended(gateway &g) {
    std::vector<std::shared_ptr<worker>> ended;
    {
        std::lock_guard<std::mutex> guard(g.table_lock);
        ended.swap(g.ended);
    }
    for (auto &w : ended) {
        if (w->thread.joinable()) w->thread.join();
    }
}

// Ends a connection that never reached a process's thread.
void drop_greeting(gateway &g, uint32_t owner) {
    const auto it = g.greeting.find(owner);
    if (it == g.greeting.end()) return;
    epoll_ctl(g.epoll, EPOLL_CTL_DEL, it->second->socket, nullptr);
    end_connection(g, *it->second, nullptr);
    g.greeting.erase(it);
}

// The thread of a client process, made when its first connection greets; it takes the
// connection's pidfd. With the table lock held; null when it cannot be made.
std::shared_ptr<worker> worker_for(gateway &g, const process_key &key, int &pidfd) {
    const auto it = g.processes.find(key);
    if (it != g.processes.end()) {
        // Where pidfds have no inodes of their own, a pid that came round within a clock tick
        // gives the same key: once the thread's own process has ended, a newcomer is another
        // process, and the thread serves on (for the heirs of its connections) under a key no
        // process will have.
        if (it->second->pidfd < 0 || !has_ended(it->second->pidfd)) return it->second;
        std::shared_ptr<worker> gone = it->second;
        g.processes.erase(it);
        gone->key = {-2, gone->account, 0};
        g.processes.emplace(gone->key, gone);
    }
    auto w = std::make_shared<worker>();
    w->g = &g;
    w->key = key;
    // Accounts are told apart over every gateway of this process: a client still connected when
    // one stopped keeps its account.
    static std::atomic<uint32_t> next_account{1};
    w->account = next_account++;
    if (w->account == 0) w->account = next_account++;
    w->epoll = epoll_create1(EPOLL_CLOEXEC);
    w->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = kWakeTag;
    if (w->epoll < 0 || w->wake < 0 || epoll_ctl(w->epoll, EPOLL_CTL_ADD, w->wake, &e) != 0)
        return nullptr;
    g.processes.emplace(key, w);
    try {
        w->thread = std::thread([&g, w] { run_worker(g, w); });
    } catch (...) {
        g.processes.erase(key);
        return nullptr;
    }
    w->pidfd = pidfd;
    pidfd = -1;
    ++g.process_count;
    return w;
}

// A greeting has come: a hello of this version goes, answered, to its process's thread.
void greet(gateway &g, uint32_t owner) {
    connection &c = *g.greeting.at(owner);
    request r;
    std::memcpy(&r, c.frame, sizeof r);
    decision d;
    std::shared_ptr<worker> w;
    if (r.magic == kMagic && r.kind == uint32_t(request_kind::hello) && r.a == kVersion) {
        std::unique_lock<std::mutex> guard(g.table_lock);
        try {
            w = worker_for(g, c.process, c.pidfd);
            if (c.pidfd >= 0) close(c.pidfd);
            c.pidfd = -1;
            if (w != nullptr) w->inbox.reserve(w->inbox.size() + 1);
        } catch (...) {
            w = nullptr;
        }
        if (w == nullptr) {
            guard.unlock();
            drop_greeting(g, owner);
            return;
        }
        if (w->count >= kConnectionsPerProcess) {
            guard.unlock();
            // Refused in words: the client hears the cap.
            d.what = action::refuse;
            d.answer.status = TAMSA_REFUSED;
            d.answer.value = kVersion;
            d.answer.extra =
                uint64_t(kConnectionsPerProcess) << 32 | uint64_t(refusal::connections);
            act(g, c, d);
            drop_greeting(g, owner);
            return;
        }
        c.state.account = w->account;
        d = decide(c.state, c.frame);
        if (d.what != action::reply || !write_answer(c.socket, d.answer)) {
            guard.unlock();
            drop_greeting(g, owner);
            return;
        }
        epoll_ctl(g.epoll, EPOLL_CTL_DEL, c.socket, nullptr);
        ++w->count;
        w->inbox.push_back(std::move(g.greeting.at(owner)));
        g.greeting.erase(owner);
        guard.unlock();
        poke(w->wake);
        return;
    }
    // Another version is refused in words; anything else ends the connection.
    d = decide(c.state, c.frame);
    act(g, c, d);
    drop_greeting(g, owner);
}

// Reads what a connection that has not greeted sent; its hello is one frame, and nothing after it
// is read here.
void read_greeting(gateway &g, uint32_t owner) {
    const auto it = g.greeting.find(owner);
    if (it == g.greeting.end()) return;
    connection &c = *it->second;
    for (;;) {
        const ssize_t n = recv(c.socket, c.frame + c.have, kRequestBytes - c.have, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            drop_greeting(g, owner);
            return;
        }
        c.have += size_t(n);
        if (c.have == kRequestBytes) {
            c.have = 0;
            greet(g, owner);
            return;
        }
    }
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
        uint32_t owner = 0;
        try {
            std::lock_guard<std::mutex> guard(g.table_lock);
            // Owners too: one left by an earlier gateway keeps its blocks.
            static uint32_t next_owner = 1;
            owner = next_owner++;
            while (owner == platform::kThisProcess || g.owners.count(owner) != 0)
                owner = next_owner++;
            g.owners.insert(owner);
        } catch (...) {
            close(s);
            continue;
        }
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = owner;
        try {
            auto c = std::make_unique<connection>();
            c->socket = s;
            c->state.owner = owner;
            c->state.limit = g.options.client_limit;
            c->state.may_stop = g.options.allow_remote_stop;
            c->state.idle_ms = g.options.idle_slot_ms;
            c->process = identify(s, peer.pid, owner, c->pidfd);
            g.greetings.emplace_back(
                clock_type::now() + std::chrono::milliseconds(g.options.greet_ms), owner);
            g.greeting.emplace(owner, std::move(c));
            ++g.connections;
        } catch (...) {
            close(s);
            std::lock_guard<std::mutex> guard(g.table_lock);
            g.owners.erase(owner);
            continue;
        }
        if (epoll_ctl(g.epoll, EPOLL_CTL_ADD, s, &e) != 0) {
            drop_greeting(g, owner);
            continue;
        }
        ++g.served_clients;
    }
}

// Ends connections that have not greeted in time.
void expire(gateway &g) {
    const clock_type::time_point now = clock_type::now();
    while (!g.greetings.empty() && g.greetings.front().first <= now) {
        const uint32_t owner = g.greetings.front().second;
        g.greetings.pop_front();
        if (g.greeting.count(owner) == 0) continue;
        // A greeting that came in time but waits unread behind a busy round counts: read it
        // before judging.
        read_greeting(g, owner);
        drop_greeting(g, owner);
    }
}

// Milliseconds until the next greeting falls due, or -1 for none.
int next_wait_ms(const gateway &g) {
    if (g.greetings.empty()) return -1;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(g.greetings.front().first - clock_type::now());
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
    if (!g->bound || listen(g->listener, SOMAXCONN) != 0 || g->epoll < 0 || g->wake < 0 ||
        epoll_ctl(g->epoll, EPOLL_CTL_ADD, g->listener, &listen_event) != 0 ||
        epoll_ctl(g->epoll, EPOLL_CTL_ADD, g->wake, &wake_event) != 0) {
        error = "cannot serve " + path + ": " + std::strerror(errno);
        gateway_close(g.release());
        return nullptr;
    }
    return g.release();
}

void gateway_run(gateway *g) {
    epoll_event events[64];
    while (!g->stopping) {
        const int n = epoll_wait(g->epoll, events, 64, next_wait_ms(*g));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n && !g->stopping; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag) {
                uint64_t count = 0;
                (void)!read(g->wake, &count, sizeof count);
                join_ended(*g);
            } else if (tag == kListenerTag) {
                accept_all(*g);
            } else {
                read_greeting(*g, uint32_t(tag));
            }
        }
        expire(*g);
    }
    g->stopping = true;
    // Each process's thread answers the message in hand, then disconnects its clients.
    std::vector<std::shared_ptr<worker>> all;
    {
        std::lock_guard<std::mutex> guard(g->table_lock);
        for (auto &[key, w] : g->processes) all.push_back(w);
        g->processes.clear();
    }
    for (auto &w : all) poke(w->wake);
    for (auto &w : all) {
        if (w->thread.joinable()) w->thread.join();
    }
    join_ended(*g);
    while (!g->greeting.empty()) drop_greeting(*g, g->greeting.begin()->first);
    g->greetings.clear();
}

void gateway_stop(gateway *g) {
    g->stopping = true;
    poke(g->wake);
}

void gateway_close(gateway *g) {
    if (g == nullptr) return;
    for (auto &[owner, c] : g->greeting) close(c->socket);
    if (g->listener >= 0) close(g->listener);
    if (g->epoll >= 0) close(g->epoll);
    if (g->spare >= 0) close(g->spare);
    if (g->bound) unlink(g->path.c_str());
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
uint64_t gateway_processes(const gateway *g) {
    return g->process_count;
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
