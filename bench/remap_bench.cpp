// Remapping whole frames: RGB to colour-cube pens, and bytes through a table, beside a memcpy
// of the output's size.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bus_block.h"
#include "tamsa/internal/testing.h"

namespace {

void frame_sizes(benchmark::internal::Benchmark *b) {
    b->Args({640, 480})->Args({1920, 1080});
}

// Arguments: width, height, pen table (0/1), plain kernel (0/1).
void BM_Remap24(benchmark::State &state) {
    const auto pixels = size_t(state.range(0) * state.range(1));
    Block rgb(pixels * 3), out(pixels), pens(216);
    const uint8_t *table = state.range(2) != 0 ? pens.data : nullptr;
    tamsa::use_plain_kernels(state.range(3) != 0);
    for (auto _ : state) {
        kv_remap24(rgb.data, out.data, table, uint32_t(pixels * 3));
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    tamsa::use_plain_kernels(false);
    state.SetItemsProcessed(int64_t(state.iterations() * pixels));
}
BENCHMARK(BM_Remap24)
    ->ArgNames({"w", "h", "pens", "plain"})
    ->ArgsProduct({{640}, {480}, {0, 1}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}, {0, 1}});

void BM_Remap8(benchmark::State &state) {
    const auto pixels = size_t(state.range(0) * state.range(1));
    Block buffer(pixels), table(256);
    for (auto _ : state) {
        kv_remap8(buffer.data, table.data, uint32_t(pixels));
        benchmark::DoNotOptimize(buffer.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * pixels));
}
BENCHMARK(BM_Remap8)->ArgNames({"w", "h"})->Apply(frame_sizes);

// The floor: copying the one byte per pixel that both remaps write.
void BM_RemapOutputMemcpy(benchmark::State &state) {
    const auto pixels = size_t(state.range(0) * state.range(1));
    Block from(pixels), to(pixels);
    for (auto _ : state) {
        std::memcpy(to.data, from.data, pixels);
        benchmark::DoNotOptimize(to.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * pixels));
}
BENCHMARK(BM_RemapOutputMemcpy)->ArgNames({"w", "h"})->Apply(frame_sizes);

}  // namespace
