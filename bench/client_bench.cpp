// The port across processes, and the recorder's pipeline in frames per second. The benchmarks
// that time a message against a socket ping-pong are meant to be run pinned to one CPU:
// taskset -c 0 build/bench/client_bench --benchmark_filter=EmptyMessage
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tamsa/client.h"
#include "tools/commands/record.h"

extern char **environ;

namespace {

// A `tamsa serve` process for the benchmarks of this program, in a runtime directory of its own.
class server_process {
   public:
    // The port "bench" without limits (the clearing clients of the probe benchmark hold
    // 800 MiB together), or another port with the options given.
    server_process()
        : server_process("bench", {"--client-limit", "none", "--total-limit", "none"}) {}
    server_process(const char *port, const std::vector<const char *> &options) {
        static int made = 0;
        char dir[] = "/tmp/tamsa-bench-XXXXXX";
        if (made++ == 0 && mkdtemp(dir) != nullptr) {
            dir_ = dir;
            setenv("XDG_RUNTIME_DIR", dir, 1);
        }
        std::vector<char *> argv{const_cast<char *>(TAMSA_COMMAND), const_cast<char *>("serve"),
                                 const_cast<char *>("--port"), const_cast<char *>(port)};
        for (const char *o : options) argv.push_back(const_cast<char *>(o));
        argv.push_back(nullptr);
        // The server says where it serves once its socket is up: that line is the go-ahead.
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char line[256] = {};
        FILE *said = fdopen(out[0], "r");
        if (pid_ > 0 && said != nullptr && std::fgets(line, sizeof line, said) != nullptr) {
            client_ = tamsa_client_connect(port);
        }
        if (said != nullptr) std::fclose(said);
    }
    ~server_process() {
        tamsa_client_close(client_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    tamsa_client *client() const { return client_; }

   private:
    pid_t pid_ = -1;
    std::string dir_;
    tamsa_client *client_ = nullptr;
};

server_process &shared_server() {
    static server_process server;
    return server;
}

void BM_RoundTripAcrossProcesses(benchmark::State &state) {
    tamsa_client *c = shared_server().client();
    if (c == nullptr) {
        state.SkipWithError("no server process");
        return;
    }
    const uint32_t block = tamsa_client_alloc(c, 32, TAMSA_MEMF_CLEAR);
    for (auto _ : state) {
        if (tamsa_client_send(c, 11, block, -1) != TAMSA_REPLIED) {
            state.SkipWithError("not served");
            break;
        }
    }
    tamsa_client_free(c, block);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripAcrossProcesses)->UseRealTime();

void BM_RoundTripInProcess(benchmark::State &state) {
    tamsa_server *server = tamsa_server_start("bench-local");
    tamsa_client *c = tamsa_client_local("bench-local");
    const uint32_t block = tamsa_client_alloc(c, 32, TAMSA_MEMF_CLEAR);
    for (auto _ : state) tamsa_client_send(c, 11, block, -1);
    tamsa_client_free(c, block);
    tamsa_client_close(c);
    tamsa_server_stop(server);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripInProcess)->UseRealTime();

// A probe (connect, allocate 4 KiB, free, close) while four other clients allocate and free
// 200 MiB cleared blocks in a loop: how long one client waits for the gateway while others
// keep it busy. Counters: the probe's median and worst in milliseconds.
void BM_ProbeWhileOthersClear(benchmark::State &state) {
    if (shared_server().client() == nullptr) {
        state.SkipWithError("no server process");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<int> clearing{0};
    std::vector<std::thread> loaders;
    for (int i = 0; i < 4; ++i) {
        loaders.emplace_back([&stop, &clearing] {
            tamsa_client *c = tamsa_client_connect("bench");
            bool counted = false;
            while (c != nullptr && !stop) {
                const uint32_t block = tamsa_client_alloc(c, 200u << 20, TAMSA_MEMF_CLEAR);
                if (!counted && block != 0) {
                    ++clearing;
                    counted = true;
                }
                tamsa_client_free(c, block);
            }
            tamsa_client_close(c);
        });
    }
    while (clearing != 4) std::this_thread::yield();
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        tamsa_client *probe = tamsa_client_connect("bench");
        const uint32_t block = tamsa_client_alloc(probe, 4096, TAMSA_MEMF_ANY);
        tamsa_client_free(probe, block);
        tamsa_client_close(probe);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (block == 0) {
            state.SkipWithError("the probe got no block");
            break;
        }
    }
    stop = true;
    for (std::thread &t : loaders) t.join();
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["worst_ms"] = ms.back();
}
BENCHMARK(BM_ProbeWhileOthersClear)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);

// A child process of the benchmark that connects to port and runs body(client) until killed,
// writing one byte to ready once it is at work. Its pid, or -1.
template <class Body>
pid_t client_process(const char *port, int ready, Body body) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    tamsa_client *c = tamsa_client_connect(port);
    if (c == nullptr) _exit(1);
    body(c, ready);
    _exit(0);
}

void end_processes(std::vector<pid_t> &pids) {
    for (pid_t p : pids) {
        if (p > 0) kill(p, SIGKILL);
    }
    for (pid_t p : pids) {
        if (p > 0) waitpid(p, nullptr, 0);
    }
    pids.clear();
}

// A 64 x 48 conversion (id 10) from the benchmark's own process, while three other processes
// keep asking for 9000 x 9000 conversions of a 640 x 480 frame: how long the small one waits.
// Counters: its median and worst round trip in milliseconds.
void BM_BystanderBesideBigConversions(benchmark::State &state) {
    static server_process server("bench-big", {"--client-limit", "512M", "--total-limit", "none"});
    tamsa_client *c = server.client();
    if (c == nullptr) {
        state.SkipWithError("no server process");
        return;
    }
    int ready[2];
    if (pipe(ready) != 0) return;
    std::vector<pid_t> big;
    for (int i = 0; i < 3; ++i) {
        big.push_back(client_process("bench-big", ready[1], [](tamsa_client *b, int told) {
            const uint32_t planes = tamsa_client_alloc(b, 640 * 480 * 3 / 2, TAMSA_MEMF_CLEAR);
            const uint32_t args[7] = {
                planes, planes + 640 * 480, planes + 640 * 480 * 5 / 4, 640, 480, 9000, 9000};
            for (bool first = true;; first = false) {
                uint32_t record = 0;
                tamsa_client_call(b, TAMSA_OP_YUVSCALE, args, 7, -1, &record);
                tamsa_client_free_bitmap(b, record);
                if (first) (void)!write(told, "x", 1);
            }
        }));
    }
    close(ready[1]);
    char byte;
    for (int i = 0; i < 3; ++i) (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    const uint32_t planes = tamsa_client_alloc(c, 64 * 48 * 3 / 2, TAMSA_MEMF_CLEAR);
    const uint32_t args[7] = {planes, planes + 64 * 48, planes + 64 * 48 * 5 / 4, 64, 48, 64, 48};
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        uint32_t record = 0;
        const int32_t status = tamsa_client_call(c, TAMSA_OP_YUVSCALE, args, 7, -1, &record);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        tamsa_client_free_bitmap(c, record);
        if (status != TAMSA_REPLIED || record == 0) {
            state.SkipWithError("the bystander was not served");
            break;
        }
    }
    end_processes(big);
    tamsa_client_free(c, planes);
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["worst_ms"] = ms.back();
}
BENCHMARK(BM_BystanderBesideBigConversions)
    ->Iterations(200)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Twelve processes connected and idle, at the default limits (ten slots): a thirteenth
// connects and allocates. Time: from its connect to its first block.
void BM_NewcomerBesideIdleProcesses(benchmark::State &state) {
    static server_process server("bench-idle", {});
    if (server.client() == nullptr) {
        state.SkipWithError("no server process");
        return;
    }
    int ready[2];
    if (pipe(ready) != 0) return;
    std::vector<pid_t> idle;
    for (int i = 0; i < 12; ++i) {
        idle.push_back(client_process("bench-idle", ready[1], [](tamsa_client *, int told) {
            (void)!write(told, "x", 1);
            for (;;) pause();
        }));
    }
    close(ready[1]);
    char byte;
    for (int i = 0; i < 12; ++i) (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    std::vector<double> ms;
    for (auto _ : state) {
        // A process of its own each time, so that it is a newcomer.
        const auto start = std::chrono::steady_clock::now();
        const pid_t p = fork();
        if (p == 0) {
            tamsa_client *c = tamsa_client_connect("bench-idle");
            const uint32_t block = c != nullptr ? tamsa_client_alloc(c, 4096, TAMSA_MEMF_ANY) : 0;
            _exit(block != 0 ? 0 : 1);
        }
        int status = 1;
        waitpid(p, &status, 0);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the newcomer got no block");
            break;
        }
    }
    end_processes(idle);
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["worst_ms"] = ms.back();
}
BENCHMARK(BM_NewcomerBesideIdleProcesses)
    ->Iterations(20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A message that runs nothing (id 11) to the server process, against a ping-pong of the same
// frame sizes (24 bytes out, 16 back) over a Unix socket to a child process that echoes, in
// alternating rounds. Run the program under `taskset -c 0` to pin both sides to one CPU.
// Counters: each one's median round trip over the rounds in microseconds, and their ratio.
void BM_EmptyMessageBesideSocketPingPong(benchmark::State &state) {
    tamsa_client *c = shared_server().client();
    if (c == nullptr) {
        state.SkipWithError("no server process");
        return;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    const pid_t echo = fork();
    if (echo == 0) {
        close(pair[0]);
        char in[24], out[16] = {};
        while (read(pair[1], in, sizeof in) == ssize_t(sizeof in)) {
            if (write(pair[1], out, sizeof out) != ssize_t(sizeof out)) break;
        }
        _exit(0);
    }
    close(pair[1]);
    const uint32_t block = tamsa_client_alloc(c, 32, TAMSA_MEMF_CLEAR);
    constexpr int kRound = 2000;
    std::vector<double> message_us, socket_us;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRound; ++i) tamsa_client_send(c, TAMSA_OP_COUNT, block, -1);
        message_us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count() /
            kRound);
        start = std::chrono::steady_clock::now();
        char out[24] = {}, in[16];
        for (int i = 0; i < kRound; ++i) {
            if (write(pair[0], out, sizeof out) != ssize_t(sizeof out) ||
                read(pair[0], in, sizeof in) != ssize_t(sizeof in))
                break;
        }
        socket_us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count() /
            kRound);
    }
    close(pair[0]);
    waitpid(echo, nullptr, 0);
    tamsa_client_free(c, block);
    std::sort(message_us.begin(), message_us.end());
    std::sort(socket_us.begin(), socket_us.end());
    const double message = message_us[message_us.size() / 2];
    const double socket = socket_us[socket_us.size() / 2];
    state.counters["message_us"] = message;
    state.counters["socket_us"] = socket;
    state.counters["ratio"] = message / socket;
}
BENCHMARK(BM_EmptyMessageBesideSocketPingPong)->Iterations(15)->UseRealTime();

