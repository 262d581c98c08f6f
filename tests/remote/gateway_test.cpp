// The gateway in this process, with clients on real sockets: its request decoding, its event
// loop, and what it does when clients or the server go away. Where the order of events
// matters, the test itself takes the messages from the port, so that nothing depends on timing.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
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
    const remote::decision hello = decide(1, remote::kVersion);
    EXPECT_EQ(hello.what, action::reply_with_pool);
    EXPECT_EQ(hello.answer.value, remote::kVersion);
    const auto pool = uint32_t(hello.answer.extra >> 32), pool_bytes = uint32_t(hello.answer.extra);
    EXPECT_GT(pool, platform::shared_bytes());
    EXPECT_GE(pool_bytes, 64u);
    EXPECT_GE(hello.fd, 0);
    EXPECT_EQ(decide(1, remote::kVersion).what, action::hang_up) << "a second hello";

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
    EXPECT_EQ(send.timeout_ms, 250);
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
    start(false);
    std::vector<std::future<int32_t>> calls;
    std::vector<tamsa_client *> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(tamsa_client_connect(kPort));
        ASSERT_NE(clients.back(), nullptr);
    }
    for (tamsa_client *c : clients) {
        calls.push_back(std::async(std::launch::async, [c] {
            return tamsa_client_call(c, TAMSA_OP_COUNT, nullptr, 0, -1, nullptr);
        }));
    }
    PPCMessage *in_hand = take();
    while (remote::gateway_messages(g_) != 4) std::this_thread::yield();
    PPCReplyMessage(in_hand);
    PPCDeletePort(port_);
    port_ = nullptr;
    int replied = 0, unserved = 0;
    for (auto &call : calls) {
        const int32_t status = call.get();
        replied += status == TAMSA_REPLIED;
        unserved += status == TAMSA_NOT_SERVED;
    }
    EXPECT_EQ(replied, 1);
    EXPECT_EQ(unserved, 3);
    for (tamsa_client *c : clients) tamsa_client_close(c);
    wait_for_no_connections();
}

// A client that dies with its message in service keeps its blocks until the reply: the server
// may still be writing into them.
TEST_F(Gateway, AClientGoneInServiceIsFreedOnlyAfterTheReply) {
    start(false);
    const int s = raw_connection();
    ASSERT_GE(s, 0);
    const auto exchange = [s](uint32_t kind, uint32_t a, uint32_t b, int32_t id = 0) {
        const remote::request r{remote::kMagic, kind, a, b, -1, id};
        remote::response answer{};
        int bus = -1;
        EXPECT_TRUE(remote::write_full(s, &r, sizeof r));
        if (kind == 4) return answer;  // sent; not waited for
        EXPECT_TRUE(remote::receive_with_fd(s, &answer, sizeof answer, &bus));
        if (bus >= 0) close(bus);
        return answer;
    };
    exchange(1, remote::kVersion, 0);
    const uint32_t block = exchange(2, 32, TAMSA_MEMF_CLEAR).value;
    ASSERT_NE(block, 0u);
    const uint32_t owner = platform::find_block(block)->owner;
    exchange(4, 0, block, TAMSA_OP_YUVTORGB);
    PPCMessage *m = take();
    EXPECT_EQ(platform::message_owner(m), owner);
    EXPECT_EQ(platform::message_id(m), TAMSA_OP_YUVTORGB);
    close(s);
    // Seen gone, but its block is kept while the message is in service.
    while (remote::gateway_connections(g_) != 0) std::this_thread::yield();
    EXPECT_EQ(platform::usage_of(owner).blocks, 1u);
    PPCReplyMessage(m);
    while (platform::usage_of(owner).blocks != 0) std::this_thread::yield();
}

// A client that hangs up while its message waits in the queue takes the message with it: it
// never runs, and its blocks are freed at once.
TEST_F(Gateway, AHungUpClientsQueuedMessageIsWithdrawn) {
    start(false);
    const int s = raw_connection();
    ASSERT_GE(s, 0);
    const auto ask = [s](uint32_t kind, uint32_t a, uint32_t b) {
        const remote::request r{remote::kMagic, kind, a, b, -1, 0};
        remote::response answer{};
        int bus = -1;
        EXPECT_TRUE(remote::write_full(s, &r, sizeof r));
        EXPECT_TRUE(remote::receive_with_fd(s, &answer, sizeof answer, &bus));
        if (bus >= 0) close(bus);
        return answer;
    };
    ask(1, remote::kVersion, 0);
    const uint32_t block = ask(2, 32, TAMSA_MEMF_CLEAR).value;
    ASSERT_NE(block, 0u);
    const uint32_t owner = platform::find_block(block)->owner;
    const remote::request send{remote::kMagic, 4, 0, block, -1, TAMSA_OP_YUVTORGB};
    ASSERT_TRUE(remote::write_full(s, &send, sizeof send));
    while (remote::gateway_messages(g_) != 1) std::this_thread::yield();
    close(s);
    wait_for_no_connections();
    EXPECT_EQ(platform::usage_of(owner).blocks, 0u) << "freed without waiting for a reply";
    EXPECT_EQ(PPCGetMessage(port_), nullptr) << "the message went with its client";
}

