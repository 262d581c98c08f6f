// `tamsa serve` as a process of its own, driven by client processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "remote/protocol.h"
#include "support.h"
#include "tamsa/client.h"
#include "temp_dir.h"
#include "tools/commands/record.h"

namespace {

using tamsa_test::child;

// Every test gets a runtime directory of its own, so that its sockets meet no others.
class Serve : public ::testing::Test {
   protected:
    void SetUp() override {
        old_runtime_ =
            std::getenv("XDG_RUNTIME_DIR") != nullptr ? std::getenv("XDG_RUNTIME_DIR") : "";
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (old_runtime_.empty()) {
            unsetenv("XDG_RUNTIME_DIR");
        } else {
            setenv("XDG_RUNTIME_DIR", old_runtime_.c_str(), 1);
        }
    }
    std::unique_ptr<child> start_server(const std::string &port,
                                        const std::vector<std::string> &more = {}) {
        std::vector<std::string> argv{TAMSA_COMMAND, "serve", "--port", port};
        argv.insert(argv.end(), more.begin(), more.end());
        auto server = std::make_unique<child>(argv);
        const std::string first = server->line();
        EXPECT_NE(first.find("tamsa serve: port \"" + port + "\""), std::string::npos) << first;
        return server;
    }
    static std::vector<std::string> client(const std::string &mode, const std::string &port,
                                           std::vector<std::string> more = {}) {
        std::vector<std::string> argv{TAMSA_TEST_CLIENT, mode, port};
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
    }

