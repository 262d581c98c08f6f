// Unscaled blits: a raw block of pixels placed at (x, y) in a bitmap, clipped to its edges,
// copied opaquely, with one transparency, or with an alpha taken from the source's brightness.
#include <algorithm>
#include <cstring>

#include "gfx/blit_row.h"
#include "gfx/placement.h"
#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::gfx {

void copy_row(uint8_t *d, const uint8_t *s, uint64_t bytes) {
    for (uint64_t k = 0; k < bytes; ++k) d[k] = s[k];
}

void copy_row_fast(uint8_t *d, const uint8_t *s, uint64_t bytes) {
    std::memcpy(d, s, size_t(bytes));
}

namespace {

// (d * wd + s * ws) / divisor on 32-bit two's complement words: weights outside their usual
// range wrap rather than overflow, the quotient truncates toward zero and its low byte is kept.
inline uint8_t weigh(uint32_t d, uint32_t s, uint32_t wd, uint32_t ws, int32_t divisor) {
    return uint8_t(int32_t(d * wd + s * ws) / divisor);
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

// For 0 <= offset <= 255 the weight lies in 0..255 with no clamp below; sum / 3 is
// (sum * 683) >> 11 for every sum of three bytes.
inline uint16_t alpha_weight(const uint8_t *s, uint16_t offset) {
    const uint32_t sum = s[0] + s[1] + s[2];
    return uint16_t(std::min<uint32_t>(255u - ((sum * 683u) >> 11) + offset, 255u));
}

inline uint8_t alpha_byte(uint8_t d, uint8_t s, uint16_t a) {
    return div255(uint16_t(d * a + s * (255 - a)));
}

}  // namespace

// Every byte of the row, whatever its channel.
void trans_row(uint8_t *d, const uint8_t *s, uint64_t bytes, int32_t t) {
    const uint32_t wd = uint32_t(t);
    const uint32_t ws = 100u - uint32_t(t);
    for (uint64_t k = 0; k < bytes; ++k) d[k] = weigh(d[k], s[k], wd, ws, 100);
}

void trans_row_fast(uint8_t *__restrict d, const uint8_t *__restrict s, uint64_t bytes, int32_t t) {
    const uint16_t wd = uint16_t(t);
    const uint16_t ws = uint16_t(100 - t);
    uint64_t k = 0;
    for (; k + kBlock <= bytes; k += kBlock) {
        for (size_t j = 0; j < kBlock; ++j) d[k + j] = trans_byte(d[k + j], s[k + j], wd, ws);
    }
    for (; k < bytes; ++k) d[k] = trans_byte(d[k], s[k], wd, ws);
}

// The brighter the source pixel, the more of it shows; bytes in channel order.
void alpha_row(uint8_t *d, const uint8_t *s, uint64_t pixels, int32_t offset) {
    for (uint64_t i = 0; i < pixels; ++i, d += 3, s += 3) {
        const int32_t brightness = (s[0] + s[1] + s[2]) / 3;
        int32_t a = 255 - brightness + offset;
        if (a > 255) a = 255;
        const uint32_t wd = uint32_t(a);
        const uint32_t ws = 255u - uint32_t(a);
        for (int c = 0; c < 3; ++c) d[c] = weigh(d[c], s[c], wd, ws, 255);
    }
}

// Each block first spreads its pixels' weights over their bytes, then blends all its bytes
// alike.
void alpha_row_fast(uint8_t *__restrict d, const uint8_t *__restrict s, uint64_t pixels,
                    int32_t offset) {
    const uint16_t o = uint16_t(offset);
    uint64_t i = 0;
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

}  // namespace tamsa::gfx

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

// Calls row(destination row, source row, pixels) once per row of the region, top to bottom.
// A block that spans whole rows of both sides, with no gap, is one long row. A block apart
// from the destination goes in bands of rows (weight: a byte's cost in byte-table lookups), a
// long row in bands of pixels.
template <class Row>
void for_each_row(const placement &p, int64_t weight, Row row) {
    const int64_t count = p.region.x1 - p.region.x0;
    const int64_t u = int64_t(p.region.x0) - p.x;
    const int64_t top = p.region.y0;
    const int64_t rows = p.region.y1 - p.region.y0;
    const auto at = [&](int64_t n, int64_t x, uint64_t pixels) {
        uint8_t *d = p.destination + (n * p.destination_width + p.region.x0 + x) * p.depth;
        const uint8_t *s = p.source + ((n - p.y) * p.source_width + u + x) * p.depth;
        row(d, s, pixels);
    };
    if (count == p.destination_width && count == p.source_width) {
        const int64_t pixels = count * rows;
        if (!p.apart) return at(top, 0, uint64_t(pixels));
        tamsa::bands::split(
            pixels, p.depth * weight, tamsa::bands::kLine,
            [&](int64_t first, int64_t last) { at(top, first, uint64_t(last - first)); });
        return;
    }
    const auto band = [&](int64_t first, int64_t last) {
        for (int64_t n = top + first; n < top + last; ++n) at(n, 0, uint64_t(count));
    };
    if (!p.apart) return band(0, rows);
    tamsa::bands::split(rows, count * p.depth * weight, band);
}

void copy_block(const placement &p) {
    const tamsa::gfx::copy_row_fn copy =
        tamsa::kernels::pick(tamsa::gfx::copy_row_kernels, p.apart);
    for_each_row(p, 1, [&p, copy](uint8_t *d, const uint8_t *s, uint64_t pixels) {
        copy(d, s, pixels * uint64_t(p.depth));
    });
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
    const tamsa::gfx::trans_row_fn blend = tamsa::kernels::pick(
        tamsa::gfx::trans_row_kernels, tamsa::gfx::trans_row_fast_ok(p.apart, transparency));
    for_each_row(p, 2, [blend, transparency](uint8_t *d, const uint8_t *s, uint64_t pixels) {
        blend(d, s, pixels * 3, transparency);
    });
}

void kv_transalphachunkyblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                             const uint8_t *source, int32_t x, int32_t y, int32_t transparency) {
    placement p;
    if (!place(destination, source_width, source_height, source, x, y, p)) return;
    if (p.depth == 1) return copy_block(p);
    // t * 2.55 taken in integers, so 100 gives 255 exactly (the binary 2.55 falls short of
    // it) and the product wraps like every other 32-bit one.
    const int32_t offset = int32_t(uint32_t(transparency) * 255u) / 100;
    const tamsa::gfx::alpha_row_fn blend = tamsa::kernels::pick(
        tamsa::gfx::alpha_row_kernels, tamsa::gfx::alpha_row_fast_ok(p.apart, offset));
    for_each_row(p, 2, [blend, offset](uint8_t *d, const uint8_t *s, uint64_t pixels) {
        blend(d, s, pixels, offset);
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
