// The gateway in this process, with clients on real sockets: its request decoding, its event
// loop, and what it does when clients or the server go away. Where the order of events
// matters, the test itself takes the messages from the port, so that nothing depends on timing.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus.h"
#include "platform/heap.h"
#include "platform/ports.h"
#include "remote/gateway.h"
#include "remote/requests.h"
#include "remote/serve.h"
#include "server/server.h"
#include "support.h"
#include "tamsa/client.h"
#include "temp_dir.h"

namespace {

namespace platform = tamsa::platform;
namespace remote = tamsa::remote;
using tamsa_test::LeakCheck;

constexpr const char *kPort = "gateway-test";

size_t threads_of_this_process() {
    size_t n = 0;
    DIR *d = opendir("/proc/self/task");
    while (const dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// A gateway on its own thread, in a runtime directory of the test's own, serving a port that is
// either a server's or the test's own (the test then takes the messages itself).
class Gateway : public LeakCheck {
   protected:
    void SetUp() override {
        LeakCheck::SetUp();
        const char *old = std::getenv("XDG_RUNTIME_DIR");
        old_runtime_ = old != nullptr ? old : "";
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (g_ != nullptr) {
            remote::gateway_stop(g_);
            loop_.join();
            remote::gateway_close(g_);
        }
        if (port_ != nullptr) PPCDeletePort(port_);
        tamsa_server_stop(server_);
        if (old_runtime_.empty()) {
            unsetenv("XDG_RUNTIME_DIR");
        } else {
            setenv("XDG_RUNTIME_DIR", old_runtime_.c_str(), 1);
        }
        LeakCheck::TearDown();
    }

    // with_server: a server task serves the port; otherwise the port is the test's. Without
    // run, the gateway listens but its loop waits for run_loop.
    void start(bool with_server, remote::gateway_options options = {}, bool run = true) {
        if (with_server) {
            server_ = tamsa_server_start(kPort);
            ASSERT_NE(server_, nullptr);
        } else {
            const PPCTag tags[] = {{PPCPORTTAG_NAME, reinterpret_cast<uintptr_t>(kPort)},
                                   {PPCTAG_END, 0}};
            port_ = PPCCreatePort(tags);
            ASSERT_NE(port_, nullptr);
        }
        std::string error;
        g_ = remote::gateway_open(kPort, options, error);
        ASSERT_NE(g_, nullptr) << error;
        if (run) run_loop();
    }
    void run_loop() {
        loop_ = std::thread([this] { remote::gateway_run(g_); });
    }

    // The next message on the test's own port, waited for.
    PPCMessage *take() {
        PPCMessage *m = nullptr;
        while ((m = PPCGetMessage(port_)) == nullptr) PPCWaitPort(port_);
        return m;
    }

    // Waits until the gateway has ended every connection (and freed what their clients held).
    void wait_for_no_connections() const {
        while (remote::gateway_connections(g_) != 0) std::this_thread::yield();
    }

    tamsa_test::TempDir dir_;
    std::string old_runtime_;
    remote::gateway *g_ = nullptr;
    std::thread loop_;
    tamsa_server *server_ = nullptr;
    PPCPort *port_ = nullptr;
};

// A raw connection to the gateway, for frames the client library never sends.
int raw_connection() {
    const std::string path = remote::socket_path(kPort);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// One request on a raw connection and its answer (a pool's descriptor, if one comes, is closed).
remote::response ask(int s, uint32_t kind, uint32_t a = 0, uint32_t b = 0, int32_t id = 0) {
    const remote::request r{remote::kMagic, kind, a, b, -1, id};
    remote::response answer{};
    int fd = -1;
    EXPECT_TRUE(remote::write_full(s, &r, sizeof r));
    EXPECT_TRUE(remote::receive_with_fd(s, &answer, sizeof answer, &fd));
    if (fd >= 0) close(fd);
    return answer;
}

// A raw connection that has greeted and holds its process's pool.
int raw_client() {
    const int s = raw_connection();
    if (s < 0) return -1;
    EXPECT_EQ(ask(s, 1, remote::kVersion).status, 0);
    EXPECT_EQ(ask(s, 6).status, 0);
    return s;
}

// Holds each message in service, after it ran and before its answer, until let go.
struct service_gate {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<uint32_t> owners;  // of every message served, in order
    int held = 0;                  // messages in the gate now
    bool open = false;

    std::function<void(uint32_t, int32_t, uint32_t)> hook() {
        return [this](uint32_t owner, int32_t, uint32_t) {
            std::unique_lock<std::mutex> guard(lock);
            owners.push_back(owner);
            ++held;
            changed.notify_all();
            changed.wait(guard, [this] { return open; });
            --held;
        };
    }
    void wait_for(int n) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [this, n] { return held == n; });
    }
    void let_go() {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
};

// Frames decided in order, as one connection would send them.
TEST(Requests, FramesAreDecidedInOrderOfTheProtocol) {
    using remote::action;
    constexpr uint32_t kClient = 80, kOther = 81;
    remote::client_state client{kClient, 64, false};
    const auto decide = [&client](uint32_t kind, uint32_t a, uint32_t b = 0, int32_t c = 0,
                                  uint32_t magic = remote::kMagic, int32_t id = 0) {
        const remote::request r{magic, kind, a, b, c, id};
        uint8_t bytes[sizeof r];
        std::memcpy(bytes, &r, sizeof r);
        return remote::decide(client, bytes);
    };
    void *theirs = platform::allocate(8, 0, kOther);
    ASSERT_NE(theirs, nullptr);
    ASSERT_GT(platform::set_pool_limit(64), 0u);

    EXPECT_EQ(decide(2, 8).what, action::hang_up) << "an allocation before the hello";
    EXPECT_EQ(decide(1, remote::kVersion, 0, 0, 0x12345678).what, action::hang_up) << "no magic";
    for (uint32_t version : {0u, 1u, 2u, 3u, 4u, remote::kVersion + 1, 0xffffffffu}) {
        const remote::decision other = decide(1, version);
        EXPECT_EQ(other.what, action::refuse) << "version " << version;
        EXPECT_EQ(other.answer.status, TAMSA_REFUSED);
        EXPECT_EQ(other.answer.value, remote::kVersion) << "the server's own, in words";
        EXPECT_EQ(other.answer.extra, uint64_t(remote::refusal::version));
        EXPECT_FALSE(client.greeted);
        EXPECT_EQ(platform::open_pools(), 0u) << "no pool for version " << version;
    }
    const remote::decision hello = decide(1, remote::kVersion);
    EXPECT_EQ(hello.what, action::reply);
    EXPECT_EQ(hello.answer.value, remote::kVersion);
    EXPECT_EQ(platform::open_pools(), 0u) << "greeting takes no slot";
    EXPECT_EQ(decide(1, remote::kVersion).what, action::hang_up) << "a second hello";
    EXPECT_EQ(decide(2, 64).answer.status, remote::kNeedPool) << "no pool asked for yet";
    EXPECT_EQ(decide(4, 0, 0x40, -1, remote::kMagic, TAMSA_OP_YUVSCALE).answer.status,
              remote::kNeedPool);
    const remote::decision given = decide(6, 0);
    EXPECT_EQ(given.what, action::reply_with_pool);
    const auto pool = uint32_t(given.answer.extra >> 32), pool_bytes = uint32_t(given.answer.extra);
    EXPECT_GT(pool, platform::shared_bytes());
    EXPECT_GE(pool_bytes, 64u);
    EXPECT_GE(given.fd, 0);
    EXPECT_EQ(platform::open_pools(), 1u);

    const remote::decision made = decide(2, 64, TAMSA_MEMF_CLEAR);
    ASSERT_EQ(made.what, action::reply);
    uint32_t mine = made.answer.value;
    EXPECT_TRUE(platform::owns_range(kClient, mine, 64));
    EXPECT_TRUE(mine >= pool && mine + 64 <= uint64_t(pool) + pool_bytes) << "in its pool";
    EXPECT_EQ(decide(2, 1).answer.status, TAMSA_OVER_LIMIT);
    EXPECT_TRUE(platform::free_block(mine, kClient));
    tamsa_alloc_fail_nth(1);
    EXPECT_EQ(decide(2, 64).answer.status, 1) << "no room is not the limit";
    EXPECT_EQ(platform::usage_of(kClient), platform::owner_usage{});
    mine = decide(2, 64).answer.value;
    ASSERT_NE(mine, 0u);
    EXPECT_EQ(decide(3, mine + 16).answer.status, 1) << "a free inside a block";
    EXPECT_EQ(decide(3, tamsa_bus_address(theirs)).answer.status, 1) << "another's block";
    EXPECT_NE(platform::find_block(tamsa_bus_address(theirs)), std::nullopt);
    EXPECT_EQ(decide(5, mine).what, action::nothing) << "a release is not answered";
    EXPECT_EQ(platform::find_block(mine), std::nullopt);
    const remote::decision again = decide(2, 1);
    EXPECT_EQ(again.answer.status, 0) << "room again";

    const remote::decision send = decide(4, 0, 0x40, 250, remote::kMagic, TAMSA_OP_YUVSCALE);
    EXPECT_EQ(send.what, action::send);
    EXPECT_EQ(send.id, TAMSA_OP_YUVSCALE);
    EXPECT_EQ(send.block, 0x40u);
    for (int32_t stop : {0, 1}) {
        const remote::decision refused = decide(4, 0, 0x40, -1, remote::kMagic, stop);
        EXPECT_EQ(refused.what, action::reply) << "a stop, not allowed";
        EXPECT_EQ(refused.answer.status, TAMSA_REFUSED);
        client.may_stop = true;
        EXPECT_EQ(decide(4, 0, 0x40, -1, remote::kMagic, stop).what, action::send) << "allowed";
        client.may_stop = false;
    }
    EXPECT_EQ(decide(99, 0).what, action::hang_up) << "an unknown kind";
    EXPECT_EQ(platform::free_owner(kClient), 1u);
    EXPECT_EQ(platform::open_pools(), 0u) << "its process gone, its pool is closed";
    PPCFreeVec(theirs);
}

// The stop comes while one message is in service and three wait: the one in hand is answered,
// the others go back to their clients unserved.
TEST_F(Gateway, WhenTheServerStopsQueuedMessagesGoBackUnserved) {
    service_gate gate;
    remote::gateway_options options;
    options.served = gate.hook();
    start(true, options);
    std::vector<int> waiting;
    std::vector<uint32_t> owners;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(raw_client());
        const uint32_t block = ask(waiting.back(), 2, 4).value;
        ASSERT_NE(block, 0u);
        owners.push_back(platform::find_block(block)->owner);
    }
    tamsa_client *in_hand = tamsa_client_connect(kPort);
    ASSERT_NE(in_hand, nullptr);
    auto call = std::async(std::launch::async, [in_hand] {
        return tamsa_client_call(in_hand, TAMSA_OP_COUNT, nullptr, 0, -1, nullptr);
    });
    gate.wait_for(1);
    for (int s : waiting) {
        const remote::request send{remote::kMagic, 4, 0, 0, -1, TAMSA_OP_COUNT};
        ASSERT_TRUE(remote::write_full(s, &send, sizeof send));
    }
    remote::gateway_stop(g_);
    gate.let_go();
    EXPECT_EQ(call.get(), TAMSA_REPLIED);
    for (int s : waiting) {
        remote::response answer{};
        EXPECT_TRUE(remote::read_full(s, &answer, sizeof answer));
        EXPECT_EQ(answer.status, TAMSA_NOT_SERVED);
        close(s);
    }
    loop_.join();
    EXPECT_EQ(gate.owners.size(), 1u) << "only the message in hand ran";
    remote::gateway_close(g_);
    g_ = nullptr;
    tamsa_client_close(in_hand);
    // Still connected when the server stopped, they kept what they held; the test lets it go.
    owners.push_back(gate.owners[0]);
    for (uint32_t owner : owners) platform::free_owner(owner);
}

// A client that dies with its message in service keeps its blocks until the message is done:
// the server may still be writing into them.
TEST_F(Gateway, AClientGoneInServiceIsFreedOnlyAfterTheReply) {
    service_gate gate;
    remote::gateway_options options;
    options.served = gate.hook();
    start(true, options);
    const int s = raw_client();
    ASSERT_GE(s, 0);
    const uint32_t block = ask(s, 2, 32, TAMSA_MEMF_CLEAR).value;
    ASSERT_NE(block, 0u);
    const uint32_t owner = platform::find_block(block)->owner;
    const remote::request send{remote::kMagic, 4, 0, block, -1, TAMSA_OP_COUNT};
    ASSERT_TRUE(remote::write_full(s, &send, sizeof send));
    gate.wait_for(1);
    close(s);
    EXPECT_EQ(platform::usage_of(owner).blocks, 1u) << "kept while in service";
    gate.let_go();
    wait_for_no_connections();
    EXPECT_EQ(platform::usage_of(owner).blocks, 0u);
}

// A client that hangs up while its message waits behind another of its process's takes the
// message with it: it never runs, and its blocks are freed.
TEST_F(Gateway, AHungUpClientsQueuedMessageIsWithdrawn) {
    service_gate gate;
    remote::gateway_options options;
    options.served = gate.hook();
    start(true, options);
    const int busy = raw_client();
    const int leaving = raw_client();
    ASSERT_GE(busy, 0);
    ASSERT_GE(leaving, 0);
    const uint32_t block = ask(leaving, 2, 32, TAMSA_MEMF_CLEAR).value;
    ASSERT_NE(block, 0u);
    const uint32_t owner = platform::find_block(block)->owner;
    const remote::request first{remote::kMagic, 4, 0, 0, -1, TAMSA_OP_COUNT};
    ASSERT_TRUE(remote::write_full(busy, &first, sizeof first));
    gate.wait_for(1);
    const remote::request send{remote::kMagic, 4, 0, block, -1, TAMSA_OP_YUVTORGB};
    ASSERT_TRUE(remote::write_full(leaving, &send, sizeof send));
    close(leaving);
    gate.let_go();
    remote::response answer{};
    EXPECT_TRUE(remote::read_full(busy, &answer, sizeof answer));
    close(busy);
    wait_for_no_connections();
    EXPECT_EQ(platform::usage_of(owner).blocks, 0u);
    ASSERT_EQ(gate.owners.size(), 1u) << "the message went with its client";
    EXPECT_NE(gate.owners[0], owner);
}

// The answer is the result the server gave, never word 0 read back: here word 0 is overwritten
// after the operation ran and before the answer goes, as a process writing into the block
// would. For a client of the gateway and one in this process alike.
TEST_F(Gateway, TheResultComesWithTheReplyNotFromWordZero) {
    remote::gateway_options options;
    options.served = [](uint32_t, int32_t, uint32_t block) {
        if (block != 0) tamsa_bus_store32(block, 0xbad);
    };
    start(true, options);
    tamsa_client *across = tamsa_client_connect(kPort);
    ASSERT_NE(across, nullptr);
    const uint32_t planes = tamsa_client_alloc(across, 64, TAMSA_MEMF_CLEAR);
    const uint32_t args[7] = {planes, planes + 32, planes + 48, 8, 4, 4, 2};
    uint32_t record = 0;
    EXPECT_EQ(tamsa_client_call(across, TAMSA_OP_YUVSCALE, args, 7, -1, &record), TAMSA_REPLIED);
    EXPECT_NE(record, 0u);
    EXPECT_NE(record, 0xbadu);
    tamsa_wire_bitmap made{};
    EXPECT_EQ(tamsa_client_read_bitmap(across, record, &made), 1);
    EXPECT_EQ(made.width, 4);
    tamsa_client_free_bitmap(across, record);
    tamsa_client_free(across, planes);
    EXPECT_EQ(tamsa_client_send_result(nullptr, TAMSA_OP_COUNT, 0, -1, nullptr), TAMSA_FAILED);
    tamsa_client_close(across);
    wait_for_no_connections();
}

TEST_F(Gateway, InThisProcessTheResultComesWithTheReplyNotFromWordZero) {
    start(false);
    tamsa_client *here = tamsa_client_local(kPort);
    ASSERT_NE(here, nullptr);
    auto call = std::async(std::launch::async, [here] {
        uint32_t result = 1;
        const int32_t status = tamsa_client_call(here, TAMSA_OP_COUNT, nullptr, 0, -1, &result);
        return std::make_pair(status, result);
    });
    PPCMessage *m = take();
    platform::message_answer answer;
    answer.result = 0x1234;
    platform::set_message_answer(m, std::move(answer));
    tamsa_bus_store32(PPCGetMessageAttr(m, PPCMSGTAG_DATA), 0xbad);
    PPCReplyMessage(m);
    const auto [status, result] = call.get();
    EXPECT_EQ(status, TAMSA_REPLIED);
    EXPECT_EQ(result, 0x1234u);
    // A message not replied answers no result.
    const uint32_t block = tamsa_client_alloc(here, 4, TAMSA_MEMF_CLEAR);
    tamsa_client_store32(here, block, 55);
    uint32_t none = 1;
    EXPECT_EQ(tamsa_client_send_result(here, TAMSA_OP_COUNT, block, 5, &none), TAMSA_TIMEOUT);
    EXPECT_EQ(none, 0u);
    tamsa_client_free(here, block);
    tamsa_client_close(here);
}

// A message that leaves the result as it was answers what the sender's own block held, or 0
// without one, never the value of another client's message; a client in the server's own
// process still has the value carried from message to message.
TEST_F(Gateway, NoResultValueCrossesClients) {
    start(true);
    tamsa_client *a = tamsa_client_connect(kPort);
    tamsa_client *b = tamsa_client_connect(kPort);
    tamsa_client *here = tamsa_client_local(kPort);
    ASSERT_TRUE(a != nullptr && b != nullptr && here != nullptr);
    // An 8 x 4 frame's planes, resized to 4 x 2.
    const auto make_bitmap = [](tamsa_client *c, uint32_t planes) {
        const uint32_t args[7] = {planes, planes + 32, planes + 48, 8, 4, 4, 2};
        uint32_t record = 0;
        EXPECT_EQ(tamsa_client_call(c, TAMSA_OP_YUVSCALE, args, 7, -1, &record), TAMSA_REPLIED);
        EXPECT_NE(record, 0u);
        return record;
    };
    const uint32_t b_planes = tamsa_client_alloc(b, 64, TAMSA_MEMF_CLEAR);
    const uint32_t b_record = make_bitmap(b, b_planes);
    uint32_t result = 1;
    // An unknown id and a refused id 4, without a block of A's.
    for (int32_t id : {TAMSA_OP_COUNT, TAMSA_OP_REMAP24, -1}) {
        EXPECT_EQ(tamsa_client_send_result(a, id, 0, -1, &result), TAMSA_REPLIED);
        EXPECT_EQ(result, 0u) << "id " << id << " answered B's bitmap";
        EXPECT_EQ(tamsa_client_send_result(a, id, b_planes, -1, &result), TAMSA_REPLIED);
        EXPECT_EQ(result, 0u) << "id " << id << " on B's block";
    }
    EXPECT_EQ(tamsa_client_load32(b, b_planes), 0u) << "B's block untouched";
    const uint32_t a_block = tamsa_client_alloc(a, 4, 0);
    tamsa_client_store32(a, a_block, 77);
    EXPECT_EQ(tamsa_client_send_result(a, TAMSA_OP_COUNT, a_block, -1, &result), TAMSA_REPLIED);
    EXPECT_EQ(result, 77u) << "what A's own block held";

    // In the server's process the value is carried, and stays there.
    const uint32_t my_planes = tamsa_client_alloc(here, 64, TAMSA_MEMF_CLEAR);
    const uint32_t my_record = make_bitmap(here, my_planes);
    EXPECT_EQ(tamsa_client_send_result(a, TAMSA_OP_COUNT, 0, -1, &result), TAMSA_REPLIED);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(tamsa_client_send_result(here, TAMSA_OP_COUNT, 0, -1, &result), TAMSA_REPLIED);
    EXPECT_EQ(result, my_record) << "carried from this process's previous message";

    tamsa_client_free_bitmap(here, my_record);
    tamsa_client_free(here, my_planes);
    tamsa_client_free_bitmap(b, b_record);
    for (tamsa_client *c : {a, b, here}) tamsa_client_close(c);
    wait_for_no_connections();
}

// The connections of one process share one thread, however many it holds up to the cap; one
// more is refused in words; one that never greets is hung up on when its time is up, and the
// others are served as before.
TEST_F(Gateway, AProcessesConnectionsShareAThreadUpToACapAndSilentOnesAreClosed) {
    remote::gateway_options options;
    // Long enough for a client here to send its greeting on a loaded or emulated machine.
    options.greet_ms = 1000;
    start(true, options);
    const size_t threads = threads_of_this_process();
    std::vector<tamsa_client *> clients;
    for (size_t i = 0; i < remote::kConnectionsPerProcess; ++i) {
        clients.push_back(tamsa_client_connect(kPort));
        ASSERT_NE(clients.back(), nullptr) << "client " << i;
    }
    EXPECT_EQ(remote::gateway_connections(g_), remote::kConnectionsPerProcess);
    EXPECT_EQ(remote::gateway_processes(g_), 1u);
    EXPECT_EQ(threads_of_this_process(), threads + 1) << "one thread for the process";
    errno = 0;
    EXPECT_EQ(tamsa_client_connect(kPort), nullptr) << "one past the cap";
    EXPECT_EQ(errno, EMFILE);
    EXPECT_NE(std::string(tamsa_client_connect_error()).find("64 connections"), std::string::npos)
        << tamsa_client_connect_error();

    const int silent = raw_connection();
    ASSERT_GE(silent, 0);
    char byte = 0;
    EXPECT_EQ(recv(silent, &byte, 1, 0), 0) << "hung up on";
    close(silent);
    for (tamsa_client *c : {clients.front(), clients.back()}) {
        uint32_t word0 = 1;
        EXPECT_EQ(tamsa_client_call(c, TAMSA_OP_COUNT, nullptr, 0, -1, &word0), TAMSA_REPLIED);
        EXPECT_EQ(word0, 0u);
    }
    for (tamsa_client *c : clients) tamsa_client_close(c);
    wait_for_no_connections();
    while (remote::gateway_processes(g_) != 0) std::this_thread::yield();
}

// A hello of another version is refused in words before anything is made, and the client
// library names both versions.
TEST_F(Gateway, AnotherVersionIsRefusedInWords) {
    start(true);
    for (uint32_t version : {0u, 2u, 4u, 0xffffffffu}) {
        const int s = raw_connection();
        ASSERT_GE(s, 0);
        const remote::response answer = ask(s, 1, version);
        EXPECT_EQ(answer.status, TAMSA_REFUSED) << "version " << version;
        EXPECT_EQ(answer.value, remote::kVersion);
        char byte = 0;
        EXPECT_EQ(recv(s, &byte, 1, 0), 0) << "and hung up on";
        close(s);
    }
    EXPECT_EQ(platform::open_pools(), 0u);
    EXPECT_EQ(remote::gateway_processes(g_), 0u) << "no thread was made for them";

    // A server of another version, as the client library meets it.
    remote::gateway_stop(g_);
    loop_.join();
    remote::gateway_close(g_);
    g_ = nullptr;
    const std::string path = remote::socket_path(kPort);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    auto old_server = std::async(std::launch::async, [listener] {
        const int s = accept(listener, nullptr, nullptr);
        remote::request hello{};
        remote::read_full(s, &hello, sizeof hello);
        const remote::response refused{TAMSA_REFUSED, 9, uint64_t(remote::refusal::version)};
        remote::write_full(s, &refused, sizeof refused);
        close(s);
        return hello.a;
    });
    errno = 0;
    EXPECT_EQ(tamsa_client_connect(kPort), nullptr);
    EXPECT_EQ(errno, EPROTO);
    const std::string why = tamsa_client_connect_error();
    EXPECT_NE(why.find("version 9"), std::string::npos) << why;
    EXPECT_NE(why.find("version " + std::to_string(remote::kVersion)), std::string::npos) << why;
    EXPECT_EQ(old_server.get(), remote::kVersion);
    close(listener);
    unlink(path.c_str());
}

// Another process's small message is served while one process's message is in service: each
// process has a thread of its own.
TEST_F(Gateway, AProcessIsServedWhileAnothersMessageIsInService) {
    service_gate gate;
    remote::gateway_options options;
    std::atomic<uint32_t> held_owner{0};
    const auto hold = gate.hook();
    options.served = [&](uint32_t owner, int32_t id, uint32_t block) {
        if (owner == held_owner) hold(owner, id, block);
    };
    start(true, options);
    tamsa_client *big = tamsa_client_connect(kPort);
    ASSERT_NE(big, nullptr);
    const uint32_t mine = tamsa_client_alloc(big, 4, TAMSA_MEMF_CLEAR);
    ASSERT_NE(mine, 0u);
    held_owner = platform::find_block(mine)->owner;
    auto call = std::async(std::launch::async, [big] {
        return tamsa_client_call(big, TAMSA_OP_COUNT, nullptr, 0, -1, nullptr);
    });
    gate.wait_for(1);
    // The bystander, a process of its own: a 64 x 48 conversion.
    const pid_t bystander = fork();
    ASSERT_GE(bystander, 0);
    if (bystander == 0) {
        tamsa_client *c = tamsa_client_connect(kPort);
        if (c == nullptr) _exit(2);
        const uint32_t planes = tamsa_client_alloc(c, 64 * 48 * 3 / 2, TAMSA_MEMF_CLEAR);
        const uint32_t args[7] = {planes, planes + 64 * 48, planes + 64 * 48 + 64 * 12, 64, 48, 64,
                                  48};
        uint32_t record = 0;
        const int32_t status = tamsa_client_call(c, TAMSA_OP_YUVSCALE, args, 7, -1, &record);
        _exit(status == TAMSA_REPLIED && record != 0 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(bystander, &status, 0), bystander);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(gate.held, 1) << "served while the other message was in service";
    gate.let_go();
    EXPECT_EQ(call.get(), TAMSA_REPLIED);
    tamsa_client_free(big, mine);
    tamsa_client_close(big);
    wait_for_no_connections();
}

// Each client process has a limit of its own on live bytes, shared by all its connections;
// reaching it makes their allocations fail and their operations answer TAMSA_OVER_LIMIT, and
// freeing makes room again.
TEST_F(Gateway, EachClientProcessHasALimitOfItsOwn) {
    remote::gateway_options options;
    options.client_limit = 64 << 10;
    start(true, options);
    tamsa_client *a = tamsa_client_connect(kPort);
    tamsa_client *b = tamsa_client_connect(kPort);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const uint32_t planes = tamsa_client_alloc(a, 16 << 10, TAMSA_MEMF_CLEAR);
    const uint32_t big = tamsa_client_alloc(a, 40 << 10, 0);
    ASSERT_NE(planes, 0u);
    ASSERT_NE(big, 0u);
    EXPECT_EQ(tamsa_client_alloc(a, 16 << 10, 0), 0u) << "past its limit";
    EXPECT_EQ(tamsa_client_alloc(b, 16 << 10, 0), 0u) << "another connection of this process";

    // A 64 x 64 frame's planes, resized to 80 x 80: 19,200 bytes of result.
    const uint32_t args[7] = {planes, planes + 4096, planes + 8192, 64, 64, 80, 80};
    uint32_t frame = 1;
    EXPECT_EQ(tamsa_client_call(a, 10, args, 7, -1, &frame), TAMSA_OVER_LIMIT);
    EXPECT_EQ(frame, 0u);
    tamsa_client_free(a, big);
    EXPECT_EQ(tamsa_client_call(a, 10, args, 7, -1, &frame), TAMSA_REPLIED);
    EXPECT_NE(frame, 0u);
    tamsa_client_free_bitmap(a, frame);
    tamsa_client_free(a, planes);

    // Five connections of one process hold no more than one.
    std::vector<tamsa_client *> more{a, b};
    for (int i = 0; i < 3; ++i) more.push_back(tamsa_client_connect(kPort));
    int got = 0;
    for (tamsa_client *c : more) got += tamsa_client_alloc(c, 20 << 10, 0) != 0;
    EXPECT_EQ(got, 3);
    for (tamsa_client *c : more) tamsa_client_close(c);
    wait_for_no_connections();
}

// One connection's queued work takes no more than its turn: two connections of one process (so
// one pool, whose fresh blocks come in address order) queue their frames while the process's
// thread is busy, one 200 allocations, the other one; the other's block comes before all but a
// turn's worth.
TEST_F(Gateway, AConnectionsQueuedWorkTakesNoMoreThanItsTurn) {
    service_gate gate;
    remote::gateway_options options;
    options.served = gate.hook();
    start(true, options);
    const int holder = raw_client();
    const int busy = raw_client();
    const int other = raw_client();
    ASSERT_GE(holder, 0);
    ASSERT_GE(busy, 0);
    ASSERT_GE(other, 0);
    const remote::request hold{remote::kMagic, 4, 0, 0, -1, TAMSA_OP_COUNT};
    ASSERT_TRUE(remote::write_full(holder, &hold, sizeof hold));
    gate.wait_for(1);
    constexpr int kQueued = 200;
    const remote::request alloc{remote::kMagic, 2, 4096, 0, 0, 0};
    const std::vector<remote::request> frames(kQueued, alloc);
    ASSERT_TRUE(remote::write_full(busy, frames.data(), frames.size() * sizeof alloc));
    ASSERT_TRUE(remote::write_full(other, frames.data(), sizeof alloc));
    gate.let_go();
    const auto answers = [](int s, int allocations) {
        std::vector<uint32_t> got;
        remote::response answer{};
        for (int i = 0; i < allocations && remote::read_full(s, &answer, sizeof answer); ++i) {
            EXPECT_EQ(answer.status, 0);
            got.push_back(answer.value);
        }
        return got;
    };
    const std::vector<uint32_t> theirs = answers(other, 1);
    const std::vector<uint32_t> queued = answers(busy, kQueued);
    ASSERT_EQ(theirs.size(), 1u);
    ASSERT_EQ(queued.size(), size_t(kQueued));
    ASSERT_TRUE(std::is_sorted(queued.begin(), queued.end())) << "fresh blocks in order";
    const auto before = std::count_if(queued.begin(), queued.end(),
                                      [&theirs](uint32_t a) { return a < theirs[0]; });
    EXPECT_LE(before, 64) << "the other connection waited for more than a turn";
    for (int s : {holder, busy, other}) close(s);
    wait_for_no_connections();
}

// A pool is empty until blocks reach into it, grows with them up to the client's limit, and is
// the same memory for the server and the client that maps the memfd it was handed; a cleared
// block reads zeros there even where a freed block was written before.
TEST(Requests, APoolGrowsWithItsBlocksUpToTheLimit) {
    constexpr uint32_t kMiB = 1 << 20;
    constexpr uint64_t kLimit = 4 * kMiB;
    ASSERT_GT(platform::set_pool_limit(kLimit), 0u);
    remote::client_state client{93, kLimit, false, false, 601};
    const auto decide = [&client](uint32_t kind, uint32_t a, uint32_t b = 0) {
        const remote::request r{remote::kMagic, kind, a, b, 0, 0};
        uint8_t bytes[sizeof r];
        std::memcpy(bytes, &r, sizeof r);
        return remote::decide(client, bytes);
    };
    ASSERT_EQ(decide(1, remote::kVersion).what, remote::action::reply);
    const remote::decision hello = decide(6, 0);
    ASSERT_EQ(hello.what, remote::action::reply_with_pool);
    const auto pool = uint32_t(hello.answer.extra >> 32), pool_bytes = uint32_t(hello.answer.extra);
    ASSERT_GE(pool_bytes, kLimit);
    struct stat st {};
    ASSERT_EQ(fstat(hello.fd, &st), 0);
    EXPECT_EQ(st.st_size, 0) << "empty until a block reaches into it";
    void *mapped = mmap(nullptr, pool_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, hello.fd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto *view = static_cast<uint8_t *>(mapped);

    std::vector<uint32_t> blocks;
    off_t reach = 0;
    for (uint8_t i = 0; i < 4; ++i) {
        const remote::decision made = decide(2, kMiB, TAMSA_MEMF_CLEAR);
        ASSERT_EQ(made.answer.status, 0) << "block " << int(i);
        const uint32_t at = made.answer.value;
        ASSERT_TRUE(at >= pool && uint64_t(at) + kMiB <= uint64_t(pool) + pool_bytes);
        ASSERT_EQ(fstat(hello.fd, &st), 0);
        EXPECT_GT(st.st_size, reach) << "grown with block " << int(i);
        EXPECT_GE(uint64_t(st.st_size), at - pool + uint64_t(kMiB));
        reach = st.st_size;
        uint8_t *seen = view + (at - pool);
        EXPECT_TRUE(std::all_of(seen, seen + kMiB, [](uint8_t b) { return b == 0; }));
        std::memset(tamsa_bus_pointer(at), 0xa0 + i, kMiB);
        EXPECT_EQ(seen[kMiB / 2], 0xa0 + i) << "one memory, seen from both sides";
        blocks.push_back(at);
    }
    EXPECT_LE(uint64_t(reach), pool_bytes);
    EXPECT_NE(ftruncate(hello.fd, 0), 0) << "no one may shorten it under the server";
    EXPECT_EQ(decide(2, 1).answer.status, TAMSA_OVER_LIMIT) << "past the limit";
    EXPECT_EQ(decide(3, blocks[1]).answer.status, 0);
    const remote::decision again = decide(2, kMiB, TAMSA_MEMF_CLEAR);
    ASSERT_EQ(again.answer.status, 0) << "room again";
    const uint8_t *reused = view + (again.answer.value - pool);
    EXPECT_TRUE(std::all_of(reused, reused + kMiB, [](uint8_t b) { return b == 0; }));
    munmap(mapped, pool_bytes);
    EXPECT_EQ(platform::free_owner(client.owner), 4u);
    EXPECT_EQ(platform::open_pools(), 0u);
}

// Every allocation on the pools' paths fails in turn: opening the pool when asked, growing it
// for a block, and what a message makes in it. Each failure leaves nothing of its own live, and
// once the client has gone nothing at all.
TEST(Requests, AFailureOnThePoolsPathsLeavesNothingAllocated) {
    constexpr uint64_t kLimit = 16 << 20;
    ASSERT_GT(platform::set_pool_limit(kLimit), 0u);
    tamsa_test::alloc_snapshot start = tamsa_test::snapshot();
    int failures = 0;
    for (uint32_t n = 1;; ++n) {
        remote::client_state client{94, kLimit, false, false, 603};
        const auto decide = [&client](uint32_t kind, uint32_t a, uint32_t b = 0) {
            const remote::request r{remote::kMagic, kind, a, b, 0, 0};
            uint8_t bytes[sizeof r];
            std::memcpy(bytes, &r, sizeof r);
            return remote::decide(client, bytes);
        };
        tamsa_alloc_fail_nth(n);
        bool done = false;
        uint32_t record = 0;
        if (decide(1, remote::kVersion).what != remote::action::reply ||
            decide(6, 0).what != remote::action::reply_with_pool) {
            EXPECT_EQ(platform::open_pools(), 0u) << "n " << n;
        } else {
            // A 64 x 64 frame's planes (in a fresh pool: it grows) and an op_block.
            const uint32_t planes = decide(2, 8192, TAMSA_MEMF_CLEAR).answer.value;
            const uint32_t block = planes != 0 ? decide(2, 32, TAMSA_MEMF_CLEAR).answer.value : 0;
            if (planes == 0 || block == 0) {
                EXPECT_EQ(platform::usage_of(client.owner).blocks, planes != 0 ? 1u : 0u);
            } else {
                const uint32_t words[7] = {planes, planes + 4096, planes + 6144, 64, 64, 200, 200};
                for (uint32_t k = 0; k < 7; ++k)
                    platform::store_be32(tamsa_bus_pointer(block + 4 * (k + 1)), words[k]);
                const tamsa::server::served served =
                    tamsa::server::serve_as(client.owner, TAMSA_OP_YUVSCALE, block, record);
                done = record != 0;
                EXPECT_EQ(platform::usage_of(client.owner).blocks, done ? 4u : 2u) << "n " << n;
                EXPECT_EQ(served.answer.left.size(), done ? 2u : 0u);
            }
        }
        tamsa_alloc_fail_nth(0);
        if (done) {
            tamsa_wire_bitmap made{};
            const void *wire = tamsa_bus_pointer(record);
            made.data = platform::load_be32(wire);
            EXPECT_TRUE(platform::client_maps(client.owner, record)) << "the record in its pool";
            EXPECT_TRUE(platform::client_maps(client.owner, made.data)) << "and its pixels";
        }
        platform::free_owner(client.owner);
        EXPECT_EQ(platform::open_pools(), 0u);
        EXPECT_EQ(tamsa_test::snapshot().blocks, start.blocks) << "n " << n;
        EXPECT_EQ(tamsa_test::snapshot().bytes, start.bytes) << "n " << n;
        if (done) break;
        ++failures;
    }
    EXPECT_GE(failures, 5) << "the hello, the growth, the op_block and the operation's own";
}

// The accounts of two client processes, and the cap on all clients together, as the gateway
// sets them up from each connection's peer.
TEST(Requests, LimitsArePerClientProcessUnderATotalCap) {
    constexpr uint64_t kLimit = 64 << 10;
    platform::set_clients_cap(100 << 10);
    ASSERT_GT(platform::set_pool_limit(kLimit), 0u);
    remote::client_state first_a{90, kLimit, false, false, 501};
    remote::client_state first_b{91, kLimit, false, false, 501};
    remote::client_state second{92, kLimit, false, false, 502};
    const auto decide = [](remote::client_state &c, uint32_t kind, uint32_t a) {
        const remote::request r{remote::kMagic, kind, a, 0, 0, 0};
        uint8_t bytes[sizeof r];
        std::memcpy(bytes, &r, sizeof r);
        return remote::decide(c, bytes);
    };
    for (auto *c : {&first_a, &first_b, &second}) {
        ASSERT_EQ(decide(*c, 1, remote::kVersion).what, remote::action::reply);
        ASSERT_EQ(decide(*c, 6, 0).what, remote::action::reply_with_pool);
    }
    EXPECT_EQ(decide(first_a, 2, 40 << 10).answer.status, 0);
    EXPECT_EQ(decide(first_b, 2, 40 << 10).answer.status, TAMSA_OVER_LIMIT) << "one process";
    EXPECT_EQ(decide(first_b, 2, 24 << 10).answer.status, 0) << "up to the process's limit";
    EXPECT_EQ(decide(second, 2, 40 << 10).answer.status, TAMSA_OVER_LIMIT) << "past the cap";
    EXPECT_EQ(decide(second, 2, 36 << 10).answer.status, 0) << "up to the cap";
    EXPECT_EQ(platform::free_owner(first_a.owner), 1u);
    EXPECT_EQ(decide(second, 2, 28 << 10).answer.status, 0) << "room again, to its own limit";
    EXPECT_EQ(decide(second, 2, 1).answer.status, TAMSA_OVER_LIMIT);
    for (auto *c : {&first_b, &second}) platform::free_owner(c->owner);
    platform::set_clients_cap(platform::kNoLimit);
}

// A slot is taken when a process asks for its pool, not when it greets; when every slot is
// taken, the slot of a process that holds nothing and has been idle long enough goes to the
// newcomer, fresh, and the process that lost it is told to ask again (and finds none free).
TEST(Requests, AnIdleEmptySlotIsGivenBackToANewcomer) {
    ASSERT_EQ(platform::set_pool_limit(uint64_t(1) << 30), 2u);
    remote::client_state holding{95, 1 << 20, false, false, 801};
    remote::client_state idle{96, 1 << 20, false, false, 802};
    remote::client_state newcomer{97, 1 << 20, false, false, 803};
    const auto decide = [](remote::client_state &c, uint32_t kind, uint32_t a = 0) {
        const remote::request r{remote::kMagic, kind, a, 0, 0, 0};
        uint8_t bytes[sizeof r];
        std::memcpy(bytes, &r, sizeof r);
        return remote::decide(c, bytes);
    };
    for (auto *c : {&holding, &idle, &newcomer})
        ASSERT_EQ(decide(*c, 1, remote::kVersion).what, remote::action::reply);
    EXPECT_EQ(platform::open_pools(), 0u) << "greeting takes no slot";
    ASSERT_EQ(decide(holding, 6).what, remote::action::reply_with_pool);
    const remote::decision lost = decide(idle, 6);
    ASSERT_EQ(lost.what, remote::action::reply_with_pool);
    const uint32_t held = decide(holding, 2, 64).answer.value;
    ASSERT_NE(held, 0u);
    const uint32_t scribbled = decide(idle, 2, 64).answer.value;
    ASSERT_NE(scribbled, 0u);
    std::memset(tamsa_bus_pointer(scribbled), 0x5a, 64);
    EXPECT_EQ(decide(newcomer, 6).answer.status, TAMSA_OVER_LIMIT) << "never idle enough";
    newcomer.idle_ms = 0;
    EXPECT_EQ(decide(newcomer, 6).answer.status, TAMSA_OVER_LIMIT) << "it holds a block";
    EXPECT_TRUE(platform::free_block(scribbled, idle.owner));

    const remote::decision given = decide(newcomer, 6);
    ASSERT_EQ(given.what, remote::action::reply_with_pool);
    EXPECT_EQ(given.answer.extra, lost.answer.extra) << "the idle process's slot";
    EXPECT_EQ(platform::open_pools(), 2u);
    const uint32_t fresh = decide(newcomer, 2, 64).answer.value;
    ASSERT_NE(fresh, 0u);
    const auto *bytes = static_cast<const uint8_t *>(tamsa_bus_pointer(fresh));
    EXPECT_TRUE(std::all_of(bytes, bytes + 64, [](uint8_t b) { return b == 0; }))
        << "a new memory, not the old one's";
    EXPECT_EQ(decide(idle, 2, 64).answer.status, remote::kNeedPool);
    EXPECT_EQ(decide(idle, 6).answer.status, TAMSA_OVER_LIMIT) << "the holder keeps its slot";
    EXPECT_EQ(platform::find_block(held)->owner, holding.owner);
    for (auto *c : {&holding, &idle, &newcomer}) platform::free_owner(c->owner);
    EXPECT_EQ(platform::open_pools(), 0u);
}

// The serve process words why its server cannot start, on its error stream; the library it
// runs on says nothing of its own.
TEST_F(Gateway, AServeProcessWithoutTheGraphicsLibrarySaysWhyAndDoesNotServe) {
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 1);
    char *out_text = nullptr, *err_text = nullptr;
    size_t out_length = 0, err_length = 0;
    FILE *out = open_memstream(&out_text, &out_length);
    FILE *err = open_memstream(&err_text, &err_length);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(remote::serve_process(kPort, {}, out, err), 1);
    std::fclose(out);
    std::fclose(err);
    EXPECT_STREQ(out_text, "") << "it never served";
    const std::string why =
        "Can't open version 39 of graphics.library\ntamsa serve: the server could not start\n";
    const std::string said = err_text;
    // After a word on the open-file limit, where that is low.
    EXPECT_TRUE(said.ends_with(why)) << said;
    std::free(out_text);
    std::free(err_text);
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 40);
    EXPECT_EQ(tamsa_port_find(kPort), nullptr) << "no port was left";
}

}  // namespace
