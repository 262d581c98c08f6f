// Geometric transforms, smoothing, dithering and shear on frames of 3-byte pixels, each against a
// memcpy of the bytes it writes. Arguments: width, height, and 1 to run the plain kernels
// instead of the fast ones.
#include <benchmark/benchmark.h>

#include "gfx/gfx.h"
#include "memcpy_ratio.h"
#include "tamsa/internal/testing.h"

namespace {

// A frame with smooth gradients and some noise, so that every threshold and weight is used.
kv_bitmap *frame(int32_t w, int32_t h) {
    kv_bitmap *b = kv_allocrawbitmap(w, h, 3);
    uint32_t noise = 12345;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            noise = noise * 1103515245u + 12345u;
            uint8_t *p = b->data + (int64_t(y) * w + x) * 3;
            p[0] = uint8_t(x * 255 / w);
            p[1] = uint8_t(y * 255 / h);
            p[2] = uint8_t(noise >> 24);
        }
    }
    return b;
}

struct sized {
    int32_t w, h;
    kv_bitmap *b;
    explicit sized(benchmark::State &state)
        : w(int32_t(state.range(0))), h(int32_t(state.range(1))), b(frame(w, h)) {
        tamsa::use_plain_kernels(state.range(2) != 0);
    }
    ~sized() {
        tamsa::use_plain_kernels(false);
        kv_freebitmap(b);
    }
    uint64_t bytes() const { return uint64_t(w) * uint64_t(h) * 3; }
};

// The rotation borders its source in place: each call turns a fresh copy, made untimed. The
// copy's bytes are the rotated result's. The fill is black or grey: the vector kernel skips the
// arithmetic of results wholly in a black border, not of a grey one.
void BM_Rotate30(benchmark::State &state) {
    sized f(state);
    int32_t rw = 0, rh = 0;
    tamsa::CalculateBoundary(&rw, &rh, f.w, f.h, 30.f);
    kv_bitmap *copy = nullptr, *result = nullptr;
    tamsa_bench::against_memcpy(
        state, uint64_t(rw) * uint64_t(rh) * 3,
        [&] {
            kv_freebitmap(result);
            kv_freebitmap(copy);
            result = nullptr;
            copy = kv_clonebitmap(f.b);
        },
        [&] {
            const auto fill = int32_t(state.range(3));
            result = kv_rotatebitmap(copy, fill, fill, fill, 30.f);
        });
    kv_freebitmap(result);
    kv_freebitmap(copy);
}

// In place through a new buffer, turned over and back on alternate calls.
void BM_Transpose(benchmark::State &state) {
    sized f(state);
    tamsa_bench::against_memcpy(state, f.bytes(), [&] { kv_transposebitmap(f.b); });
}

void BM_SmoothOnePass(benchmark::State &state) {
    sized f(state);
    tamsa_bench::against_memcpy(state, f.bytes(), [&] { kv_smoothbitmap(f.b, 1); });
}

// Each call makes a new result; the one before is freed inside the call, as a caller would.
void BM_Dither(benchmark::State &state) {
    sized f(state);
    const auto type = int32_t(state.range(3));
    kv_bitmap *result = nullptr;
    tamsa_bench::against_memcpy(state, f.bytes(), [&] {
        kv_freebitmap(result);
        result = kv_dither(f.b, type);
    });
    kv_freebitmap(result);
}

// Every row shifted, the widest by a tenth of the width; the bytes are the wider result's.
void BM_Shear(benchmark::State &state) {
    sized f(state);
    const int32_t shift = f.w / 10;
    kv_bitmap *copy = nullptr;
    tamsa_bench::against_memcpy(
        state, uint64_t(f.w + shift) * uint64_t(f.h) * 3,
        [&] {
            kv_freebitmap(copy);
            copy = kv_clonebitmap(f.b);
        },
        [&] { kv_shearbitmap(copy, 0, f.h - 1, 0, shift, 10, 20, 30); });
    kv_freebitmap(copy);
}

// 4K and 8K frames, with the fast kernels only.
constexpr std::pair<int32_t, int32_t> kLarge[] = {{3840, 2160}, {7680, 4320}};

void sizes(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] : {std::pair{640, 480}, {641, 479}, {1920, 1080}, {1917, 1079}}) {
        b->Args({w, h, 0});
        b->Args({w, h, 1});
    }
    for (const auto &[w, h] : kLarge) b->Args({w, h, 0});
    b->ArgNames({"w", "h", "plain"})->UseManualTime()->Unit(benchmark::kMicrosecond);
}

// Frame sizes (1364 x 768: a wide screen's; 1001 x 601: odd both ways) and black and grey
// fills; 4K and 8K with a black one.
void rotate_sizes(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] :
         {std::pair{640, 480}, {641, 479}, {1001, 601}, {1364, 768}, {1920, 1080}, {1917, 1079}}) {
        for (int64_t fill : {0, 128}) {
            b->Args({w, h, 0, fill});
            b->Args({w, h, 1, fill});
        }
    }
    for (const auto &[w, h] : kLarge) b->Args({w, h, 0, 0});
    b->ArgNames({"w", "h", "plain", "fill"})->UseManualTime()->Unit(benchmark::kMicrosecond);
}

// Bayer4, and Halftone, whose period of 18 bytes divides no vector.
void dither_sizes(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] : {std::pair{640, 480}, {641, 479}, {1920, 1080}, {1917, 1079}}) {
        for (int64_t type : {4, 3}) {
            b->Args({w, h, 0, type});
            b->Args({w, h, 1, type});
        }
    }
    for (const auto &[w, h] : kLarge) b->Args({w, h, 0, 4});
    b->ArgNames({"w", "h", "plain", "type"})->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Rotate30)->Apply(rotate_sizes);
BENCHMARK(BM_Transpose)->Apply(sizes);
BENCHMARK(BM_SmoothOnePass)->Apply(sizes);
BENCHMARK(BM_Dither)->Apply(dither_sizes);
BENCHMARK(BM_Shear)->Apply(sizes);

}  // namespace
