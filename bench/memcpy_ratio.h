// Times an operation against a memcpy of the bytes it writes, in the same moments: every
// benchmark iteration times a batch of copies, then a batch of the operation, so that a slow
// spell of the machine hits both. The counter x_memcpy is the median batch time of the one over
// the median of the other; the machine's speed drifts between runs, but within one the ratio
// holds. Register with UseManualTime(): the reported time is the operation's, per call.
#ifndef TAMSA_BENCH_MEMCPY_RATIO_H
#define TAMSA_BENCH_MEMCPY_RATIO_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tamsa/tamsa.h"

namespace tamsa_bench {

// setup() runs untimed before every call of op(), for operations that change their input.
template <class Setup, class Op>
void against_memcpy(benchmark::State &state, uint64_t bytes, Setup setup, Op op) {
    using clock = std::chrono::steady_clock;
    // Zeroed, so every page is there before the first copy; outside the bus, which an 8K
    // rotation needs nearly whole.
    std::vector<uint8_t> from_bytes(bytes), to_bytes(bytes);
    uint8_t *from = from_bytes.data(), *to = to_bytes.data();
    // About 8 MiB moved per batch, so that a batch outlasts the clock's resolution and its noise.
    const int batch =
        int(std::clamp<uint64_t>((uint64_t(8) << 20) / std::max<uint64_t>(bytes, 1), 1, 64));
    std::vector<double> own, copies;
    for (auto _ : state) {
        const auto c0 = clock::now();
        for (int k = 0; k < batch; ++k) {
            std::memcpy(to, from, bytes);
            benchmark::ClobberMemory();
        }
        copies.push_back(std::chrono::duration<double>(clock::now() - c0).count());
        double seconds = 0;
        for (int k = 0; k < batch; ++k) {
            setup();
            const auto t0 = clock::now();
            op();
            benchmark::ClobberMemory();
            seconds += std::chrono::duration<double>(clock::now() - t0).count();
        }
        own.push_back(seconds);
        state.SetIterationTime(seconds / batch);
    }
    const auto median = [](std::vector<double> &v) {
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    if (!own.empty()) state.counters["x_memcpy"] = median(own) / median(copies);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

template <class Op>
void against_memcpy(benchmark::State &state, uint64_t bytes, Op op) {
    against_memcpy(
        state, bytes, [] {}, op);
}

}  // namespace tamsa_bench

#endif
