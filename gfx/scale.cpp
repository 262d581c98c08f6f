// Nearest-neighbour scaling of pixel buffers and bitmaps, and cutting rectangles out of bitmaps.
#include <algorithm>
#include <cstring>

#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"

namespace {

// True when a w x h buffer of depth bytes per pixel is one a record could describe.
bool buffer_fits(uint32_t w, uint32_t h, int32_t depth) {
    return w <= uint32_t(INT32_MAX) && h <= uint32_t(INT32_MAX) &&
           tamsa::pixel_bytes(int32_t(w), int32_t(h), depth) >= 0;
}

// The byte offset, within a source row, of the pixel each destination column takes. Built once
// per call, so that the row loops only add and copy.
uint32_t *alloc_columns(uint32_t sw, uint32_t dw, uint32_t depth) {
    const uint64_t bytes = uint64_t(dw) * sizeof(uint32_t);
    if (bytes > UINT32_MAX) return nullptr;
    auto *columns = static_cast<uint32_t *>(PPCAllocVec(uint32_t(bytes), TAMSA_MEMF_CLEAR));
    if (columns == nullptr) return nullptr;
    for (uint32_t x = 0; x < dw; ++x) columns[x] = depth * tamsa::nearest_index(x, sw, dw);
    return columns;
}

template <size_t Depth>
void scale_rows(const uint8_t *source, uint8_t *destination, const uint32_t *columns, uint32_t sw,
                uint32_t sh, uint32_t dw, uint32_t dh) {
    const size_t source_row = size_t(sw) * Depth;
    for (uint32_t y = 0; y < dh; ++y) {
        const uint8_t *row = source + tamsa::nearest_index(y, sh, dh) * source_row;
        for (uint32_t x = 0; x < dw; ++x) {
            const uint8_t *pixel = row + columns[x];
            for (size_t c = 0; c < Depth; ++c) *destination++ = pixel[c];
        }
    }
}

// As scale_rows, but a row that takes the same source row as the one above it (what enlarging
// does) is copied from the destination, and a row of the source's own width is copied whole.
template <size_t Depth>
void scale_rows_fast(const uint8_t *source, uint8_t *destination, const uint32_t *columns,
                     uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh) {
    const size_t source_row = size_t(sw) * Depth;
    const size_t destination_row = size_t(dw) * Depth;
    uint32_t previous = 0;
    for (uint32_t y = 0; y < dh; ++y, destination += destination_row) {
        const uint32_t sy = tamsa::nearest_index(y, sh, dh);
        const uint8_t *row = source + sy * source_row;
        if (y > 0 && sy == previous) {
            std::memcpy(destination, destination - destination_row, destination_row);
        } else if (dw == sw) {
            std::memcpy(destination, row, destination_row);
        } else if (Depth == 3 && sy + 1 < sh) {
            // Every pixel of a row above the last has a byte after it in the source, so a pixel
            // moves as one 4-byte word; its fourth byte lands on the next destination pixel,
            // which is written after it. The row's last pixel moves as 3 bytes.
            uint8_t *out = destination;
            for (uint32_t x = 0; x + 1 < dw; ++x, out += 3) std::memcpy(out, row + columns[x], 4);
            std::memcpy(out, row + columns[dw - 1], 3);
        } else {
            uint8_t *out = destination;
            for (uint32_t x = 0; x < dw; ++x, out += Depth) {
                std::memcpy(out, row + columns[x], Depth);
            }
        }
        previous = sy;
    }
}

// Scales depth-byte pixels from sw x sh to dw x dh. False, with nothing written, when a size is
// beyond what a record may describe, when a non-empty result has no source pixel to sample, or
// when the column table cannot be had.
bool scale_pixels(const uint8_t *source, uint8_t *destination, uint32_t sw, uint32_t sh,
                  uint32_t dw, uint32_t dh, int32_t depth) {
    if (!buffer_fits(sw, sh, depth) || !buffer_fits(dw, dh, depth)) return false;
    if (dw == 0 || dh == 0) return true;
    if (sw == 0 || sh == 0 || source == nullptr || destination == nullptr) return false;
    uint32_t *columns = alloc_columns(sw, dw, uint32_t(depth));
    if (columns == nullptr) return false;
    const bool plain = tamsa::plain_kernels();
    if (depth == 3) {
        (plain ? scale_rows<3> : scale_rows_fast<3>)(source, destination, columns, sw, sh, dw, dh);
    } else {
        (plain ? scale_rows<1> : scale_rows_fast<1>)(source, destination, columns, sw, sh, dw, dh);
    }
    PPCFreeVec(columns);
    return true;
}

// The checks shared by the bitmap scalers: a usable record, a usable new size, and a pixel to
// sample whenever the result is not empty.
bool can_scale(const kv_bitmap *bitmap, int32_t new_width, int32_t new_height) {
    if (tamsa::bitmap_bytes(bitmap) < 0) return false;
    const int64_t bytes = tamsa::pixel_bytes(new_width, new_height, bitmap->bytesperpixel);
    if (bytes < 0) return false;
    return bytes == 0 || (bitmap->width > 0 && bitmap->height > 0);
}

}  // namespace

