// Unscaled blits: a raw block of pixels placed at (x, y) in a bitmap, clipped to its edges,
// copied opaquely, with one transparency, or with an alpha taken from the source's brightness.
#include <algorithm>
#include <cstring>

#include "gfx/placement.h"
#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"

namespace {

using tamsa::gfx::placement;

// The shared prologue of the three blits. A 1-byte destination takes a 1-byte source; any
// other valid destination is 3 bytes per pixel and so is its source.
bool place(const kv_bitmap *destination, int32_t source_width, int32_t source_height,
           const uint8_t *source, int32_t x, int32_t y, placement &out) {
    if (tamsa::bitmap_bytes(destination) < 0) return false;
    const int32_t depth = destination->bytesperpixel;
    if (tamsa::pixel_bytes(source_width, source_height, depth) < 0) return false;
    out = tamsa::gfx::place_block(*destination, source, source_width, source_height, depth, x, y,
                                  source_width, source_height);
    return !out.region.empty() && source != nullptr;
}

// The rows are walked in the documented order, so a block read from the destination's own
// pixels gives defined bytes; only the plain kernels keep that order byte by byte.
bool fast_kernels(const placement &p) {
    return p.apart && !tamsa::plain_kernels();
}

// Calls row(destination row, source row, pixels) once per row of the region, top to bottom.
template <class Row>
void for_each_row(const placement &p, Row row) {
    const int64_t count = p.region.x1 - p.region.x0;
    const int64_t u = int64_t(p.region.x0) - p.x;
    for (int64_t n = p.region.y0; n < p.region.y1; ++n) {
        uint8_t *d = p.destination + (n * p.destination_width + p.region.x0) * p.depth;
        const uint8_t *s = p.source + ((n - p.y) * p.source_width + u) * p.depth;
        row(d, s, size_t(count));
    }
}

void copy_row(uint8_t *d, const uint8_t *s, size_t bytes) {
    for (size_t k = 0; k < bytes; ++k) d[k] = s[k];
}

void copy_row_fast(uint8_t *d, const uint8_t *s, size_t bytes) {
    std::memcpy(d, s, bytes);
}

void copy_block(const placement &p) {
    const bool fast = fast_kernels(p);
    for_each_row(p, [&p, fast](uint8_t *d, const uint8_t *s, size_t pixels) {
        const size_t bytes = pixels * size_t(p.depth);
        fast ? copy_row_fast(d, s, bytes) : copy_row(d, s, bytes);
    });
}

// (d * wd + s * ws) / divisor on 32-bit two's complement words: weights outside their usual
// range wrap rather than overflow, the quotient truncates toward zero and its low byte is kept.
inline uint8_t weigh(uint32_t d, uint32_t s, uint32_t wd, uint32_t ws, int32_t divisor) {
    return uint8_t(int32_t(d * wd + s * ws) / divisor);
}

// Every byte of the row, whatever its channel: D := (D * t + S * (100 - t)) / 100.
void trans_row(uint8_t *d, const uint8_t *s, size_t bytes, int32_t t) {
    const uint32_t wd = uint32_t(t);
    const uint32_t ws = 100u - uint32_t(t);
    for (size_t k = 0; k < bytes; ++k) d[k] = weigh(d[k], s[k], wd, ws, 100);
}

// The fast kernels below run only on buffers that do not overlap, and only for weights in their
// usual range, where nothing is negative and every sum fits 16 bits. They work in fixed blocks
// that the compiler turns into vector code, with a scalar tail; the divisions become exact
// multiply-shifts (checked over every sum that can occur).
constexpr size_t kBlock = 16;

inline uint8_t div100(uint16_t x) {
    return uint8_t((uint32_t(x >> 2) * 5243u) >> 17);
}
inline uint8_t div255(uint16_t x) {
    return uint8_t((x + 1u + (x >> 8)) >> 8);
}

inline uint8_t trans_byte(uint8_t d, uint8_t s, uint16_t wd, uint16_t ws) {
    return div100(uint16_t(d * wd + s * ws));
}

void trans_row_fast(uint8_t *__restrict d, const uint8_t *__restrict s, size_t bytes, int32_t t) {
    const uint16_t wd = uint16_t(t);
    const uint16_t ws = uint16_t(100 - t);
    size_t k = 0;
    for (; k + kBlock <= bytes; k += kBlock) {
        for (size_t j = 0; j < kBlock; ++j) d[k + j] = trans_byte(d[k + j], s[k + j], wd, ws);
    }
    for (; k < bytes; ++k) d[k] = trans_byte(d[k], s[k], wd, ws);
}

// The alpha blit's offset: t * 2.55 taken in integers, so 100 gives 255 exactly (the binary
// 2.55 falls short of it) and the product wraps like every other 32-bit one.
int32_t alpha_offset(int32_t t) {
    return int32_t(uint32_t(t) * 255u) / 100;
}

// The brighter the source pixel, the more of it shows: a = min(255 - L + o, 255), then
// D := (D * a + S * (255 - a)) / 255 per byte, in channel order.
void alpha_row(uint8_t *d, const uint8_t *s, size_t pixels, int32_t offset) {
    for (size_t i = 0; i < pixels; ++i, d += 3, s += 3) {
        const int32_t brightness = (s[0] + s[1] + s[2]) / 3;
        int32_t a = 255 - brightness + offset;
        if (a > 255) a = 255;
        const uint32_t wd = uint32_t(a);
        const uint32_t ws = 255u - uint32_t(a);
        for (int c = 0; c < 3; ++c) d[c] = weigh(d[c], s[c], wd, ws, 255);
    }
}

// For 0 <= offset <= 255 the weight lies in 0..255 with no clamp below. Each block first
// spreads its pixels' weights over their bytes, then blends all its bytes alike.
inline uint16_t alpha_weight(const uint8_t *s, uint16_t offset) {
    const uint32_t sum = s[0] + s[1] + s[2];
    return uint16_t(std::min<uint32_t>(255u - ((sum * 683u) >> 11) + offset, 255u));
}

inline uint8_t alpha_byte(uint8_t d, uint8_t s, uint16_t a) {
    return div255(uint16_t(d * a + s * (255 - a)));
}

void alpha_row_fast(uint8_t *__restrict d, const uint8_t *__restrict s, size_t pixels,
                    int32_t offset) {
    const uint16_t o = uint16_t(offset);
    size_t i = 0;
    for (; i + kBlock <= pixels; i += kBlock, d += 3 * kBlock, s += 3 * kBlock) {
        uint16_t a[3 * kBlock];
        for (size_t p = 0; p < kBlock; ++p) {
            a[3 * p] = a[3 * p + 1] = a[3 * p + 2] = alpha_weight(s + 3 * p, o);
        }
        for (size_t k = 0; k < 3 * kBlock; ++k) d[k] = alpha_byte(d[k], s[k], a[k]);
    }
    for (; i < pixels; ++i, d += 3, s += 3) {
        const uint16_t a = alpha_weight(s, o);
        for (int c = 0; c < 3; ++c) d[c] = alpha_byte(d[c], s[c], a);
    }
}

}  // namespace

