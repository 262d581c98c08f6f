// Shear: the new image is built in a new buffer, then handed to the record.
#include <algorithm>
#include <cstring>

#include "gfx/draw_row.h"
#include "gfx/gfx.h"
#include "tamsa/internal/sizes.h"

namespace {

// 32-bit arithmetic that wraps the way the machine's does instead of overflowing.
int32_t wrap_add(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
int32_t wrap_sub(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}
int32_t wrap_mul(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) * uint32_t(b));
}
int32_t wrap_div(int32_t a, int32_t b) {
    return int32_t(uint32_t(int64_t(a) / b));
}

// The row's place in the band as a whole percentage; a band of one row is at 0 percent, so it
// takes the first shift.
int32_t band_percent(int32_t y, int32_t first_row, int32_t last_row) {
    const int32_t span = wrap_sub(last_row, first_row);
    if (span == 0) return 0;
    return wrap_div(wrap_mul(wrap_sub(y, first_row), 100), span);
}

}  // namespace

namespace tamsa {

int32_t maxval(int32_t a, int32_t b) {
    return a > b ? a : b;
}

int32_t interpol(int32_t a, int32_t b, int32_t percent) {
    if (a > b) return wrap_sub(a, wrap_mul(wrap_sub(a, b), percent) / 100);
    return wrap_add(a, wrap_mul(wrap_sub(b, a), percent) / 100);
}

}  // namespace tamsa

extern "C" {

int32_t kv_shearbitmap(kv_bitmap *bitmap, int32_t first_row, int32_t last_row, int32_t first_shift,
                       int32_t last_shift, int32_t red, int32_t green, int32_t blue) {
    if (tamsa::bitmap_bytes(bitmap) < 0) return 0;
    const int32_t d = bitmap->bytesperpixel;
    const int64_t w = bitmap->width, h = bitmap->height;
    // A negative shift would put pixels before the start of their row: it counts as 0.
    first_shift = std::max(first_shift, 0);
    last_shift = std::max(last_shift, 0);
    const int32_t grow = tamsa::maxval(first_shift, last_shift);
    const int64_t new_width = w + grow;
    if (new_width > INT32_MAX || tamsa::pixel_bytes(int32_t(new_width), int32_t(h), d) < 0) {
        return 0;
    }
    auto *buffer = static_cast<uint8_t *>(PPCAllocVec(uint32_t(new_width * h * d), TAMSA_MEMF_ANY));
    if (buffer == nullptr) return 0;

    // A 1-byte bitmap is filled with the red byte.
    const uint8_t fill[3] = {uint8_t(red), uint8_t(green), uint8_t(blue)};
    const tamsa::gfx::span_row_fn span = tamsa::kernels::pick(tamsa::gfx::span_row_kernels);
    for (int64_t y = 0; y < h; ++y) {
        int64_t shift = 0;
        if (first_row <= y && y <= last_row) {
            const int32_t percent = band_percent(int32_t(y), first_row, last_row);
            // Huge bands or shifts wrap the 32-bit percentages; the row still stays in its row.
            shift = std::clamp(tamsa::interpol(first_shift, last_shift, percent), 0, grow);
        }
        uint8_t *row = buffer + y * new_width * d;
        span(row, uint64_t(shift), fill, d);
        if (w > 0) std::memcpy(row + shift * d, bitmap->data + y * w * d, size_t(w * d));
        span(row + (shift + w) * d, uint64_t(grow - shift), fill, d);
    }
    PPCFreeVec(bitmap->data);
    bitmap->data = buffer;
    bitmap->width = int32_t(new_width);
    return 1;
}

}  // extern "C"
