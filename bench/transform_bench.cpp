// Geometric transforms, dithering and PPM files on one 1920 x 1080 frame of 3-byte pixels.
// Where an operation has a plain kernel beside its fast one, /plain:1 measures the plain one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tamsa/internal/testing.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int64_t kPixels = int64_t(kWidth) * kHeight;

// A frame with smooth gradients and some noise, so that every threshold and weight is used.
kv_bitmap *frame() {
    kv_bitmap *b = kv_allocrawbitmap(kWidth, kHeight, 3);
    uint32_t noise = 12345;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            noise = noise * 1103515245u + 12345u;
            uint8_t *p = b->data + (int64_t(y) * kWidth + x) * 3;
            p[0] = uint8_t(x * 255 / kWidth);
            p[1] = uint8_t(y * 255 / kHeight);
            p[2] = uint8_t(noise >> 24);
        }
    }
    return b;
}

void finish(benchmark::State &state) {
    state.SetItemsProcessed(state.iterations() * kPixels);
    tamsa::use_plain_kernels(false);
}

void BM_Rotate30(benchmark::State &state) {
    kv_bitmap *source = frame();
    for (auto _ : state) {
        // The rotation borders its source in place: each round starts from a fresh copy.
        state.PauseTiming();
        kv_bitmap *b = kv_clonebitmap(source);
        state.ResumeTiming();
        kv_bitmap *r = kv_rotatebitmap(b, 0, 0, 0, 30.f);
        benchmark::DoNotOptimize(r);
        state.PauseTiming();
        kv_freebitmap(r);
        kv_freebitmap(b);
        state.ResumeTiming();
    }
    finish(state);
    kv_freebitmap(source);
}
BENCHMARK(BM_Rotate30)->Unit(benchmark::kMillisecond);

void BM_Transpose(benchmark::State &state) {
    tamsa::use_plain_kernels(state.range(0) != 0);
    kv_bitmap *b = frame();
    for (auto _ : state) benchmark::DoNotOptimize(kv_transposebitmap(b));
    finish(state);
    kv_freebitmap(b);
}
BENCHMARK(BM_Transpose)->ArgName("plain")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Smooth4(benchmark::State &state) {
    tamsa::use_plain_kernels(state.range(0) != 0);
    kv_bitmap *b = frame();
    for (auto _ : state) benchmark::DoNotOptimize(kv_smoothbitmap(b, 4));
    finish(state);
    kv_freebitmap(b);
}
BENCHMARK(BM_Smooth4)->ArgName("plain")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DitherBayer4(benchmark::State &state) {
    tamsa::use_plain_kernels(state.range(0) != 0);
    kv_bitmap *b = frame();
    for (auto _ : state) {
        kv_bitmap *r = kv_dither(b, 4);
        benchmark::DoNotOptimize(r);
        kv_freebitmap(r);
    }
    finish(state);
    kv_freebitmap(b);
}
BENCHMARK(BM_DitherBayer4)->ArgName("plain")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_PpmSaveLoad(benchmark::State &state) {
    kv_bitmap *b = frame();
    std::string name = "/tmp/tamsa-bench-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd >= 0) close(fd);
    for (auto _ : state) {
        if (kv_savebitmapasppm(b, name.c_str()) != 1) {
            state.SkipWithError("save failed");
            break;
        }
        kv_bitmap *back = kv_loadppmasbitmap(name.c_str());
        if (back == nullptr) {
            state.SkipWithError("load failed");
            break;
        }
        kv_freebitmap(back);
    }
    finish(state);
    unlink(name.c_str());
    kv_freebitmap(b);
}
BENCHMARK(BM_PpmSaveLoad)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