extern "C" {

void kv_chunkyblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                   const uint8_t *source, int32_t x, int32_t y) {
    placement p;
    if (!place(destination, source_width, source_height, source, x, y, p)) return;
    copy_block(p);
}

void kv_transchunkyblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                        const uint8_t *source, int32_t x, int32_t y, int32_t transparency) {
    placement p;
    if (!place(destination, source_width, source_height, source, x, y, p)) return;
    // One byte per pixel carries no colour to blend: the source is copied.
    if (p.depth == 1) return copy_block(p);
    const bool fast = fast_kernels(p) && transparency >= 0 && transparency <= 100;
    for_each_row(p, [fast, transparency](uint8_t *d, const uint8_t *s, size_t pixels) {
        fast ? trans_row_fast(d, s, pixels * 3, transparency)
             : trans_row(d, s, pixels * 3, transparency);
    });
}

void kv_transalphachunkyblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                             const uint8_t *source, int32_t x, int32_t y, int32_t transparency) {
    placement p;
    if (!place(destination, source_width, source_height, source, x, y, p)) return;
    if (p.depth == 1) return copy_block(p);
    const int32_t offset = alpha_offset(transparency);
    const bool fast = fast_kernels(p) && offset >= 0 && offset <= 255;
    for_each_row(p, [fast, offset](uint8_t *d, const uint8_t *s, size_t pixels) {
        fast ? alpha_row_fast(d, s, pixels, offset) : alpha_row(d, s, pixels, offset);
    });
}

// The wrappers pass the source record's sizes and pixels, not its depth. A 1-byte source under
// a 3-byte destination would be read at three bytes a pixel, past its buffer, so it draws nothing;
// a 3-byte source under a 1-byte destination is read one byte per pixel, inside its buffer.
void kv_blitbitmap(kv_bitmap *destination, const kv_bitmap *source, int32_t x, int32_t y) {
    if (tamsa::bitmap_bytes(source) < 0 || destination == nullptr) return;
    if (source->bytesperpixel < destination->bytesperpixel) return;
    kv_chunkyblit(destination, source->width, source->height, source->data, x, y);
}

void kv_blitbitmaptrans(kv_bitmap *destination, const kv_bitmap *source, int32_t x, int32_t y,
                        int32_t transparency) {
    if (tamsa::bitmap_bytes(source) < 0 || destination == nullptr) return;
    if (source->bytesperpixel < destination->bytesperpixel) return;
    kv_transchunkyblit(destination, source->width, source->height, source->data, x, y,
                       transparency);
}

}  // extern "C"
