// Nearest-neighbour scaling to a frame size, from twice and from half that size, beside a
// memcpy of the output's size.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bus_block.h"
#include "tamsa/internal/testing.h"

namespace {

// Arguments: result width, result height, source from twice the size (0, shrink) or from half
// of it (1, enlarge), plain kernel (0/1).
template <int Depth>
void BM_Scale(benchmark::State &state) {
    const auto dw = uint32_t(state.range(0)), dh = uint32_t(state.range(1));
    const bool enlarge = state.range(2) != 0;
    const uint32_t sw = enlarge ? dw / 2 : dw * 2, sh = enlarge ? dh / 2 : dh * 2;
    Block source(size_t(sw) * sh * Depth), out(size_t(dw) * dh * Depth);
    tamsa::use_plain_kernels(state.range(3) != 0);
    for (auto _ : state) {
        (Depth == 3 ? kv_scale24 : kv_scale8)(source.data, out.data, sw, sh, dw, dh);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    tamsa::use_plain_kernels(false);
    state.SetItemsProcessed(int64_t(state.iterations()) * dw * dh);
}
BENCHMARK(BM_Scale<1>)
    ->Name("BM_Scale8")
    ->ArgNames({"w", "h", "enlarge", "plain"})
    ->ArgsProduct({{640}, {480}, {0, 1}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}, {0, 1}});
BENCHMARK(BM_Scale<3>)
    ->Name("BM_Scale24")
    ->ArgNames({"w", "h", "enlarge", "plain"})
    ->ArgsProduct({{640}, {480}, {0, 1}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}, {0, 1}});

// Arguments: width, height, bytes per pixel.
void BM_ScaleOutputMemcpy(benchmark::State &state) {
    const auto pixels = size_t(state.range(0) * state.range(1));
    const size_t bytes = pixels * size_t(state.range(2));
    Block from(bytes), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data, from.data, bytes);
        benchmark::DoNotOptimize(to.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * pixels));
}
BENCHMARK(BM_ScaleOutputMemcpy)
    ->ArgNames({"w", "h", "depth"})
    ->ArgsProduct({{640}, {480}, {1, 3}})
    ->ArgsProduct({{1920}, {1080}, {1, 3}});

}  // namespace
