// The recorder's frame operations at capture sizes, each beside a memcpy of its output size so
// that the distance to the memory-bandwidth limit shows. Arguments: width, height, and 1 to run
// the plain kernels instead of the fast ones.
#include <benchmark/benchmark.h>

#include <cstring>

#include "tamsa/internal/testing.h"

namespace {

// A buffer in the bus, filled with a fixed pseudo-random pattern.
class Buffer {
   public:
    explicit Buffer(uint64_t size) : p_(static_cast<uint8_t *>(PPCAllocVec(uint32_t(size), 0))) {
        uint32_t x = 2463534242u;
        for (uint64_t i = 0; p_ != nullptr && i < size; ++i) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            p_[i] = uint8_t(x);
        }
    }
    ~Buffer() { PPCFreeVec(p_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    uint8_t *data() const { return p_; }

   private:
    uint8_t *p_;
};

struct frame_size {
    int32_t width, height;
    bool plain;
    int64_t pixels() const { return int64_t(width) * height; }
};

frame_size setup(const benchmark::State &state) {
    const frame_size f{int32_t(state.range(0)), int32_t(state.range(1)), state.range(2) != 0};
    tamsa::use_plain_kernels(f.plain);
    return f;
}

void finish(benchmark::State &state, int64_t pixels) {
    tamsa::use_plain_kernels(false);
    state.SetItemsProcessed(state.iterations() * pixels);
}

// Id 2: a whole frame in groups of 4.
void BM_YuvToRgb(benchmark::State &state) {
    const frame_size f = setup(state);
    Buffer y(f.pixels()), v(f.pixels() / 4), u(f.pixels() / 4), rgb(3 * f.pixels());
    for (auto _ : state) {
        fx_yuvtorgb_ll(y.data(), v.data(), u.data(), rgb.data(), uint32_t(f.pixels()), 4);
        benchmark::ClobberMemory();
    }
    finish(state, f.pixels());
}

// Id 10: the frame converted to half its size (range 3 = 0) or twice its size (range 3 = 1);
// pixels counted in the result.
void BM_YuvScale(benchmark::State &state) {
    const frame_size f = setup(state);
    const bool enlarge = state.range(3) != 0;
    const int32_t w = enlarge ? 2 * f.width : f.width / 2;
    const int32_t h = enlarge ? 2 * f.height : f.height / 2;
    Buffer y(f.pixels()), v(f.pixels() / 4), u(f.pixels() / 4);
    for (auto _ : state) {
        kv_bitmap *result = fx_yuvscale_ll(y.data(), v.data(), u.data(), f.width, f.height, w, h);
        if (result == nullptr) {
            state.SkipWithError("no memory");
            break;
        }
        kv_freebitmap(result);
    }
    finish(state, int64_t(w) * h);
}

// Id 3: a one-byte frame to half or twice its size.
void BM_Scale(benchmark::State &state) {
    const frame_size f = setup(state);
    const bool enlarge = state.range(3) != 0;
    const int32_t w = enlarge ? 2 * f.width : f.width / 2;
    const int32_t h = enlarge ? 2 * f.height : f.height / 2;
    Buffer pixels(f.pixels());
    const kv_bitmap source{pixels.data(), f.width, f.height, 1};
    for (auto _ : state) {
        kv_bitmap *result = tamsa_scale_ll(&source, w, h);
        if (result == nullptr) {
            state.SkipWithError("no memory");
            break;
        }
        kv_freebitmap(result);
    }
    finish(state, int64_t(w) * h);
}

// Id 5: a 3-byte frame corrected in place.
void BM_Correct(benchmark::State &state) {
    const frame_size f = setup(state);
    Buffer pixels(3 * f.pixels());
    kv_bitmap frame{pixels.data(), f.width, f.height, 3};
    for (auto _ : state) {
        tamsa_correct_ll(&frame, 110, 10, 0);
        benchmark::ClobberMemory();
    }
    finish(state, f.pixels());
}

// Id 7: two 3-byte frames blended into a third.
void BM_Fadeover(benchmark::State &state) {
    const frame_size f = setup(state);
    Buffer first(3 * f.pixels()), second(3 * f.pixels()), target(3 * f.pixels());
    for (auto _ : state) {
        tamsa_fadeover_ll(first.data(), second.data(), target.data(), 100, f.width, f.height, 3);
        benchmark::ClobberMemory();
    }
    finish(state, f.pixels());
}

// Id 8: a 3-byte frame; half of it is written.
void BM_Deinterlace(benchmark::State &state) {
    const frame_size f = setup(state);
    Buffer pixels(3 * f.pixels());
    kv_bitmap frame{pixels.data(), f.width, f.height, 3};
    for (auto _ : state) {
        tamsa_deinterlace_ll(&frame);
        benchmark::ClobberMemory();
    }
    finish(state, f.pixels());
}

// The bandwidth yardstick: a copy of as many bytes as an operation writes.
void BM_Memcpy(benchmark::State &state) {
    const auto bytes = uint64_t(state.range(0));
    Buffer from(bytes), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * bytes));
}

void frames(benchmark::internal::Benchmark *b) {
    for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}}) {
        for (int plain : {0, 1}) b->Args({w, h, plain});
    }
}

void resized_frames(benchmark::internal::Benchmark *b) {
    for (auto [w, h] : {std::pair{640, 480}, std::pair{1920, 1080}}) {
        for (int enlarge : {0, 1}) {
            for (int plain : {0, 1}) b->Args({w, h, plain, enlarge});
        }
    }
}

BENCHMARK(BM_YuvToRgb)->Apply(frames)->ArgNames({"w", "h", "plain"});
BENCHMARK(BM_YuvScale)->Apply(resized_frames)->ArgNames({"w", "h", "plain", "enlarge"});
BENCHMARK(BM_Scale)->Apply(resized_frames)->ArgNames({"w", "h", "plain", "enlarge"});
BENCHMARK(BM_Correct)->Args({640, 480, 0})->Args({1920, 1080, 0})->ArgNames({"w", "h", "plain"});
BENCHMARK(BM_Fadeover)->Apply(frames)->ArgNames({"w", "h", "plain"});
BENCHMARK(BM_Deinterlace)
    ->Args({640, 480, 0})
    ->Args({1920, 1080, 0})
    ->ArgNames({"w", "h", "plain"});

// Output sizes: 3-byte frames at 640x480 and 1920x1080 (ids 2, 5, 7), their halves (id 8) and
// quarters (id 10 shrinking), four times over (id 10 enlarging); one-byte frames at a quarter and
// four times (id 3).
BENCHMARK(BM_Memcpy)
    ->Arg(3 * 640 * 480)
    ->Arg(3 * 640 * 480 / 2)
    ->Arg(3 * 320 * 240)
    ->Arg(3 * 1280 * 960)
    ->Arg(320 * 240)
    ->Arg(1280 * 960)
    ->Arg(3 * 1920 * 1080)
    ->Arg(3 * 1920 * 1080 / 2)
    ->Arg(3 * 960 * 540)
    ->Arg(3 * 3840 * 2160)
    ->Arg(960 * 540)
    ->Arg(3840 * 2160)
    ->ArgNames({"bytes"});

}  // namespace
