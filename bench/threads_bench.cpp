// Bands on threads: each operation timed with one thread and with several in the same moments
// (every iteration times a batch of each), so that the counter speedup, the median one-thread
// time over the median of the other, holds within a run however the machine drifts. The
// reported time is the several threads' per batch; call_ms is theirs per call.
//
// Two uses. At 4K and 8K, one thread against the default number (the machine's, or
// TAMSA_THREADS). Split small frames against one thread, with two threads and every picture
// split however small: where the speedup passes 1 is the size splitting starts to pay, which
// the library's threshold follows. Arguments: width, height, threads (0: the default), and 1
// to split every picture.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "gfx/gfx.h"
#include "tamsa/internal/testing.h"
#include "tamsa/tamsa.h"

namespace {

// A frame with smooth gradients and some noise.
void fill(uint8_t *p, int64_t w, int64_t h, int32_t depth) {
    uint32_t noise = 12345;
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x, p += depth) {
            noise = noise * 1103515245u + 12345u;
            p[0] = uint8_t(x * 255 / w);
            if (depth == 3) {
                p[1] = uint8_t(y * 255 / h);
                p[2] = uint8_t(noise >> 24);
            }
        }
    }
}

kv_bitmap *frame(int32_t w, int32_t h, int32_t depth = 3) {
    kv_bitmap *b = kv_allocrawbitmap(w, h, depth);
    if (b != nullptr) fill(b->data, w, h, depth);
    return b;
}