    tamsa_test::TempDir dir_;
    std::string old_runtime_;
};

TEST_F(Serve, ClientsInOtherProcessesAtOnceWhileOneDiesAndOneTalksNonsense) {
    auto server = start_server("serve-many");
    child holder(client("hold", "serve-many"));
    ASSERT_EQ(holder.line(), "ready");
    child converter(client("convert", "serve-many", {"40", "7"}));
    child nonsense(client("garbage", "serve-many"));
    ASSERT_EQ(holder.line(), "served 1");
    holder.signal(SIGKILL);  // on its way to, or in the middle of, its next conversion
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    const std::string converted = converter.rest();
    EXPECT_EQ(converter.wait(), 0) << converted;
    EXPECT_EQ(converted, "ok 40\n");
    const std::string talked = nonsense.rest();
    EXPECT_EQ(nonsense.wait(), 0) << talked;

    // The server goes on, and a client here can still use it.
    child again(client("convert", "serve-many", {"3", "11"}));
    EXPECT_EQ(again.rest(), "ok 3\n");
    EXPECT_EQ(again.wait(), 0);

    server->signal(SIGTERM);
    const std::string stopped = server->line();
    EXPECT_EQ(server->wait(), 0) << stopped;
    // Whatever the clients held, the dead one included, went back to the bus.
    EXPECT_NE(stopped.find("; 0 blocks left"), std::string::npos) << stopped;
    EXPECT_FALSE(std::filesystem::exists(tamsa::remote::socket_path("serve-many")));
}

// Without the operator's leave, a client's stop messages are refused and the others are served
// on; with it, a stop ends the server.
TEST_F(Serve, OnlyTheOperatorLetsClientsStopTheServer) {
    auto server = start_server("serve-nostop");
    tamsa_client *c = tamsa_client_connect("serve-nostop");
    tamsa_client *other = tamsa_client_connect("serve-nostop");
    ASSERT_TRUE(c != nullptr && other != nullptr);
    const uint32_t block = tamsa_client_alloc(c, 4, 0);
    tamsa_client_store32(c, block, 9);
    uint32_t result = 1;
    for (int32_t stop : {TAMSA_OP_QUIT, TAMSA_OP_QUIT_ALT}) {
        EXPECT_EQ(tamsa_client_send_result(c, stop, block, 5000, &result), TAMSA_REFUSED);
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(tamsa_client_load32(c, block), 9u) << "nothing ran";
        EXPECT_EQ(tamsa_client_call(other, TAMSA_OP_COUNT, nullptr, 0, 5000, nullptr),
                  TAMSA_REPLIED)
            << "the server goes on after id " << stop;
    }
    tamsa_client_close(c);
    tamsa_client_close(other);
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    child help({TAMSA_COMMAND, "serve", "--help"});
    EXPECT_NE(help.rest().find("--allow-remote-stop"), std::string::npos);
    EXPECT_EQ(help.wait(), 0);
}

TEST_F(Serve, AStopMessageEndsTheServerAndRemovesItsSocket) {
    auto server = start_server("serve-stop", {"--allow-remote-stop"});
    tamsa_client *c = tamsa_client_connect("serve-stop");
    ASSERT_NE(c, nullptr);
    uint32_t word0 = 0;
    EXPECT_EQ(tamsa_client_call(c, 0, nullptr, 0, 5000, &word0), TAMSA_REPLIED);
    EXPECT_EQ(word0, 123u);
    EXPECT_EQ(server->wait(), 0);
    EXPECT_NE(tamsa_client_call(c, 11, nullptr, 0, 1000, &word0), TAMSA_REPLIED);
    tamsa_client_close(c);
    EXPECT_FALSE(std::filesystem::exists(tamsa::remote::socket_path("serve-stop")));
    EXPECT_EQ(tamsa_client_connect("serve-stop"), nullptr);
}

// Quiet: the server says nothing while it serves and when it stops, and an error still shows.
TEST_F(Serve, QuietSaysNothingButErrors) {
    child server({TAMSA_COMMAND, "serve", "--port", "serve-quiet", "-q"});
    // No line to wait for: the port is up once a client gets through.
    tamsa_client *c = nullptr;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (c == nullptr && std::chrono::steady_clock::now() < give_up) {
        c = tamsa_client_connect("serve-quiet");
        if (c == nullptr) std::this_thread::yield();
    }
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(tamsa_client_call(c, TAMSA_OP_COUNT, nullptr, 0, 5000, nullptr), TAMSA_REPLIED);
    tamsa_client_close(c);
    child second({TAMSA_COMMAND, "serve", "--port", "serve-quiet", "-q"});
    const std::string why = second.rest();
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(why.find("already served"), std::string::npos) << why;
    server.signal(SIGTERM);
    const std::string said = server.rest();
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(said, "");
}

TEST_F(Serve, OnePortOneServer) {
    auto server = start_server("serve-once");
    child second({TAMSA_COMMAND, "serve", "--port", "serve-once"});
    const std::string why = second.rest();
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(why.find("already served"), std::string::npos) << why;
    // The first one is untouched.
    tamsa_client *c = tamsa_client_connect("serve-once");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(tamsa_client_call(c, 11, nullptr, 0, 5000, nullptr), TAMSA_REPLIED);
    tamsa_client_close(c);
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(), 0);
}