// `tamsa record --scale WxH` of the built-in 640x480 clip, no files written: frames per second
// over the command's own timed loop (the clip's frames made, copied into the bus, converted and
// resized by id 10), as the command reports it. Arguments: result width and height, and 1 to
// reach the server in another process.
void BM_Record(benchmark::State &state) {
    constexpr uint32_t kFrames = 200;
    tamsa::tools::record_options o;
    o.frames = kFrames;
    o.out_dir = "";
    o.progress = false;
    o.scale = {int32_t(state.range(0)), int32_t(state.range(1))};
    if (state.range(2) != 0) {
        if (shared_server().client() == nullptr) {
            state.SkipWithError("no server process");
            return;
        }
        o.connect = "bench";
    }
    double median_ms = 0;
    for (auto _ : state) {
        const tamsa::tools::record_report r = tamsa::tools::run_record(o);
        median_ms = r.median_round_trip_ms;
        state.SetIterationTime(r.seconds);
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
    state.counters["round_trip_ms"] = median_ms;
}
BENCHMARK(BM_Record)
    ->ArgNames({"w", "h", "process"})
    ->Args({320, 240, 0})
    ->Args({1280, 960, 0})
    ->Args({320, 240, 1})
    ->Args({1280, 960, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// The same messages without the clip: a prepared 640x480 frame copied into the bus, id 10 sent,
// the previous result freed, frame after frame; what the library and the port allow the
// pipeline. Arguments as for BM_Record.
void BM_RecordMessages(benchmark::State &state) {
    const bool other_process = state.range(2) != 0;
    tamsa_server *server = other_process ? nullptr : tamsa_server_start("bench-messages");
    tamsa_client *c =
        other_process ? shared_server().client() : tamsa_client_local("bench-messages");
    if (c == nullptr) {
        state.SkipWithError("no server");
        tamsa_server_stop(server);
        return;
    }
    constexpr uint32_t kWidth = 640, kHeight = 480, kPixels = kWidth * kHeight;
    std::vector<uint8_t> frame(kPixels + kPixels / 2);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 2654435761u >> 13);
    const uint32_t planes = tamsa_client_alloc(c, kPixels + kPixels / 2, TAMSA_MEMF_ANY);
    const uint32_t block = tamsa_client_alloc(c, 32, TAMSA_MEMF_CLEAR);
    const uint32_t y = planes, u = planes + kPixels, v = u + kPixels / 4;
    const uint32_t args[7] = {
        y, v, u, kWidth, kHeight, uint32_t(state.range(0)), uint32_t(state.range(1))};
    for (uint32_t k = 0; k < 7; ++k) tamsa_client_store32(c, block + 4 * (k + 1), args[k]);
    uint32_t result = 0;
    for (auto _ : state) {
        std::memcpy(tamsa_client_pointer(c, planes, uint32_t(frame.size())), frame.data(),
                    frame.size());
        if (result != 0) tamsa_client_free_bitmap(c, result);
        if (tamsa_client_send_result(c, 10, block, -1, &result) != TAMSA_REPLIED) {
            state.SkipWithError("not served");
            break;
        }
    }
    if (result != 0) tamsa_client_free_bitmap(c, result);
    tamsa_client_free(c, block);
    tamsa_client_free(c, planes);
    if (!other_process) tamsa_client_close(c);
    tamsa_server_stop(server);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordMessages)
    ->ArgNames({"w", "h", "process"})
    ->Args({320, 240, 0})
    ->Args({320, 240, 1})
    ->UseRealTime();

}  // namespace