// Times op() with one thread and with the benchmark's number, a batch of each per iteration.
// setup() runs untimed before every call.
void one_against_many(benchmark::State &state, const std::function<void()> &setup,
                      const std::function<void()> &op, uint64_t pixels) {
    using clock = std::chrono::steady_clock;
    const auto many = int32_t(state.range(2));
    const bool split_all = state.range(3) != 0;
    tamsa::set_band_threshold(split_all ? 1 : 0);
    const auto time = [&](int32_t threads, int batch) {
        tamsa_set_threads(threads);
        double seconds = 0;
        for (int k = 0; k < batch; ++k) {
            setup();
            const auto t0 = clock::now();
            op();
            benchmark::ClobberMemory();
            seconds += std::chrono::duration<double>(clock::now() - t0).count();
        }
        return seconds;
    };
    // About 4 ms of work per batch, for the clock and the threads' start.
    time(many, 1);
    const double once = std::max(time(1, 1), 1e-7);
    const int batch = int(std::clamp(0.004 / once, 1.0, 256.0));
    std::vector<double> one, several;
    for (auto _ : state) {
        one.push_back(time(1, batch));
        const double s = time(many, batch);
        several.push_back(s);
        state.SetIterationTime(s);
    }
    tamsa_set_threads(0);
    tamsa::set_band_threshold(0);
    const auto median = [](std::vector<double> &v) {
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    if (!several.empty()) {
        state.counters["speedup"] = median(one) / median(several);
        state.counters["call_ms"] = median(several) / batch * 1e3;
    }
    state.counters["threads"] = double(many != 0 ? many : tamsa_threads());
    state.SetItemsProcessed(int64_t(state.iterations()) * batch * int64_t(pixels));
}

struct sized {
    int32_t w, h;
    kv_bitmap *b;
    sized(benchmark::State &state, int32_t depth = 3)
        : w(int32_t(state.range(0))), h(int32_t(state.range(1))), b(frame(w, h, depth)) {}
    ~sized() { kv_freebitmap(b); }
    uint64_t pixels() const { return uint64_t(w) * uint64_t(h); }
};

// The whole turned frame, from a fresh copy each call (the rotation borders its source).
void BM_Rotate30(benchmark::State &state) {
    sized f(state);
    kv_bitmap *copy = nullptr, *result = nullptr;
    int32_t rw = 0, rh = 0;
    tamsa::CalculateBoundary(&rw, &rh, f.w, f.h, 30.f);
    one_against_many(
        state,
        [&] {
            kv_freebitmap(result);
            kv_freebitmap(copy);
            result = nullptr;
            copy = kv_clonebitmap(f.b);
        },
        [&] { result = kv_rotatebitmap(copy, 0, 0, 0, 30.f); }, uint64_t(rw) * uint64_t(rh));
    kv_freebitmap(result);
    kv_freebitmap(copy);
}

// Nearest resize of 3-byte pixels to half the size, and to twice it (range 4: 1).
void BM_Scale24(benchmark::State &state) {
    sized f(state);
    const bool twice = state.range(4) != 0;
    const uint32_t dw = twice ? 2 * uint32_t(f.w) : uint32_t(f.w) / 2;
    const uint32_t dh = twice ? 2 * uint32_t(f.h) : uint32_t(f.h) / 2;
    std::vector<uint8_t> out(uint64_t(dw) * dh * 3);
    one_against_many(
        state, [] {},
        [&] { kv_scale24(f.b->data, out.data(), uint32_t(f.w), uint32_t(f.h), dw, dh); },
        uint64_t(dw) * dh);
}

void BM_Transpose(benchmark::State &state) {
    sized f(state);
    one_against_many(
        state, [] {}, [&] { kv_transposebitmap(f.b); }, f.pixels());
}

// Every byte of the frame through a table.
void BM_Lut(benchmark::State &state) {
    sized f(state);
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = uint8_t(255 - i);
    one_against_many(
        state, [] {}, [&] { kv_remap8(f.b->data, table, uint32_t(f.pixels() * 3)); }, f.pixels());
}

void BM_SmoothOnePass(benchmark::State &state) {
    sized f(state);
    one_against_many(
        state, [] {}, [&] { kv_smoothbitmap(f.b, 1); }, f.pixels());
}

// A frame's planes (one chroma sample per 4 pixels) to blue-first pixels.
void BM_YuvToRgb(benchmark::State &state) {
    sized f(state, 1);
    const uint64_t n = f.pixels();
    std::vector<uint8_t> chroma(n / 4 + 1, 100), out(3 * n + 12);
    one_against_many(
        state, [] {},
        [&] {
            fx_yuvtorgb_ll(f.b->data, chroma.data(), chroma.data(), out.data(), uint32_t(n), 4);
        },
        n);
}

// The same, resized to half the width and height in one pass.
void BM_YuvScaleHalf(benchmark::State &state) {
    sized f(state, 1);
    std::vector<uint8_t> chroma(f.pixels() / 4 + 1, 100);
    kv_bitmap *result = nullptr;
    one_against_many(
        state,
        [&] {
            kv_freebitmap(result);
            result = nullptr;
        },
        [&] {
            result =
                fx_yuvscale_ll(f.b->data, chroma.data(), chroma.data(), f.w, f.h, f.w / 2, f.h / 2);
        },
        f.pixels() / 4);
    kv_freebitmap(result);
}

void BM_Dither(benchmark::State &state) {
    sized f(state);
    kv_bitmap *result = nullptr;
    one_against_many(
        state,
        [&] {
            kv_freebitmap(result);
            result = nullptr;
        },
        [&] { result = kv_dither(f.b, 4); }, f.pixels());
    kv_freebitmap(result);
}

// Several callers at once, as the served process's client threads or the recorder's stages are:
// threads of their own that stay for the whole run, each smoothing a 4K frame of its own, all
// started together; a batch ends when the last is done. Against one thread, the pool's workers
// join callers that already fill the cores: where the speedup stays near 1 with as many callers
// as cores or more, the pool costs nothing there; with fewer it shows what spare cores bring.
void BM_CallersAtOnce(benchmark::State &state) {
    const auto callers = int32_t(state.range(4));
    std::vector<kv_bitmap *> frames;
    for (int32_t k = 0; k < callers; ++k) frames.push_back(frame(3840, 2160));
    std::barrier start(callers + 1), done(callers + 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> running;
    for (kv_bitmap *b : frames) {
        running.emplace_back([&, b] {
            for (;;) {
                start.arrive_and_wait();
                if (stop.load()) return;
                kv_smoothbitmap(b, 1);
                done.arrive_and_wait();
            }
        });
    }
    one_against_many(
        state, [] {},
        [&] {
            start.arrive_and_wait();
            done.arrive_and_wait();
        },
        uint64_t(callers) * 3840 * 2160);
    stop = true;
    start.arrive_and_wait();
    for (std::thread &t : running) t.join();
    for (kv_bitmap *b : frames) kv_freebitmap(b);
}

void callers(benchmark::internal::Benchmark *b) {
    for (int64_t n : {1, 2, 4}) b->Args({3840, 2160, 0, 0, n});
    b->ArgNames({"w", "h", "threads", "split_all", "callers"})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// 4K and 8K, one thread against the default number.
void large(benchmark::internal::Benchmark *b) {
    b->Args({3840, 2160, 0, 0, 0})->Args({7680, 4320, 0, 0, 0});
    b->ArgNames({"w", "h", "threads", "split_all", "twice"})
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// Small frames, every one split in two, against one thread: from 12 KiB to 4.5 MiB of 3-byte
// pixels.
void small(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] :
         {std::pair{64, 64}, {128, 96}, {256, 192}, {512, 384}, {1024, 768}, {1536, 1024}}) {
        b->Args({w, h, 2, 1, 0});
    }
    b->ArgNames({"w", "h", "threads", "split_all", "twice"})
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

void both(benchmark::internal::Benchmark *b) {
    small(b);
    large(b);
}

// Twice 8K would not fit the bus: only 4K is doubled.
void scale_sizes(benchmark::internal::Benchmark *b) {
    both(b);
    b->Args({3840, 2160, 0, 0, 1});
}

BENCHMARK(BM_Rotate30)->Apply(both);
BENCHMARK(BM_Scale24)->Apply(scale_sizes);
BENCHMARK(BM_Transpose)->Apply(both);
BENCHMARK(BM_Lut)->Apply(both);
BENCHMARK(BM_SmoothOnePass)->Apply(both);
BENCHMARK(BM_YuvToRgb)->Apply(both);
BENCHMARK(BM_YuvScaleHalf)->Apply(both);
BENCHMARK(BM_Dither)->Apply(both);
BENCHMARK(BM_CallersAtOnce)->Apply(callers);

}  // namespace
