// The byte runs over whole frames, timed against a memcpy of the output (the counter
// x_memcpy): RGB to colour-cube indexes or pens, bytes through a table, xor, repeating and
// thinning.
#include <benchmark/benchmark.h>

#include "bus_block.h"
#include "memcpy_ratio.h"
#include "tamsa/internal/testing.h"

namespace {

void frame_sizes(benchmark::internal::Benchmark *b) {
    b->Args({640, 480, 0})->Args({640, 480, 1})->Args({1920, 1080, 0});
    b->Args({641, 479, 0})->Args({1917, 1079, 0});
    b->Args({3840, 2160, 0})->Args({7680, 4320, 0});
    b->ArgNames({"w", "h", "plain"})->UseManualTime();
}

size_t pixels_of(const benchmark::State &state) {
    tamsa::use_plain_kernels(state.range(2) != 0);
    return size_t(state.range(0) * state.range(1));
}

// Id 4: one byte out per 3-byte pixel, without and with pens.
template <bool Pens>
void BM_Remap24(benchmark::State &state) {
    const size_t pixels = pixels_of(state);
    Block rgb(pixels * 3), out(pixels), pens(216);
    tamsa_bench::against_memcpy(state, pixels, [&] {
        kv_remap24(rgb.data, out.data, Pens ? pens.data : nullptr, uint32_t(pixels * 3));
    });
    tamsa::use_plain_kernels(false);
}
BENCHMARK(BM_Remap24<false>)->Name("BM_Remap24")->Apply(frame_sizes);
BENCHMARK(BM_Remap24<true>)->Name("BM_Remap24Pens")->Apply(frame_sizes);

// Id 6: every byte of a 3-byte frame through a table, in place.
void BM_Remap8(benchmark::State &state) {
    const size_t bytes = 3 * pixels_of(state);
    Block buffer(bytes), table(256);
    tamsa_bench::against_memcpy(state, bytes,
                                [&] { kv_remap8(buffer.data, table.data, uint32_t(bytes)); });
    tamsa::use_plain_kernels(false);
}
BENCHMARK(BM_Remap8)->Apply(frame_sizes);

void BM_Xor(benchmark::State &state) {
    const size_t bytes = 3 * pixels_of(state);
    Block buffer(bytes);
    tamsa_bench::against_memcpy(state, bytes, [&] { kv_xor(buffer.data, uint32_t(bytes), 0x5a); });
    tamsa::use_plain_kernels(false);
}
BENCHMARK(BM_Xor)->Apply(frame_sizes);

// A frame's bytes each written twice, and every second byte of a frame.
void BM_Multchunky(benchmark::State &state) {
    const size_t bytes = pixels_of(state);
    Block source(bytes), out(2 * bytes);
    tamsa_bench::against_memcpy(state, 2 * bytes,
                                [&] { kv_multchunky(source.data, out.data, uint32_t(bytes), 2); });
    tamsa::use_plain_kernels(false);
}
BENCHMARK(BM_Multchunky)->Apply(frame_sizes);

void BM_Divchunky(benchmark::State &state) {
    const size_t bytes = 2 * pixels_of(state);
    Block source(bytes), out(bytes / 2);
    tamsa_bench::against_memcpy(state, bytes / 2,
                                [&] { kv_divchunky(source.data, out.data, uint32_t(bytes), 2); });
    tamsa::use_plain_kernels(false);
}
BENCHMARK(BM_Divchunky)->Apply(frame_sizes);

}  // namespace
