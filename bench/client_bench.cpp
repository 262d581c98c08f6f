// The port across processes, and the recorder's pipeline in frames per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tamsa/client.h"
#include "tools/record.h"

extern char **environ;

namespace {

// A `tamsa serve` process for the benchmarks of this program, in a runtime directory of its own.
class server_process {
   public:
    server_process() {
        char dir[] = "/tmp/tamsa-bench-XXXXXX";
        if (mkdtemp(dir) != nullptr) {
            dir_ = dir;
            setenv("XDG_RUNTIME_DIR", dir, 1);
        }
        char *argv[] = {const_cast<char *>(TAMSA_COMMAND), const_cast<char *>("serve"),
                        const_cast<char *>("--port"), const_cast<char *>("bench"), nullptr};
        // The server says where it serves once its socket is up: that line is the go-ahead.
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char line[256] = {};
        FILE *said = fdopen(out[0], "r");
        if (pid_ > 0 && said != nullptr && std::fgets(line, sizeof line, said) != nullptr) {
            client_ = tamsa_client_connect("bench");
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

// The built-in 640x480 clip converted and resized by id 10; frames are not written to files.
void BM_Record(benchmark::State &state) {
    constexpr uint32_t kFrames = 25;
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
    for (auto _ : state) median_ms = tamsa::tools::run_record(o).median_round_trip_ms;
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
    ->UseRealTime();

}  // namespace
