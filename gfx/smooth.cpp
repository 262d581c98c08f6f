// Smoothing: every inner pixel averaged with its four direct neighbours, pass after pass, between
// two buffers that take turns so that each pass sees only the one before.
#include <cstring>
#include <utility>

#include "gfx/smooth_row.h"
#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::gfx {

// Centre weight one half, the neighbours' sum truncated to a quarter.
void smooth_row(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                uint64_t bytes, int32_t depth) {
    const auto d = uint64_t(depth);
    for (uint64_t i = d; i + d < bytes; ++i) {
        const int32_t s = mid[i - d] + mid[i + d] + below[i] + above[i];
        out[i] = uint8_t((mid[i] + s / 4) / 2);
    }
}

namespace {

// A fixed block of bytes at a time, so that the compiler turns the 16-bit sums into vector code;
// the channels of a pixel need no loop of their own.
constexpr uint64_t kBlock = 32;

template <int D>
void smooth_block(const uint8_t *__restrict above, const uint8_t *__restrict mid,
                  const uint8_t *__restrict below, uint8_t *__restrict out) {
    for (uint64_t i = 0; i < kBlock; ++i) {
        const uint16_t s = uint16_t(mid[i - D] + mid[i + D] + above[i] + below[i]);
        out[i] = uint8_t((mid[i] + s / 4) / 2);
    }
}

template <int D>
void smooth_row_blocks(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                       uint64_t bytes) {
    uint64_t i = D;
    for (; i + kBlock + D <= bytes; i += kBlock) {
        smooth_block<D>(above + i, mid + i, below + i, out + i);
    }
    // The rest as a row of its own that starts one pixel before it.
    smooth_row(above + i - D, mid + i - D, below + i - D, out + i - D, bytes - i + D, D);
}

}  // namespace

void smooth_row_fast(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                     uint64_t bytes, int32_t depth) {
    if (bytes < uint64_t(3 * depth)) return;
    if (depth == 3) return smooth_row_blocks<3>(above, mid, below, out, bytes);
    smooth_row_blocks<1>(above, mid, below, out, bytes);
}

}  // namespace tamsa::gfx

namespace {

// A smoothed byte costs about this many byte-table lookups.
constexpr int64_t kSmoothWeight = 2;

// What the passes never write: the first and the last row, and the first and the last pixel of
// every row between them.
void copy_border(const uint8_t *from, uint8_t *to, int64_t w, int64_t h, int32_t d) {
    const int64_t row = w * d;
    std::memcpy(to, from, size_t(row));
    std::memcpy(to + (h - 1) * row, from + (h - 1) * row, size_t(row));
    for (int64_t y = 1; y < h - 1; ++y) {
        std::memcpy(to + y * row, from + y * row, size_t(d));
        std::memcpy(to + y * row + row - d, from + y * row + row - d, size_t(d));
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

    // Without inner pixels no pass writes anything; the buffers hold the same bytes throughout.
    const int32_t work = w >= 3 && h >= 3 ? passes : 0;
    // The second buffer starts as a copy of the first. Where a pass follows, it writes every
    // inner pixel before any is read, so only the border needs copying.
    if (work > 0) {
        copy_border(bitmap->data, second->data, w, h, d);
    } else if (bytes > 0) {
        std::memcpy(second->data, bitmap->data, size_t(bytes));
    }

    // Pass 1 reads the record's buffer and writes the second, pass 2 the other way round.
    uint8_t *const first = bitmap->data;
    uint8_t *read = first;
    uint8_t *write = second->data;
    const tamsa::gfx::smooth_row_fn row = tamsa::kernels::pick(tamsa::gfx::smooth_row_kernels);
    const int64_t row_bytes = w * d;
    // A pass's inner rows go in bands; the next pass starts when all of them are done.
    for (int32_t pass = 0; pass < work; ++pass) {
        tamsa::bands::split(h - 2, row_bytes * kSmoothWeight, [&](int64_t first, int64_t last) {
            for (int64_t y = 1 + first; y < 1 + last; ++y) {
                const uint8_t *mid = read + y * row_bytes;
                row(mid - row_bytes, mid, mid + row_bytes, write + y * row_bytes,
                    uint64_t(row_bytes), d);
            }
        });
        std::swap(read, write);
    }
    // The record keeps the buffer of the last pass: the second after none or an odd number.
    uint8_t *const result = passes % 2 == 0 && passes > 0 ? first : second->data;
    second->data = result == first ? second->data : first;
    bitmap->data = result;
    kv_freebitmap(second);
    return 1;
}
