// One message's round trip between two threads: send, serve an unknown id, reply.
#include <benchmark/benchmark.h>

#include <thread>

#include "platform/ppc.h"
#include "server/server.h"
#include "tamsa/client.h"

namespace {

void BM_RoundTripUnknownId(benchmark::State &state) {
    const char *name = "bench-roundtrip";
    std::thread server([name] { tamsa::server::serve(name); });
    tamsa_port_ref *ref = nullptr;
    while ((ref = tamsa_port_find(name)) == nullptr) std::this_thread::yield();
    void *block = PPCAllocVec(32, TAMSA_MEMF_CLEAR);
    const uint32_t address = tamsa_bus_address(block);

    for (auto _ : state) {
        if (tamsa_port_send(ref, TAMSA_OP_COUNT, address, -1) != TAMSA_SEND_REPLIED) {
            state.SkipWithError("message not served");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());

    tamsa_port_send(ref, TAMSA_OP_QUIT, address, -1);
    server.join();
    tamsa_port_release(ref);
    PPCFreeVec(block);
}
BENCHMARK(BM_RoundTripUnknownId)->UseRealTime();

}  // namespace
