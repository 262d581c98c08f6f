// Blits of a 640 x 480 block into a 1920 x 1080 bitmap. Argument 1 forces the plain kernels.
#include <benchmark/benchmark.h>

#include <cstring>

#include "tamsa/internal/testing.h"

namespace {

constexpr int32_t kWidth = 1920, kHeight = 1080, kBlockWidth = 640, kBlockHeight = 480;
constexpr int64_t kBlockPixels = int64_t(kBlockWidth) * kBlockHeight;

struct buffers {
    kv_bitmap *destination = kv_allocbitmap(kWidth, kHeight, 3);
    uint8_t *source = static_cast<uint8_t *>(PPCAllocVec(kBlockPixels * 3, TAMSA_MEMF_ANY));
    uint8_t *light = static_cast<uint8_t *>(PPCAllocVec(256 * 256 * 3, TAMSA_MEMF_ANY));
    buffers() {
        uint32_t seed = 1;
        for (int64_t i = 0; i < kBlockPixels * 3; ++i)
            source[i] = uint8_t((seed *= 1103515245u) >> 24);
        for (int64_t i = 0; i < 256 * 256 * 3; ++i) light[i] = uint8_t((seed *= 1103515245u) >> 24);
    }
    ~buffers() {
        kv_freebitmap(destination);
        PPCFreeVec(source);
        PPCFreeVec(light);
    }
};

template <class Op>
void run(benchmark::State &state, int64_t pixels, Op op) {
    buffers b;
    tamsa::use_plain_kernels(state.range(0) != 0);
    for (auto _ : state) {
        op(b);
        benchmark::ClobberMemory();
    }
    tamsa::use_plain_kernels(false);
    state.SetItemsProcessed(state.iterations() * pixels);
    state.SetBytesProcessed(state.iterations() * pixels * 3);
}

void BM_Memcpy(benchmark::State &state) {
    run(state, kBlockPixels,
        [](buffers &b) { std::memcpy(b.destination->data, b.source, size_t(kBlockPixels) * 3); });
}
void BM_ChunkyBlit(benchmark::State &state) {
    run(state, kBlockPixels, [](buffers &b) {
        kv_chunkyblit(b.destination, kBlockWidth, kBlockHeight, b.source, 100, 100);
    });
}
void BM_TransChunkyBlit(benchmark::State &state) {
    run(state, kBlockPixels, [](buffers &b) {
        kv_transchunkyblit(b.destination, kBlockWidth, kBlockHeight, b.source, 100, 100, 30);
    });
}
void BM_TransAlphaChunkyBlit(benchmark::State &state) {
    run(state, kBlockPixels, [](buffers &b) {
        kv_transalphachunkyblit(b.destination, kBlockWidth, kBlockHeight, b.source, 100, 100, 30);
    });
}
// Twice the block's size: 1280 x 960 pixels written.
void BM_ScaledBlit2x(benchmark::State &state) {
    run(state, kBlockPixels * 4, [](buffers &b) {
        kv_scaledblit(b.destination, kBlockWidth, kBlockHeight, b.source, 100, 100, 2 * kBlockWidth,
                      2 * kBlockHeight);
    });
}
// The 256 x 256 light map stretched over the block's size.
void BM_ScaledLightBlit(benchmark::State &state) {
    run(state, kBlockPixels, [](buffers &b) {
        kv_scaledlightblit(b.destination, b.light, 100, 100, kBlockWidth, kBlockHeight, 200, 160,
                           90);
    });
}

BENCHMARK(BM_Memcpy)->Arg(0);
BENCHMARK(BM_ChunkyBlit)->Arg(0)->Arg(1);
BENCHMARK(BM_TransChunkyBlit)->Arg(0)->Arg(1);
BENCHMARK(BM_TransAlphaChunkyBlit)->Arg(0)->Arg(1);
BENCHMARK(BM_ScaledBlit2x)->Arg(0)->Arg(1);
BENCHMARK(BM_ScaledLightBlit)->Arg(0)->Arg(1);

}  // namespace
