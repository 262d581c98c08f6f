// The C API's cost per call for the jobs python/bench/overhead.py times through the Python module,
// called the way the module calls it: pictures in plain memory of the caller, read through a
// record on the stack; results made by the library freed after each call. Arguments: width and
// height of the picture (results of the scalers are half of each side, at least 1).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tamsa/tamsa.h"

namespace {

struct picture {
    int32_t w, h;
    std::vector<uint8_t> pixels;
    explicit picture(const benchmark::State &state)
        : w(int32_t(state.range(0))),
          h(int32_t(state.range(1))),
          pixels(size_t(w) * size_t(h) * 3) {
        uint32_t noise = 12345;
        for (uint8_t &p : pixels) {
            noise = noise * 1103515245u + 12345u;
            p = uint8_t(noise >> 24);
        }
    }
    kv_bitmap record() { return {pixels.data(), w, h, 3}; }
    int32_t half_w() const { return std::max(w / 2, 1); }
    int32_t half_h() const { return std::max(h / 2, 1); }
};

void BM_ScaleInto(benchmark::State &state) {
    picture p(state);
    std::vector<uint8_t> out(size_t(p.half_w()) * size_t(p.half_h()) * 3);
    for (auto _ : state) {
        kv_scale24(p.pixels.data(), out.data(), uint32_t(p.w), uint32_t(p.h), uint32_t(p.half_w()),
                   uint32_t(p.half_h()));
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_ScaleCopy(benchmark::State &state) {
    picture p(state);
    for (auto _ : state) {
        kv_bitmap source = p.record();
        kv_bitmap *made = kv_scalecopybitmap(&source, p.half_w(), p.half_h());
        benchmark::DoNotOptimize(made);
        kv_freebitmap(made);
    }
}

// The library frees the buffer it replaces; the caller's plain memory is no block of its own and
// stays as it was.
void BM_Transpose(benchmark::State &state) {
    picture p(state);
    for (auto _ : state) {
        kv_bitmap source = p.record();
        if (kv_transposebitmap(&source) != 1) state.SkipWithError("transpose failed");
        PPCFreeVec(source.data);
    }
}

void BM_Rotate30(benchmark::State &state) {
    picture p(state);
    for (auto _ : state) {
        kv_bitmap source = p.record();
        kv_bitmap *made = kv_rotatebitmap(&source, 0, 0, 0, 30.f);
        benchmark::DoNotOptimize(made);
        kv_freebitmap(made);
        // The bordered copy the rotation left in the record.
        PPCFreeVec(source.data);
    }
}

void BM_Correct(benchmark::State &state) {
    picture p(state);
    for (auto _ : state) {
        kv_bitmap frame = p.record();
        tamsa_correct_ll(&frame, 120, 5, 0);
        benchmark::DoNotOptimize(p.pixels.data());
    }
}

void sizes(benchmark::internal::Benchmark *b) {
    b->Args({1, 1})->Args({640, 480});
}

}  // namespace

BENCHMARK(BM_ScaleInto)->Apply(sizes);
BENCHMARK(BM_ScaleCopy)->Apply(sizes);
BENCHMARK(BM_Transpose)->Apply(sizes);
BENCHMARK(BM_Rotate30)->Apply(sizes);
BENCHMARK(BM_Correct)->Apply(sizes);
