// Lines and boxes in one colour, clipped to the bitmap. End points and corners are inclusive.
#include <algorithm>
#include <cstring>

#include "gfx/draw_row.h"
#include "kernels/choice.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::gfx {

void span_row(uint8_t *d, uint64_t pixels, const uint8_t *colour, int32_t depth) {
    for (uint64_t i = 0; i < pixels; ++i) {
        for (int32_t k = 0; k < depth; ++k) *d++ = colour[k];
    }
}

// One block of the pattern, 16 whole pixels, copied as often as it fits.
void span_row_fast(uint8_t *d, uint64_t pixels, const uint8_t *colour, int32_t depth) {
    if (depth == 1) {
        std::memset(d, colour[0], size_t(pixels));
        return;
    }
    constexpr uint64_t kPixels = 16;
    uint8_t block[3 * kPixels];
    span_row(block, kPixels, colour, 3);
    uint64_t i = 0;
    for (; i + kPixels <= pixels; i += kPixels) std::memcpy(d + 3 * i, block, sizeof block);
    span_row(d + 3 * i, pixels - i, colour, 3);
}

}  // namespace tamsa::gfx

namespace {

// Column of the line on row y, for y1 <= y <= y2 and y1 < y2:
// x1 + ((y - y1) * (x2 - x1)) / (y2 - y1), truncated toward zero. Both factors are below 2^32,
// so the product of their magnitudes fits 64 unsigned bits and no coordinate can overflow it.
int64_t line_column(int64_t x1, int64_t y1, int64_t x2, int64_t y2, int64_t y) {
    const int64_t dx = x2 - x1;
    const uint64_t run = dx < 0 ? uint64_t(-dx) : uint64_t(dx);
    const uint64_t q = uint64_t(y - y1) * run / uint64_t(y2 - y1);
    return dx < 0 ? x1 - int64_t(q) : x1 + int64_t(q);
}

// Sets columns a..b (either order) of row y, keeping only those inside the row.
void span(const kv_bitmap &b, int64_t y, int64_t a, int64_t c, const uint8_t colour[3],
          tamsa::gfx::span_row_fn row) {
    const int64_t first = std::max<int64_t>(std::min(a, c), 0);
    const int64_t last = std::min<int64_t>(std::max(a, c), b.width - 1);
    if (first > last) return;
    row(b.data + (y * b.width + first) * 3, uint64_t(last - first + 1), colour, 3);
}

}  // namespace

extern "C" {

// Row by row from the upper end point: each row is joined to the column the line had on the
// row above, drawn or not. Rows outside the bitmap are not visited: the column of the row just
// above the first visible one is computed directly.
void kv_drawline(kv_bitmap *destination, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                 int32_t red, int32_t green, int32_t blue) {
    if (tamsa::bitmap_bytes(destination) < 0 || destination->bytesperpixel != 3) return;
    if (y2 < y1) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    const uint8_t colour[3] = {uint8_t(red), uint8_t(green), uint8_t(blue)};
    const int64_t first = std::max<int64_t>(y1, 0);
    const int64_t last = std::min<int64_t>(y2, int64_t(destination->height) - 1);
    if (first > last) return;
    const tamsa::gfx::span_row_fn row = tamsa::kernels::pick(tamsa::gfx::span_row_kernels);
    if (y1 == y2) return span(*destination, y1, x1, x2, colour, row);

    int64_t previous = first == y1 ? x1 : line_column(x1, y1, x2, y2, first - 1);
    for (int64_t y = first; y <= last; ++y) {
        const int64_t current = line_column(x1, y1, x2, y2, y);
        span(*destination, y, previous, current, colour, row);
        previous = current;
    }
}

// Fills the rectangle, or with a step above 1 sets every step-th pixel of every step-th row,
// counted from the corner after clamping.
void kv_drawbox(kv_bitmap *destination, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t red,
                int32_t green, int32_t blue, int32_t step) {
    // A step below 1 would never advance.
    if (tamsa::bitmap_bytes(destination) < 0 || step <= 0) return;
    const int32_t width = destination->width;
    const int32_t height = destination->height;
    if (width == 0 || height == 0) return;
    if (y2 < y1) std::swap(y1, y2);
    if (x2 < x1) std::swap(x1, x2);
    if (y1 >= height || x1 >= width || x2 < 0 || y2 < 0) return;
    x1 = std::clamp(x1, 0, width - 1);
    x2 = std::clamp(x2, 0, width - 1);
    y1 = std::clamp(y1, 0, height - 1);
    y2 = std::clamp(y2, 0, height - 1);

    const bool one_byte = destination->bytesperpixel == 1;
    const uint8_t colour[3] = {uint8_t(red), uint8_t(green), uint8_t(blue)};
    if (step == 1) {
        // Filled: one span per row, or one for all of them when the rows are whole.
        const int32_t d = destination->bytesperpixel;
        const tamsa::gfx::span_row_fn row = tamsa::kernels::pick(tamsa::gfx::span_row_kernels);
        const auto pixels = uint64_t(x2 - x1 + 1);
        const bool whole = x1 == 0 && x2 == width - 1;
        for (int64_t y = y1; y <= y2; ++y) {
            uint8_t *start = destination->data + (y * width + x1) * d;
            if (whole) {
                row(start, pixels * uint64_t(y2 - y1 + 1), colour, d);
                break;
            }
            row(start, pixels, colour, d);
        }
        return;
    }
    // 64-bit counters: a large step past the last row or column must not wrap back in.
    for (int64_t y = y1; y <= y2; y += step) {
        for (int64_t x = x1; x <= x2; x += step) {
            const int64_t pixel = y * width + x;
            if (one_byte) {
                destination->data[pixel] = colour[0];
            } else {
                std::memcpy(destination->data + pixel * 3, colour, 3);
            }
        }
    }
}

}  // extern "C"
