// `tamsa serve` as a process of its own, driven by client processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "remote/protocol.h"
#include "tamsa/client.h"
#include "temp_dir.h"
#include "tools/record.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;

// A child process whose standard output and error the test reads.
class child {
   public:
    explicit child(const std::vector<std::string> &argv) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output_ = fdopen(out[0], "r");
    }
    ~child() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (output_ != nullptr) std::fclose(output_);
    }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    // The next line of output, without its line feed ("" at the end).
    std::string line() {
        char buffer[512];
        if (std::fgets(buffer, sizeof buffer, output_) == nullptr) return "";
        std::string s(buffer);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    std::string rest() {
        std::string all, l;
        while (!(l = line()).empty()) all += l + "\n";
        return all;
    }
    void signal(int s) const { kill(pid_, s); }
    // The exit status, or 128 + the signal that ended it.
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }

   private:
    pid_t pid_ = -1;
    FILE *output_ = nullptr;
    bool waited_ = false;
};

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
    std::unique_ptr<child> start_server(const std::string &port) {
        auto server = std::make_unique<child>(
            std::vector<std::string>{TAMSA_COMMAND, "serve", "--port", port});
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
    std::this_thread::sleep_for(50ms);
    holder.signal(SIGKILL);  // in the middle of one of its conversions
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

TEST_F(Serve, AStopMessageEndsTheServerAndRemovesItsSocket) {
    auto server = start_server("serve-stop");
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

TEST_F(Serve, ATermSignalReturnsQueuedMessagesUnserved) {
    auto server = start_server("serve-term");
    child holder(client("hold", "serve-term"));
    ASSERT_EQ(holder.line(), "ready");
    // Messages queued behind the holder's long conversions.
    std::vector<std::thread> senders;
    std::vector<int32_t> statuses(4, -1);
    for (int i = 0; i < 4; ++i) {
        senders.emplace_back([&statuses, i] {
            tamsa_client *c = tamsa_client_connect("serve-term");
            if (c == nullptr) {  // too late: the server is gone already
                statuses[size_t(i)] = TAMSA_FAILED;
                return;
            }
            statuses[size_t(i)] = tamsa_client_call(c, 11, nullptr, 0, -1, nullptr);
            tamsa_client_close(c);
        });
    }
    std::this_thread::sleep_for(100ms);
    server->signal(SIGTERM);
    for (auto &t : senders) t.join();
    EXPECT_EQ(server->wait(), 0);
    for (int32_t s : statuses) {
        EXPECT_TRUE(s == TAMSA_REPLIED || s == TAMSA_NOT_SERVED || s == TAMSA_FAILED) << s;
    }
    holder.signal(SIGKILL);
    holder.wait();
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
    ASSERT_EQ(there.kept.size(), here.kept.size());
    for (size_t i = 0; i < here.kept.size(); ++i)
        EXPECT_EQ(there.kept[i].pixels, here.kept[i].pixels) << i;
    EXPECT_EQ(there.messages, here.messages);
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

}  // namespace
