// Times an operation against a memcpy of its output's size, in the same moments: each
// benchmark iteration runs a batch of the operation, then a batch of copies, and the counter
// x_memcpy is the median batch time of the one over the median of the other. The machine's
// speed drifts between runs; within one, the ratio holds. Register with UseManualTime(): the
// reported time is the operation's, per call.
#ifndef TAMSA_BENCH_MEMCPY_RATIO_H
#define TAMSA_BENCH_MEMCPY_RATIO_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "bus_block.h"

template <class Op>
void time_against_memcpy(benchmark::State &state, size_t output_bytes, Op &&op) {
    using clock = std::chrono::steady_clock;
    Block from(output_bytes), to(output_bytes);
    // About 8 MiB moved per batch, so that a batch outlasts the clock's resolution and its noise.
    const int batch =
        int(std::clamp<size_t>((size_t(8) << 20) / std::max<size_t>(output_bytes, 1), 1, 64));
    std::vector<double> own, copies;
    for (auto _ : state) {
        const auto t0 = clock::now();
        for (int k = 0; k < batch; ++k) {
            op();
            benchmark::ClobberMemory();
        }
        const auto t1 = clock::now();
        for (int k = 0; k < batch; ++k) {
            std::memcpy(to.data, from.data, output_bytes);
            benchmark::ClobberMemory();
        }
        const auto t2 = clock::now();
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        own.push_back(seconds);
        copies.push_back(std::chrono::duration<double>(t2 - t1).count());
        state.SetIterationTime(seconds / batch);
    }
    const auto median = [](std::vector<double> &v) {
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    if (!own.empty()) state.counters["x_memcpy"] = median(own) / median(copies);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(output_bytes));
}

#endif