TEST_F(Serve, ASocketLeftByADeadServerIsTakenOver) {
    {
        auto server = start_server("serve-stale");
        server->signal(SIGKILL);
        EXPECT_EQ(server->wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(std::filesystem::exists(tamsa::remote::socket_path("serve-stale")));
    auto server = start_server("serve-stale");
    tamsa_client *c = tamsa_client_connect("serve-stale");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(tamsa_client_call(c, 11, nullptr, 0, 5000, nullptr), TAMSA_REPLIED);
    tamsa_client_close(c);
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
}

// Client C's op_block is filled for id 10; A and B, other connections, send id 10 on it over
// and over and free whatever its word 0 names, and D writes nonsense into its word 0 all the
// while. A's and B's messages run nothing and their frees free nothing; C takes its answer from
// the reply, not from word 0: its frames stay right, and nothing is left when everyone has gone.
TEST_F(Serve, ClientsCannotUseOrFreeAnotherClientsBlocks) {
    auto server = start_server("serve-share");
    tamsa_client *c = tamsa_client_connect("serve-share");
    tamsa_client *a = tamsa_client_connect("serve-share");
    tamsa_client *b = tamsa_client_connect("serve-share");
    tamsa_client *d = tamsa_client_connect("serve-share");
    ASSERT_TRUE(c != nullptr && a != nullptr && b != nullptr && d != nullptr);
    constexpr int32_t w = 64, h = 48, dw = 80, dh = 60;
    std::vector<uint8_t> y(w * h), v(w * h / 4), u(w * h / 4);
    tamsa_test::Rng rng(3);
    for (auto *plane : {&y, &v, &u}) rng.fill(plane->data(), plane->size());
    uint32_t planes[3];
    for (int i = 0; i < 3; ++i) {
        const auto &plane = i == 0 ? y : i == 1 ? v : u;
        planes[i] = tamsa_client_alloc(c, uint32_t(plane.size()), 0);
        ASSERT_NE(planes[i], 0u);
        std::memcpy(tamsa_client_pointer(c, planes[i], uint32_t(plane.size())), plane.data(),
                    plane.size());
    }
    const uint32_t block = tamsa_client_alloc(c, 32, TAMSA_MEMF_CLEAR);
    const uint32_t words[7] = {planes[0], planes[1], planes[2], w, h, dw, dh};
    for (uint32_t n = 0; n < 7; ++n) tamsa_client_store32(c, block + 4 * (n + 1), words[n]);
    kv_bitmap *expected = fx_yuvscale_ll(y.data(), v.data(), u.data(), w, h, dw, dh);
    ASSERT_NE(expected, nullptr);

    std::atomic<bool> done{false};
    const auto meddle = [&done, block](tamsa_client *x) {
        int sent = 0, answered = 0;
        while (!done) {
            answered += tamsa_client_send(x, 10, block, -1) == TAMSA_REPLIED;
            ++sent;
            tamsa_client_free_bitmap(x, tamsa_client_load32(x, block));
        }
        return std::make_pair(sent, answered);
    };
    auto by_a = std::async(std::launch::async, meddle, a);
    auto by_b = std::async(std::launch::async, meddle, b);
    auto by_d = std::async(std::launch::async, [&done, block, d] {
        int writes = 0;
        for (; !done; ++writes)
            tamsa_client_store32(d, block, 0x40u + uint32_t(writes % 4096) * 16);
        return writes;
    });
    int wrong = 0;
    for (int round = 0; round < 300; ++round) {
        uint32_t record = 0;
        ASSERT_EQ(tamsa_client_send_result(c, 10, block, -1, &record), TAMSA_REPLIED);
        tamsa_wire_bitmap frame{};
        ASSERT_EQ(tamsa_client_read_bitmap(c, record, &frame), 1);
        const void *pixels = tamsa_client_pointer(c, frame.data, dw * dh * 3);
        wrong += frame.width != dw || frame.height != dh || pixels == nullptr ||
                 std::memcmp(pixels, expected->data, dw * dh * 3) != 0;
        tamsa_client_free_bitmap(c, record);
    }
    done = true;
    for (auto *meddler : {&by_a, &by_b}) {
        const auto [sent, answered] = meddler->get();
        EXPECT_GT(sent, 0);
        EXPECT_EQ(answered, sent) << "a message on another's block is still answered";
    }
    EXPECT_GT(by_d.get(), 0);
    EXPECT_EQ(wrong, 0);
    kv_freebitmap(expected);
    for (tamsa_client *x : {a, b, c, d}) tamsa_client_close(x);
    server->signal(SIGTERM);
    const std::string stopped = server->line();
    EXPECT_EQ(server->wait(), 0);
    EXPECT_NE(stopped.find("; 0 blocks left"), std::string::npos) << stopped;
}

// Client A's frame, its bitmap (made by the server in A's pool) and its op_block, named to a
// client in another process: that process maps none of them, and no message, store or free of
// its changes a byte of them or hands it a byte of theirs.
TEST_F(Serve, AnotherClientProcessCanNeitherSeeNorChangeAClientsMemory) {
    auto server = start_server("serve-pools");
    tamsa_client *a = tamsa_client_connect("serve-pools");
    ASSERT_NE(a, nullptr);
    constexpr uint32_t kData = 4096;
    const uint32_t data = tamsa_client_alloc(a, kData, 0);
    const uint32_t block = tamsa_client_alloc(a, 32, TAMSA_MEMF_CLEAR);
    ASSERT_NE(data, 0u);
    ASSERT_NE(block, 0u);
    auto *bytes = static_cast<uint8_t *>(tamsa_client_pointer(a, data, kData));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(tamsa_client_pointer(a, data + (64u << 20), 1), nullptr)
        << "in A's slot, but past what its pool holds so far: a touch would fault";
    tamsa_test::Rng rng(19);
    rng.fill(bytes, kData);
    // A 32 x 32 frame's planes, resized to 16 x 16.
    const uint32_t words[7] = {data, data + 1024, data + 1280, 32, 32, 16, 16};
    for (uint32_t n = 0; n < 7; ++n) tamsa_client_store32(a, block + 4 * (n + 1), words[n]);
    uint32_t record = 0;
    ASSERT_EQ(tamsa_client_send_result(a, TAMSA_OP_YUVSCALE, block, -1, &record), TAMSA_REPLIED);
    tamsa_wire_bitmap frame{};
    ASSERT_EQ(tamsa_client_read_bitmap(a, record, &frame), 1) << "the record is in A's pool";
    constexpr uint32_t kPixels = 16 * 16 * 3;
    const auto *pixels = static_cast<const uint8_t *>(tamsa_client_pointer(a, frame.data, kPixels));
    ASSERT_NE(pixels, nullptr) << "and its pixels";
    const auto snapshot = [&] {
        std::vector<uint8_t> all(bytes, bytes + kData);
        const auto *r = static_cast<const uint8_t *>(tamsa_client_pointer(a, record, 16));
        const auto *b = static_cast<const uint8_t *>(tamsa_client_pointer(a, block, 32));
        all.insert(all.end(), r, r + 16);
        all.insert(all.end(), b, b + 32);
        all.insert(all.end(), pixels, pixels + kPixels);
        return all;
    };
    const std::vector<uint8_t> before = snapshot();

    child intruder(client("intrude", "serve-pools",
                          {std::to_string(data), std::to_string(record), std::to_string(block)}));
    const std::string said = intruder.rest();
    EXPECT_EQ(intruder.wait(), 0) << said;
    EXPECT_EQ(said, "ok intrude\n");
    EXPECT_TRUE(snapshot() == before) << "A's memory changed";

    // A's blocks are all still A's.
    uint32_t again = 0;
    EXPECT_EQ(tamsa_client_send_result(a, TAMSA_OP_YUVSCALE, block, -1, &again), TAMSA_REPLIED);
    EXPECT_NE(again, 0u);
    tamsa_client_free_bitmap(a, again);
    tamsa_client_free_bitmap(a, record);
    tamsa_client_free(a, data);
    tamsa_client_free(a, block);
    tamsa_client_close(a);
    server->signal(SIGTERM);
    const std::string stopped = server->line();
    EXPECT_EQ(server->wait(), 0);
    EXPECT_NE(stopped.find("from 2 clients; 0 blocks left"), std::string::npos) << stopped;
}

// Memory files of the server's that are client pools, by its mappings.
size_t pools_mapped(pid_t server) {
    std::FILE *maps = std::fopen(("/proc/" + std::to_string(server) + "/maps").c_str(), "r");
    if (maps == nullptr) return 0;
    size_t pools = 0;
    char line[512];
    while (std::fgets(line, sizeof line, maps) != nullptr)
        pools += std::strstr(line, "/memfd:tamsa-pool") != nullptr;
    std::fclose(maps);
    return pools;
}

// At a 1G client limit the server has two pools: a third process is refused in words until one
// of the two has gone, killed mid-message here; its pool is unmapped and the slot serves the
// next.
TEST_F(Serve, PoolsServeAsManyProcessesAsTheyHoldAndAGoneProcessFreesItsSlot) {
    auto server = start_server("serve-slots", {"--client-limit", "1G"});
    tamsa_client *a = tamsa_client_connect("serve-slots");
    ASSERT_NE(a, nullptr);
    tamsa_client *a_again = tamsa_client_connect("serve-slots");
    ASSERT_NE(a_again, nullptr);
    EXPECT_EQ(pools_mapped(server->pid()), 0u) << "connecting takes no slot";
    const uint32_t kept = tamsa_client_alloc(a, 64, TAMSA_MEMF_ANY);
    const uint32_t kept_again = tamsa_client_alloc(a_again, 64, TAMSA_MEMF_ANY);
    ASSERT_NE(kept, 0u);
    ASSERT_NE(kept_again, 0u);
    EXPECT_NE(tamsa_client_pointer(a_again, kept, 64), nullptr)
        << "a second connection shares the process's pool";
    EXPECT_EQ(pools_mapped(server->pid()), 1u);
    child holder(client("hold", "serve-slots"));
    ASSERT_EQ(holder.line(), "ready");
    EXPECT_EQ(pools_mapped(server->pid()), 2u);

    const std::vector<std::string> record{TAMSA_COMMAND, "record", "--connect",
                                          "serve-slots", "--size", "64x48",
                                          "--frames",    "1",      "--no-output"};
    {
        child third(record);
        const std::string why = third.rest();
        EXPECT_EQ(third.wait(), 1) << why;
        EXPECT_EQ(why,
                  "tamsa record: port 'serve-slots' serves as many client processes as it has "
                  "room for; try again once one has ended (tamsa serve --help: --client-limit)\n");
    }
    EXPECT_EQ(pools_mapped(server->pid()), 2u) << "the refused process got none";

    ASSERT_EQ(holder.line(), "served 1");
    holder.signal(SIGKILL);
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    // Its pool goes once the message in hand is done.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pools_mapped(server->pid()) != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(pools_mapped(server->pid()), 1u);
    {
        child third(record);
        const std::string said = third.rest();
        EXPECT_EQ(third.wait(), 0) << said;
    }
    tamsa_client_close(a_again);
    tamsa_client_close(a);
    server->signal(SIGTERM);
    const std::string stopped = server->line();
    EXPECT_EQ(server->wait(), 0);
    EXPECT_NE(stopped.find("; 0 blocks left"), std::string::npos) << stopped;
}

// A hello of any version but the server's is refused in words, and no pool is made for it.
TEST_F(Serve, AHelloOfAnotherVersionIsRefusedBeforeAnyPool) {
    auto server = start_server("serve-versions");
    const std::string path = tamsa::remote::socket_path("serve-versions");
    for (uint32_t version : {0u, 1u, 2u, 3u, 0xffffffffu}) {
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        const tamsa::remote::request hello{tamsa::remote::kMagic, 1, version, 0, 0, 0};
        tamsa::remote::response answer{};
        ASSERT_TRUE(tamsa::remote::write_full(s, &hello, sizeof hello));
        ASSERT_TRUE(tamsa::remote::read_full(s, &answer, sizeof answer));
        EXPECT_EQ(answer.status, TAMSA_REFUSED) << "version " << version;
        EXPECT_EQ(answer.value, tamsa::remote::kVersion);
        // Hung up on: a further request is not answered.
        const tamsa::remote::request alloc{tamsa::remote::kMagic, 2, 64, 0, 0, 0};
        (void)!send(s, &alloc, sizeof alloc, MSG_NOSIGNAL);
        char byte = 0;
        EXPECT_LE(recv(s, &byte, 1, 0), 0) << "version " << version;
        close(s);
        EXPECT_EQ(pools_mapped(server->pid()), 0u) << "version " << version;
    }
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
}

// Processes that connect and do nothing hold no slot: with two slots and two idle processes, a
// third allocates and is served at once.
TEST_F(Serve, IdleProcessesHoldNoSlot) {
    auto server = start_server("serve-idle", {"--client-limit", "1G"});
    std::vector<std::unique_ptr<child>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<child>(client("idle", "serve-idle")));
        ASSERT_EQ(idle.back()->line(), "ready");
    }
    EXPECT_EQ(pools_mapped(server->pid()), 0u);
    child worker(client("convert", "serve-idle", {"2", "7"}));
    const std::string said = worker.rest();
    EXPECT_EQ(worker.wait(), 0) << said;
    for (auto &c : idle) c->signal(SIGKILL);
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
}

