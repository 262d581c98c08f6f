// tamsa serve: the server as a process of its own, reached by clients through its socket.
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <condition_variable>
#include <thread>

#include "platform/ppc.h"
#include "tamsa/client.h"
#include "server/gateway.h"
#include "server/server.h"
#include "tools/cli.h"
#include "tools/commands.h"

namespace tamsa::tools {

namespace {

// Sends a stop ahead of every queued message, so that a signal ends the server after the
// message in hand; the queued ones go back to their senders unserved.
void stop_now(const char *port_name) {
    tamsa_port_ref *port = tamsa_port_find(port_name);
    if (port == nullptr) return;
    void *block = PPCAllocVec(4, TAMSA_MEMF_CLEAR);
    tamsa_port_send_first(port, 0, tamsa_bus_address(block), -1);
    PPCFreeVec(block);
    tamsa_port_release(port);
}

}  // namespace

int serve_command(cli::args &args) {
    std::string port_name = TAMSA_PORT_NAME;
    while (!args.empty()) {
        const std::string option = args.next("an option");
        if (option == "--port") {
            port_name = args.value(option);
        } else {
            throw cli::usage_error{"unknown option for serve: " + option};
        }
    }

    // Signals are taken from a descriptor; every thread made from here on has them blocked.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC);
    const int ended = eventfd(0, EFD_CLOEXEC);

    std::string error;
    server::gateway *gateway = server::gateway_open(port_name.c_str(), error);
    if (gateway == nullptr) {
        std::fprintf(stderr, "tamsa serve: %s\n", error.c_str());
        return 1;
    }

    std::mutex lock;
    std::condition_variable changed;
    int state = 0;
    int32_t status = 0;
    std::thread task([&] {
        status = server::task_main(port_name.c_str(), stderr, [&](bool up) {
            std::lock_guard<std::mutex> guard(lock);
            state = up ? 1 : -1;
            changed.notify_all();
        });
        const uint64_t one = 1;
        (void)!write(ended, &one, sizeof one);
    });
    {
        std::unique_lock<std::mutex> wait(lock);
        changed.wait(wait, [&] { return state != 0; });
    }
    if (state < 0) {
        task.join();
        server::gateway_close(gateway);
        std::fprintf(stderr, "tamsa serve: the server could not start\n");
        return 1;
    }

    std::thread accept([gateway] { server::gateway_run(gateway); });
    std::printf("tamsa serve: port \"%s\" at %s\n", port_name.c_str(),
                server::gateway_path(gateway).c_str());
    std::fflush(stdout);

    for (bool running = true; running;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {ended, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            (void)!read(signals, &info, sizeof info);
            stop_now(port_name.c_str());
        }
        if ((fds[1].revents & POLLIN) != 0) running = false;
    }
    task.join();
    server::gateway_stop(gateway);
    accept.join();
    const uint64_t messages = server::gateway_messages(gateway);
    const uint64_t clients = server::gateway_clients(gateway);
    server::gateway_close(gateway);
    uint64_t blocks = 0;
    tamsa_alloc_stats(&blocks, nullptr);
    std::printf("tamsa serve: stopped after %llu messages from %llu clients; %llu blocks left in the bus (held by clients still connected)\n",
                static_cast<unsigned long long>(messages), static_cast<unsigned long long>(clients),
                static_cast<unsigned long long>(blocks));
    close(signals);
    close(ended);
    return status == 0 ? 0 : 1;
}

}  // namespace tamsa::tools
