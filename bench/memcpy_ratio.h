// Times an operation against a memcpy of the bytes it writes, the two taking turns in every
// iteration so that a slow spell of the machine hits both. Each is timed on its second call in a
// row, so that both work from caches they have just filled, as when either runs many times
// over. The benchmark's time is the operation's; the counter x_memcpy is its total time over
// the copies' total time.
#ifndef TAMSA_BENCH_MEMCPY_RATIO_H
#define TAMSA_BENCH_MEMCPY_RATIO_H

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "tamsa/tamsa.h"

namespace tamsa_bench {

// setup() runs untimed before every call of op(); register the benchmark with UseManualTime().
template <class Setup, class Op>
void against_memcpy(benchmark::State &state, uint64_t bytes, Setup setup, Op op) {
    using clock = std::chrono::steady_clock;
    auto *from = static_cast<uint8_t *>(PPCAllocVec(uint32_t(bytes), TAMSA_MEMF_CLEAR));
    auto *to = static_cast<uint8_t *>(PPCAllocVec(uint32_t(bytes), TAMSA_MEMF_CLEAR));
    double op_seconds = 0, copy_seconds = 0;
    for (auto _ : state) {
        std::memcpy(to, from, bytes);
        benchmark::ClobberMemory();
        const auto c0 = clock::now();
        std::memcpy(to, from, bytes);
        benchmark::ClobberMemory();
        const auto c1 = clock::now();
        setup();
        op();
        setup();
        const auto t0 = clock::now();
        op();
        benchmark::ClobberMemory();
        const auto t1 = clock::now();
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(seconds);
        op_seconds += seconds;
        copy_seconds += std::chrono::duration<double>(c1 - c0).count();
    }
    if (copy_seconds > 0) state.counters["x_memcpy"] = op_seconds / copy_seconds;
    state.SetBytesProcessed(int64_t(state.iterations() * bytes));
    PPCFreeVec(from);
    PPCFreeVec(to);
}

template <class Op>
void against_memcpy(benchmark::State &state, uint64_t bytes, Op op) {
    against_memcpy(
        state, bytes, [] {}, op);
}

}  // namespace tamsa_bench

#endif