// Makes the next process this one starts get pid want (or near it): through the kernel's
// last-pid setting when this process may write it, else by starting short-lived children until
// the pids come round. False when pid want cannot be reached within the time given.
bool steer_next_pid(pid_t want, std::chrono::seconds bound) {
    if (std::FILE *f = std::fopen("/proc/sys/kernel/ns_last_pid", "w")) {
        const bool set = std::fprintf(f, "%d", int(want - 1)) > 0;
        if (std::fclose(f) == 0 && set) return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t p = fork();
        if (p < 0) return false;
        if (p == 0) _exit(0);
        waitpid(p, nullptr, 0);
        if (p == want - 1) return true;
    }
    return false;
}

// A pool belongs to the process, not to its pid: a process writes a secret into its block,
// forks and ends, its child keeping the connection; a new process that gets the same pid
// connects and gets a pool of its own, where the secret is not; the child is still served on
// the connection it inherited, and its secret is whole.
TEST_F(Serve, APidThatComesRoundIsAnotherProcess) {
    auto server = start_server("serve-pids");
    child parent(client("secret", "serve-pids"));
    const std::string first = parent.line();
    unsigned address = 0;
    int pid = 0;
    ASSERT_EQ(std::sscanf(first.c_str(), "secret %u %d", &address, &pid), 2) << first;
    int heir = 0;
    const std::string second = parent.line();
    ASSERT_EQ(std::sscanf(second.c_str(), "child %d", &heir), 1) << second;
    ASSERT_EQ(parent.wait(), 0);
    int seen = -1;
    for (int attempt = 0; attempt < 5 && seen < 0; ++attempt) {
        if (!steer_next_pid(pid, std::chrono::seconds(25))) break;
        child peeker(client("peek", "serve-pids", {std::to_string(address)}));
        int got_pid = 0, got_seen = 0;
        const std::string said = peeker.line();
        EXPECT_EQ(peeker.wait(), 0) << said;
        if (std::sscanf(said.c_str(), "pid %d sees %d", &got_pid, &got_seen) == 2 && got_pid == pid)
            seen = got_seen;
    }
    kill(heir, SIGUSR1);
    EXPECT_EQ(parent.line(), "inherited ok");
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    if (seen < 0) GTEST_SKIP() << "pid " << pid << " did not come round in time";
    EXPECT_EQ(seen, 0) << "a new process with an old pid read the old one's memory";
}