extern "C" {

void kv_scale24(const uint8_t *source, uint8_t *destination, uint32_t sw, uint32_t sh, uint32_t dw,
                uint32_t dh) {
    scale_pixels(source, destination, sw, sh, dw, dh, 3);
}

void kv_scale8(const uint8_t *source, uint8_t *destination, uint32_t sw, uint32_t sh, uint32_t dw,
               uint32_t dh) {
    scale_pixels(source, destination, sw, sh, dw, dh, 1);
}

int32_t kv_scalebitmap(kv_bitmap *bitmap, int32_t new_width, int32_t new_height) {
    if (!can_scale(bitmap, new_width, new_height)) return 0;
    const int32_t depth = bitmap->bytesperpixel;
    const auto bytes = uint32_t(tamsa::pixel_bytes(new_width, new_height, depth));
    auto *data = static_cast<uint8_t *>(PPCAllocVec(bytes, TAMSA_MEMF_ANY));
    if (data == nullptr) return 0;
    // A 1-byte bitmap is scaled at its own depth: read as 3 bytes it would run past its buffer.
    if (!scale_pixels(bitmap->data, data, uint32_t(bitmap->width), uint32_t(bitmap->height),
                      uint32_t(new_width), uint32_t(new_height), depth)) {
        PPCFreeVec(data);
        return 0;
    }
    if (bitmap->data != nullptr) PPCFreeVec(bitmap->data);
    bitmap->data = data;
    bitmap->width = new_width;
    bitmap->height = new_height;
    return 1;
}

kv_bitmap *kv_scalecopybitmap(const kv_bitmap *bitmap, int32_t new_width, int32_t new_height) {
    if (!can_scale(bitmap, new_width, new_height)) return nullptr;
    kv_bitmap *copy = kv_allocrawbitmap(new_width, new_height, bitmap->bytesperpixel);
    if (copy == nullptr) return nullptr;
    if (!scale_pixels(bitmap->data, copy->data, uint32_t(bitmap->width), uint32_t(bitmap->height),
                      uint32_t(new_width), uint32_t(new_height), bitmap->bytesperpixel)) {
        kv_freebitmap(copy);
        return nullptr;
    }
    return copy;
}

kv_bitmap *kv_cutbitmap(const kv_bitmap *bitmap, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    if (tamsa::bitmap_bytes(bitmap) < 0) return nullptr;
    // Any two opposite corners name the same rectangle, both corners included.
    if (y1 > y2) std::swap(y1, y2);
    if (x1 > x2) std::swap(x1, x2);
    const int64_t w = int64_t(x2) - x1 + 1;
    const int64_t h = int64_t(y2) - y1 + 1;
    if (w > INT32_MAX || h > INT32_MAX) return nullptr;
    // A 1-byte bitmap is cut at its own depth rather than read as 3 bytes per pixel.
    const int32_t depth = bitmap->bytesperpixel;
    kv_bitmap *cut = kv_allocrawbitmap(int32_t(w), int32_t(h), depth);
    if (cut == nullptr) return nullptr;

    // The columns that lie in the source, [from, to); everything else is black.
    const int64_t from = std::max<int64_t>(x1, 0);
    const int64_t to = std::min<int64_t>(int64_t(x2) + 1, bitmap->width);
    const size_t row_bytes = size_t(w) * size_t(depth);
    const size_t lead = from < to ? size_t(from - x1) * size_t(depth) : row_bytes;
    const size_t inside = from < to ? size_t(to - from) * size_t(depth) : 0;
    uint8_t *out = cut->data;
    for (int64_t y = y1; y <= y2; ++y, out += row_bytes) {
        if (inside == 0 || y < 0 || y >= bitmap->height) {
            std::memset(out, 0, row_bytes);
            continue;
        }
        const uint8_t *row =
            bitmap->data + (size_t(y) * size_t(bitmap->width) + size_t(from)) * size_t(depth);
        std::memset(out, 0, lead);
        std::memcpy(out + lead, row, inside);
        std::memset(out + lead + inside, 0, row_bytes - lead - inside);
    }
    return cut;
}

}  // extern "C"
