// The recorder's frame operations at capture sizes and at sizes that are no multiple of 16 or
// 64, each timed against a memcpy of its output (the counter x_memcpy). Arguments: width,
// height, and 1 to run the plain kernels instead of the fast ones; the resizing ones also take
// 0 to halve the frame or 1 to double it.
#include <benchmark/benchmark.h>

#include "bus_block.h"
#include "memcpy_ratio.h"
#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"

namespace {

struct frame_size {
    int32_t width, height;
    bool plain;
    size_t pixels() const { return size_t(width) * size_t(height); }
};

frame_size setup(const benchmark::State &state) {
    const frame_size f{int32_t(state.range(0)), int32_t(state.range(1)), state.range(2) != 0};
    tamsa::use_plain_kernels(f.plain);
    return f;
}

void finish(benchmark::State &state) {
    tamsa::use_plain_kernels(false);
    (void)state;
}

// The size of a resized frame: half or twice the source.
std::pair<int32_t, int32_t> resized(const benchmark::State &state, const frame_size &f) {
    if (state.range(3) != 0) return {2 * f.width, 2 * f.height};
    return {f.width / 2, f.height / 2};
}

// Id 2: a whole frame in groups of 4 (the last group filled out).
void BM_YuvToRgb(benchmark::State &state) {
    const frame_size f = setup(state);
    const size_t pixels = (f.pixels() + 3) / 4 * 4;
    Block y(pixels), v(pixels / 4), u(pixels / 4), rgb(3 * pixels);
    tamsa_bench::against_memcpy(state, 3 * pixels, [&] {
        fx_yuvtorgb_ll(y.data, v.data, u.data, rgb.data, uint32_t(pixels), 4);
    });
    finish(state);
}

// Id 10: the frame converted to half or twice its size; a new bitmap per call, the previous one
// freed.
void BM_YuvScale(benchmark::State &state) {
    const frame_size f = setup(state);
    const auto [w, h] = resized(state, f);
    const size_t chroma = tamsa::scaled_chroma_bytes(f.width, f.height);
    Block y(f.pixels()), v(chroma), u(chroma);
    kv_bitmap *result = nullptr;
    tamsa_bench::against_memcpy(state, 3 * size_t(w) * size_t(h), [&] {
        kv_freebitmap(result);
        result = fx_yuvscale_ll(y.data, v.data, u.data, f.width, f.height, w, h);
    });
    if (result == nullptr) state.SkipWithError("no memory");
    kv_freebitmap(result);
    finish(state);
}

// Id 3: a one-byte frame to half or twice its size; a new bitmap per call.
void BM_Scale(benchmark::State &state) {
    const frame_size f = setup(state);
    const auto [w, h] = resized(state, f);
    Block pixels(f.pixels());
    const kv_bitmap source{pixels.data, f.width, f.height, 1};
    kv_bitmap *result = nullptr;
    tamsa_bench::against_memcpy(state, size_t(w) * size_t(h), [&] {
        kv_freebitmap(result);
        result = tamsa_scale_ll(&source, w, h);
    });
    if (result == nullptr) state.SkipWithError("no memory");
    kv_freebitmap(result);
    finish(state);
}

// Id 5: a 3-byte frame corrected in place.
void BM_Correct(benchmark::State &state) {
    const frame_size f = setup(state);
    Block pixels(3 * f.pixels());
    kv_bitmap frame{pixels.data, f.width, f.height, 3};
    tamsa_bench::against_memcpy(state, 3 * f.pixels(),
                                [&] { tamsa_correct_ll(&frame, 110, 10, 0); });
    finish(state);
}

// Id 7: two 3-byte frames blended into a third.
void BM_Fadeover(benchmark::State &state) {
    const frame_size f = setup(state);
    Block first(3 * f.pixels()), second(3 * f.pixels()), target(3 * f.pixels());
    tamsa_bench::against_memcpy(state, 3 * f.pixels(), [&] {
        tamsa_fadeover_ll(first.data, second.data, target.data, 100, f.width, f.height, 3);
    });
    finish(state);
}

// Id 8: a 3-byte frame; its odd rows are written.
void BM_Deinterlace(benchmark::State &state) {
    const frame_size f = setup(state);
    Block pixels(3 * f.pixels());
    kv_bitmap frame{pixels.data, f.width, f.height, 3};
    tamsa_bench::against_memcpy(state, 3 * size_t(f.width) * size_t(f.height / 2),
                                [&] { tamsa_deinterlace_ll(&frame); });
    finish(state);
}

// Capture sizes with the plain kernels beside them; sizes that are no multiple of 16 or 64.
void frames(benchmark::internal::Benchmark *b) {
    b->Args({640, 480, 0})->Args({640, 480, 1})->Args({1920, 1080, 0});
    b->Args({641, 479, 0})->Args({1917, 1079, 0});
    b->Args({3840, 2160, 0})->Args({7680, 4320, 0});
}

void resized_frames(benchmark::internal::Benchmark *b) {
    for (int enlarge : {0, 1}) {
        b->Args({640, 480, 0, enlarge})->Args({640, 480, 1, enlarge});
        b->Args({1920, 1080, 0, enlarge})->Args({641, 479, 0, enlarge});
        b->Args({1917, 1079, 0, enlarge});
        b->Args({3840, 2160, 0, enlarge});
    }
    b->Args({7680, 4320, 0, 0});  // twice 8K would not fit the bus beside its copy
}

BENCHMARK(BM_YuvToRgb)->Apply(frames)->ArgNames({"w", "h", "plain"})->UseManualTime();
BENCHMARK(BM_YuvScale)
    ->Apply(resized_frames)
    ->ArgNames({"w", "h", "plain", "enlarge"})
    ->UseManualTime();
BENCHMARK(BM_Scale)
    ->Apply(resized_frames)
    ->ArgNames({"w", "h", "plain", "enlarge"})
    ->UseManualTime();
BENCHMARK(BM_Correct)->Apply(frames)->ArgNames({"w", "h", "plain"})->UseManualTime();
BENCHMARK(BM_Fadeover)->Apply(frames)->ArgNames({"w", "h", "plain"})->UseManualTime();
BENCHMARK(BM_Deinterlace)->Apply(frames)->ArgNames({"w", "h", "plain"})->UseManualTime();

}  // namespace