TEST_F(Serve, TheRecorderGetsTheSameFramesFromAServerProcess) {
    tamsa::tools::record_options o;
    o.raw_size = {96, 40};
    o.frames = 3;
    o.scale = {50, 30};
    o.correct = true;
    o.contrast = 80;
    o.deinterlace = true;
    o.out_dir = "";
    o.progress = false;
    const auto here = tamsa::tools::run_record(o, true);
    auto server = start_server("serve-record");
    o.connect = "serve-record";
    const auto there = tamsa::tools::run_record(o, true);
    // And one frame at a time through reading, serving and writing, as the overlapped runs.
    setenv("TAMSA_RECORD_SERIAL", "1", 1);
    const auto serial = tamsa::tools::run_record(o, true);
    unsetenv("TAMSA_RECORD_SERIAL");
    ASSERT_EQ(there.kept.size(), here.kept.size());
    ASSERT_EQ(serial.kept.size(), here.kept.size());
    for (size_t i = 0; i < here.kept.size(); ++i) {
        EXPECT_EQ(there.kept[i].pixels, here.kept[i].pixels) << i;
        EXPECT_EQ(serial.kept[i].pixels, here.kept[i].pixels) << i;
    }
    EXPECT_EQ(there.messages, here.messages);
    EXPECT_EQ(serial.messages, here.messages);
    server->signal(SIGTERM);
    const std::string stopped = server->line();
    EXPECT_EQ(server->wait(), 0);
    EXPECT_NE(stopped.find("messages from 2 clients; 0 blocks left in the bus (held by no client)"),
              std::string::npos)
        << stopped;
}