TEST_F(Gateway, AnUntakenMessageTimesOutAndIsWithdrawn) {
    start(false);
    tamsa_client *c = tamsa_client_connect(kPort);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(tamsa_client_call(c, TAMSA_OP_COUNT, nullptr, 0, 5, nullptr), TAMSA_TIMEOUT);
    EXPECT_EQ(PPCGetMessage(port_), nullptr) << "a timed-out message is never served";
    // And the connection goes on.
    auto call = std::async(std::launch::async, [c] {
        return tamsa_client_call(c, TAMSA_OP_COUNT, nullptr, 0, -1, nullptr);
    });
    PPCReplyMessage(take());
    EXPECT_EQ(call.get(), TAMSA_REPLIED);
    tamsa_client_close(c);
    wait_for_no_connections();
}

// The answer is the result the reply carries, never word 0 read back: here the port's owner
// answers one value and leaves another in word 0, as a process writing into the block after
// the reply would. For a client of the gateway and one in this process alike.
TEST_F(Gateway, TheResultComesWithTheReplyNotFromWordZero) {
    start(false);
    tamsa_client *across = tamsa_client_connect(kPort);
    tamsa_client *here = tamsa_client_local(kPort);
    ASSERT_NE(across, nullptr);
    ASSERT_NE(here, nullptr);
    for (tamsa_client *c : {across, here}) {
        auto call = std::async(std::launch::async, [c] {
            uint32_t result = 1;
            const int32_t status = tamsa_client_call(c, TAMSA_OP_COUNT, nullptr, 0, -1, &result);
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
        EXPECT_EQ(result, 0x1234u) << (c == here ? "in this process" : "across the socket");

        // A message not replied answers no result.
        const uint32_t block = tamsa_client_alloc(c, 4, TAMSA_MEMF_CLEAR);
        tamsa_client_store32(c, block, 55);
        uint32_t none = 1;
        EXPECT_EQ(tamsa_client_send_result(c, TAMSA_OP_COUNT, block, 5, &none), TAMSA_TIMEOUT);
        EXPECT_EQ(none, 0u);
        tamsa_client_free(c, block);
    }
    EXPECT_EQ(tamsa_client_send_result(nullptr, TAMSA_OP_COUNT, 0, -1, nullptr), TAMSA_FAILED);
    tamsa_client_close(across);
    tamsa_client_close(here);
    wait_for_no_connections();
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

// A thousand clients at once cost the gateway no thread; one that never greets is hung up on
// when its time is up, and the others are served as before.
TEST_F(Gateway, IdleClientsCostNoThreadAndSilentOnesAreClosed) {
    constexpr size_t kClients = 1024;
    // Two descriptors a client here (its socket, the gateway's end), and some to spare.
    if (remote::raise_open_file_limit() < 2 * kClients + 64) {
        GTEST_SKIP() << "the open-file limit is too low for " << kClients << " clients";
    }
    remote::gateway_options options;
    // Long enough for a client here to send its greeting on a loaded or emulated machine.
    options.greet_ms = 1000;
    start(true, options);
    const size_t threads = threads_of_this_process();
    std::vector<tamsa_client *> clients;
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back(tamsa_client_connect(kPort));
        ASSERT_NE(clients.back(), nullptr) << "client " << i;
    }
    EXPECT_EQ(remote::gateway_connections(g_), kClients);
    EXPECT_EQ(threads_of_this_process(), threads);

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
// one pool, whose fresh blocks come in address order) queue their frames before the loop runs,
// one 200 allocations, the other one; the other's block comes before all but a turn's worth.
TEST_F(Gateway, AConnectionsQueuedWorkTakesNoMoreThanItsTurn) {
    start(false, {}, false);
    const int busy = raw_connection();
    const int other = raw_connection();
    ASSERT_GE(busy, 0);
    ASSERT_GE(other, 0);
    constexpr int kQueued = 200;
    const remote::request hello{remote::kMagic, 1, remote::kVersion, 0, 0, 0};
    const remote::request alloc{remote::kMagic, 2, 4096, 0, 0, 0};
    std::vector<remote::request> frames{hello};
    frames.insert(frames.end(), kQueued, alloc);
    ASSERT_TRUE(remote::write_full(busy, frames.data(), frames.size() * sizeof alloc));
    ASSERT_TRUE(remote::write_full(other, frames.data(), 2 * sizeof alloc));
    run_loop();
    const auto answers = [](int s, int allocations) {
        std::vector<uint32_t> got;
        remote::response answer{};
        int pool = -1;
        EXPECT_TRUE(remote::receive_with_fd(s, &answer, sizeof answer, &pool));
        EXPECT_GE(pool, 0);
        if (pool >= 0) close(pool);
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
    // A turn is 64 frames, the hello one of them.
    EXPECT_LE(before, 63) << "the other connection waited for more than a turn";
    close(busy);
    close(other);
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
    const remote::decision hello = decide(1, remote::kVersion);
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

// Every allocation on the pools' paths fails in turn: opening the pool at the hello, growing it
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
        if (decide(1, remote::kVersion).what != remote::action::reply_with_pool) {
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
    for (auto *c : {&first_a, &first_b, &second})
        ASSERT_EQ(decide(*c, 1, remote::kVersion).what, remote::action::reply_with_pool);
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
