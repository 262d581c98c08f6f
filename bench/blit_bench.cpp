// Blits of a w x h block of 3-byte pixels, one pixel in from the left edge of a destination one
// pixel wider, so that every row is a kernel call of its own that starts off alignment; each
// against a memcpy of the bytes it writes. Arguments: width, height, and 1 to run the plain
// kernels instead of the fast ones.
#include <benchmark/benchmark.h>

#include "memcpy_ratio.h"
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

struct setup {
    int32_t w, h;
    Buffer destination_pixels, source, light;
    kv_bitmap destination;
    explicit setup(benchmark::State &state)
        : w(int32_t(state.range(0))),
          h(int32_t(state.range(1))),
          destination_pixels(uint64_t(w + 1) * h * 3),
          source(uint64_t(w) * h * 3),
          light(256 * 256 * 3),
          destination{destination_pixels.data(), w + 1, h, 3} {}
};

template <class Op>
void run(benchmark::State &state, Op op) {
    setup s(state);
    tamsa::use_plain_kernels(state.range(2) != 0);
    tamsa_bench::against_memcpy(state, uint64_t(s.w) * s.h * 3, [&] { op(s); });
    tamsa::use_plain_kernels(false);
}

void BM_ChunkyBlit(benchmark::State &state) {
    run(state, [](setup &s) { kv_chunkyblit(&s.destination, s.w, s.h, s.source.data(), 1, 0); });
}
void BM_TransChunkyBlit(benchmark::State &state) {
    run(state,
        [](setup &s) { kv_transchunkyblit(&s.destination, s.w, s.h, s.source.data(), 1, 0, 30); });
}
void BM_TransAlphaChunkyBlit(benchmark::State &state) {
    run(state, [](setup &s) {
        kv_transalphachunkyblit(&s.destination, s.w, s.h, s.source.data(), 1, 0, 30);
    });
}
// A block of half the size in each direction, stretched over w x h.
void BM_ScaledBlit(benchmark::State &state) {
    run(state, [](setup &s) {
        kv_scaledblit(&s.destination, s.w / 2, s.h / 2, s.source.data(), 1, 0, s.w, s.h);
    });
}
// The same through the mask; about half the pixels pass.
void BM_ScaledMaskBlit(benchmark::State &state) {
    run(state, [](setup &s) {
        kv_scaledmaskblit(&s.destination, s.w / 2, s.h / 2, s.source.data(), 1, 0, s.w, s.h, 127);
    });
}
// The 256 x 256 light map stretched over w x h.
void BM_ScaledLightBlit(benchmark::State &state) {
    run(state, [](setup &s) {
        kv_scaledlightblit(&s.destination, s.light.data(), 1, 0, s.w, s.h, 200, 160, 90);
    });
}

void sizes(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] : {std::pair{640, 480}, {641, 479}, {1920, 1080}, {1917, 1079}}) {
        b->Args({w, h, 0});
        b->Args({w, h, 1});
    }
    // 4K and 8K, with the fast kernels only.
    b->Args({3840, 2160, 0})->Args({7680, 4320, 0});
    b->ArgNames({"w", "h", "plain"})->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_ChunkyBlit)->Apply(sizes);
BENCHMARK(BM_TransChunkyBlit)->Apply(sizes);
BENCHMARK(BM_TransAlphaChunkyBlit)->Apply(sizes);
BENCHMARK(BM_ScaledBlit)->Apply(sizes);
BENCHMARK(BM_ScaledMaskBlit)->Apply(sizes);
BENCHMARK(BM_ScaledLightBlit)->Apply(sizes);

}  // namespace