// A message the server would not serve is named in words, with what to do about it.
TEST_F(Serve, AMessageOverTheClientLimitIsRefusedInWords) {
    auto server = start_server("serve-limit", {"--client-limit", "64K"});
    child record({TAMSA_COMMAND, "record", "--connect", "serve-limit", "--size", "64x48",
                  "--frames", "1", "--scale", "320x240", "--no-output"});
    const std::string why = record.rest();
    EXPECT_EQ(record.wait(), 1) << why;
    EXPECT_EQ(why,
              "tamsa record: message 10 was not served: this client would pass its limit of the "
              "bus (tamsa serve --client-limit)\n");
    server->signal(SIGTERM);
    const std::string stopped = server->line();
    EXPECT_EQ(server->wait(), 0);
    EXPECT_NE(stopped.find("; 0 blocks left"), std::string::npos) << stopped;
}

TEST_F(Serve, BadPortNamesAreRefused) {
    child bad({TAMSA_COMMAND, "serve", "--port", "../x"});
    const std::string why = bad.rest();
    // A mistake in the command line, as every other: exit status 2.
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_NE(why.find("bad port name"), std::string::npos) << why;
}

// A runtime directory whose socket path would not fit in a socket address is named as such,
// by the server and by a client.
TEST_F(Serve, ASocketPathTooLongIsNamed) {
    const std::string deep = (dir_.path() / std::string(100, 'd')).string();
    ASSERT_TRUE(std::filesystem::create_directory(deep));
    setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
    child bad({TAMSA_COMMAND, "serve", "--port", "long"});
    const std::string why = bad.rest();
    EXPECT_EQ(bad.wait(), 1);
    EXPECT_NE(why.find("too long"), std::string::npos) << why;
    EXPECT_NE(why.find(deep + "/tamsa/long.sock"), std::string::npos) << why;
    errno = 0;
    EXPECT_EQ(tamsa_client_connect("long"), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    child recorder({TAMSA_COMMAND, "record", "--connect", "long", "--out", "-"});
    const std::string said = recorder.rest();
    EXPECT_EQ(recorder.wait(), 1);
    EXPECT_NE(said.find("too long"), std::string::npos) << said;
}

TEST_F(Serve, TheClientLimitTakesASizeWithAUnit) {
    for (const char *bad : {"0", "12X", "5G", "K", "-1", "99999999999"}) {
        child refused({TAMSA_COMMAND, "serve", "--port", "serve-limit", "--client-limit", bad});
        const std::string why = refused.rest();
        EXPECT_EQ(refused.wait(), 2) << bad;
        EXPECT_NE(why.find("bad client limit"), std::string::npos) << why;
    }
    child refused({TAMSA_COMMAND, "serve", "--port", "serve-limit", "--total-limit", "12X"});
    EXPECT_NE(refused.rest().find("bad total limit"), std::string::npos);
    EXPECT_EQ(refused.wait(), 2);
    auto server = start_server("serve-limit", {"--client-limit", "64K"});
    tamsa_client *c = tamsa_client_connect("serve-limit");
    ASSERT_NE(c, nullptr);
    const uint32_t most = tamsa_client_alloc(c, 64 << 10, 0);
    EXPECT_NE(most, 0u);
    EXPECT_EQ(tamsa_client_alloc(c, 1, 0), 0u);
    tamsa_client_free(c, most);
    EXPECT_NE(tamsa_client_alloc(c, 1, 0), 0u);
    tamsa_client_close(c);
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
}

}  // namespace
