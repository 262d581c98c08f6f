// The built-in exercise of the server: start it, send it a few messages, stop it.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/ppc.h"
#include "server/server.h"
#include "tools/commands.h"

namespace {

int32_t send(tamsa_port_ref *port, int32_t id, uint32_t block) {
    return tamsa_port_send(port, id, block, 5000);
}

const char *status_name(int32_t status) {
    switch (status) {
        case TAMSA_SEND_REPLIED:
            return "replied";
        case TAMSA_SEND_NOT_SERVED:
            return "not served";
        default:
            return "timed out";
    }
}

}  // namespace

namespace tamsa::tools {

int demo_command(cli::args &) {
    int32_t task_status = 0;
    std::thread task([&] { task_status = tamsa::server::task_main(nullptr, stderr); });
    tamsa_port_ref *port = nullptr;
    for (int i = 0; i < 5000 && (port = tamsa_port_find(tamsa::server::kPortName)) == nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (port == nullptr) {
        task.join();
        std::fprintf(stderr, "tamsa: the server did not start\n");
        return 1;
    }
    std::printf("server up on port \"%s\"; bus of %llu MiB\n", tamsa::server::kPortName,
                static_cast<unsigned long long>(tamsa_bus_size() >> 20));

    void *block = PPCAllocVec(32, TAMSA_MEMF_CLEAR);
    const uint32_t address = tamsa_bus_address(block);
    for (int32_t id : {11, -1}) {
        tamsa_bus_store32(address, 0xffffffffu);
        const int32_t status = send(port, id, address);
        std::printf("message id %d: %s, word 0 = %u\n", id, status_name(status),
                    tamsa_bus_load32(address));
    }
    const int32_t status = send(port, 0, address);
    std::printf("message id 0 (stop): %s, word 0 = %u\n", status_name(status),
                tamsa_bus_load32(address));
    task.join();
    PPCFreeVec(block);
    tamsa_port_release(port);
    std::printf("server ended with status %d\n", task_status);
    return task_status;
}

}  // namespace tamsa::tools
