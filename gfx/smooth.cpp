// Smoothing: every inner pixel averaged with its four direct neighbours, pass after pass, between
// two buffers that take turns so that each pass sees only the one before.
#include <cstring>
#include <utility>

#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"

namespace {

// The rule as it reads: centre weight one half, the neighbours' sum truncated to a quarter.
void smooth_pass_plain(const uint8_t *src, uint8_t *dst, int64_t w, int64_t h, int32_t d) {
    const int64_t row = w * d;
    for (int64_t y = 1; y < h - 1; ++y) {
        for (int64_t x = 1; x < w - 1; ++x) {
            for (int32_t k = 0; k < d; ++k) {
                const int64_t i = (y * w + x) * d + k;
                const int32_t s = src[i - d] + src[i + d] + src[i + row] + src[i - row];
                dst[i] = uint8_t((src[i] + s / 4) / 2);
            }
        }
    }
}

// One row's inner bytes as a flat run, a fixed block at a time so that the compiler turns the
// 16-bit sums into vector code; the channels of a pixel need no loop of their own.
constexpr int64_t kBlock = 32;

template <int D>
void smooth_block(const uint8_t *__restrict above, const uint8_t *__restrict mid,
                  const uint8_t *__restrict below, uint8_t *__restrict out) {
    for (int64_t i = 0; i < kBlock; ++i) {
        const uint16_t s = uint16_t(mid[i - D] + mid[i + D] + above[i] + below[i]);
        out[i] = uint8_t((mid[i] + s / 4) / 2);
    }
}

template <int D>
void smooth_row(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                int64_t count) {
    int64_t i = D;
    for (; i + kBlock <= count - D; i += kBlock) {
        smooth_block<D>(above + i, mid + i, below + i, out + i);
    }
    for (; i < count - D; ++i) {
        const uint16_t s = uint16_t(mid[i - D] + mid[i + D] + above[i] + below[i]);
        out[i] = uint8_t((mid[i] + s / 4) / 2);
    }
}

template <int D>
void smooth_pass_fast(const uint8_t *src, uint8_t *dst, int64_t w, int64_t h) {
    const int64_t row = w * D;
    for (int64_t y = 1; y < h - 1; ++y) {
        const uint8_t *mid = src + y * row;
        smooth_row<D>(mid - row, mid, mid + row, dst + y * row, row);
    }
}

}  // namespace

extern "C" int32_t kv_smoothbitmap(kv_bitmap *bitmap, int32_t passes) {
    const int64_t bytes = tamsa::bitmap_bytes(bitmap);
    if (bytes < 0 || passes < 0) return 0;
    // A 1-byte bitmap is smoothed at its own depth: its neighbours are 1 byte apart.
    const int32_t d = bitmap->bytesperpixel;
    const int64_t w = bitmap->width, h = bitmap->height;
    kv_bitmap *second = kv_allocrawbitmap(bitmap->width, bitmap->height, d);
    if (second == nullptr) return 0;
    if (bytes > 0) std::memcpy(second->data, bitmap->data, size_t(bytes));

    // Pass 1 reads the record's buffer and writes the second, pass 2 the other way round.
    uint8_t *const first = bitmap->data;
    uint8_t *read = first;
    uint8_t *write = second->data;
    const bool plain = tamsa::plain_kernels();
    // Without inner pixels no pass writes anything; the buffers hold the same bytes throughout.
    const int32_t work = w >= 3 && h >= 3 ? passes : 0;
    for (int32_t pass = 0; pass < work; ++pass) {
        if (plain) {
            smooth_pass_plain(read, write, w, h, d);
        } else if (d == 3) {
            smooth_pass_fast<3>(read, write, w, h);
        } else {
            smooth_pass_fast<1>(read, write, w, h);
        }
        std::swap(read, write);
    }
    // The record keeps the buffer of the last pass: the second after none or an odd number.
    uint8_t *const result = passes % 2 == 0 && passes > 0 ? first : second->data;
    second->data = result == first ? second->data : first;
    bitmap->data = result;
    kv_freebitmap(second);
    return 1;
}
