// The serve process: the server task on one thread (it opens the graphics library and serves the
// port within this process), the gateway's loop on another with a thread per client process,
// and this thread waiting for a signal, an allowed stop message or the task's end.
#include "remote/serve.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "remote/gateway.h"
#include "server/server.h"

namespace tamsa::remote {

namespace {

// Descriptors the process needs besides one per client.
constexpr uint64_t kOwnDescriptors = 32;
constexpr uint64_t kClientsWanted = 1024;

}  // namespace

int serve_process(const char *port_name, const gateway_options &options, FILE *out, FILE *err) {
    // Signals are taken from a descriptor; every thread made from here on has them blocked.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC);
    const int ended = eventfd(0, EFD_CLOEXEC);

    const uint64_t files = raise_open_file_limit();
    if (files < kClientsWanted + kOwnDescriptors) {
        std::fprintf(
            err,
            "tamsa serve: the open-file limit is %llu, so at most about %llu clients can "
            "be connected at once (raise the hard limit, e.g. ulimit -Hn)\n",
            static_cast<unsigned long long>(files),
            static_cast<unsigned long long>(files > kOwnDescriptors ? files - kOwnDescriptors : 0));
    }
    std::string error;
    gateway_options with_stop = options;
    with_stop.stop_asked = [ended] {
        const uint64_t one = 1;
        (void)!write(ended, &one, sizeof one);
    };
    gateway *g = gateway_open(port_name, with_stop, error);
    if (g == nullptr) {
        std::fprintf(err, "tamsa serve: %s\n", error.c_str());
        close(signals);
        close(ended);
        return 1;
    }

    server::task_thread task;
    const auto report = [err](const char *line) { std::fprintf(err, "%s\n", line); };
    const bool up = server::start_task(task, port_name, report, [ended] {
        const uint64_t one = 1;
        (void)!write(ended, &one, sizeof one);
    });
    if (!up) {
        gateway_close(g);
        std::fprintf(err, "tamsa serve: the server could not start\n");
        close(signals);
        close(ended);
        return 1;
    }

    std::thread loop([g] { gateway_run(g); });
    std::fprintf(out, "tamsa serve: port \"%s\" at %s\n", port_name, gateway_path(g).c_str());
    std::fflush(out);

    for (bool running = true; running;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {ended, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            (void)!read(signals, &info, sizeof info);
            running = false;
        }
        if ((fds[1].revents & POLLIN) != 0) running = false;
    }
    // Each client process's message in hand is answered, those after it go back unserved; then
    // the task, which the clients' threads needed, stops.
    gateway_stop(g);
    loop.join();
    server::send_stop(port_name, true);
    task.thread.join();
    const uint64_t messages = gateway_messages(g);
    const uint64_t clients = gateway_clients(g);
    gateway_close(g);
    uint64_t blocks = 0;
    tamsa_alloc_stats(&blocks, nullptr);
    // "1 message", "2 messages".
    const auto count = [](uint64_t n, const char *one, const char *many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::fprintf(out, "tamsa serve: stopped after %s from %s; %s left in the bus (held by %s)\n",
                 count(messages, "message", "messages").c_str(),
                 count(clients, "client", "clients").c_str(),
                 count(blocks, "block", "blocks").c_str(),
                 blocks == 0 ? "no client" : "clients still connected");
    close(signals);
    close(ended);
    return task.status == 0 ? 0 : 1;
}

}  // namespace tamsa::remote
