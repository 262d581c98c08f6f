// Nearest-neighbour scaling of pixel buffers and bitmaps, and cutting rectangles out of bitmaps.
#include <algorithm>
#include <cstring>

#include "gfx/scale_row.h"
#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/nearest.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::gfx {

void gather_row(const uint8_t *row, uint8_t *out, const gather_plan &plan) {
    for (uint32_t x = 0; x < plan.pixels; ++x) {
        const uint8_t *pixel = row + plan.offsets[x];
        for (uint32_t c = 0; c < plan.depth; ++c) *out++ = pixel[c];
    }
}

void gather_row_fast(const uint8_t *row, uint8_t *out, const gather_plan &plan) {
    const uint32_t *offsets = plan.offsets;
    const uint32_t n = plan.pixels;
    if (plan.depth == 1) {
        for (uint32_t x = 0; x < n; ++x) out[x] = row[offsets[x]];
        return;
    }
    if (plan.depth == 3 && n > 0) {
        // A pixel with a byte after it in the row moves as one 4-byte word; its fourth byte
        // lands on the next result pixel, which is written after it.
        for (uint32_t x = 0; x + 1 < n; ++x, out += 3) {
            std::memcpy(out, row + offsets[x], offsets[x] + 4 <= plan.readable ? 4 : 3);
        }
        std::memcpy(out, row + offsets[n - 1], 3);
        return;
    }
    for (uint32_t x = 0; x < n; ++x, out += plan.depth) {
        std::memcpy(out, row + offsets[x], plan.depth);
    }
}

void copy_row(const uint8_t *row, uint8_t *out, const gather_plan &plan) {
    if (plan.pixels > 0) std::memcpy(out, row + plan.offsets[0], size_t(plan.pixels) * plan.depth);
}

namespace {

#if TAMSA_SIMD
// The plan's layout in its scratch: a base per block of the smallest block size (16), then a
// lane per result byte, padded to whole 64-byte vectors so that every lane load reads the plan.
uint64_t plan_blocks(uint64_t bytes) {
    return (bytes + 15) / 16;
}
uint64_t padded(uint64_t bytes) {
    return (bytes + 63) / 64 * 64;
}

// Builds the plan for blocks of `block` result bytes; false when a block's source bytes do
// not fit one window of 2 * block bytes.
bool build_plan(gather_plan &plan, uint8_t *scratch, uint32_t block) {
    const uint64_t bytes = uint64_t(plan.pixels) * plan.depth;
    auto *bases = reinterpret_cast<uint32_t *>(scratch);
    uint8_t *lanes = scratch + 4 * plan_blocks(bytes);
    uint32_t x = 0, c = 0;  // pixel and byte within it of result byte k
    for (uint64_t k0 = 0, b = 0; k0 < bytes; k0 += block, ++b) {
        const uint64_t k1 = bytes - k0 < block ? bytes : k0 + block;
        // Offsets need not rise: take the lowest source byte of the block as its base.
        uint32_t low = UINT32_MAX, high = 0;
        uint32_t xs = x, cs = c;
        for (uint64_t k = k0; k < k1; ++k) {
            const uint32_t source = plan.offsets[xs] + cs;
            low = source < low ? source : low;
            high = source > high ? source : high;
            if (++cs == plan.depth) cs = 0, ++xs;
        }
        if (high - low >= 2 * block) return false;
        bases[b] = low;
        for (uint64_t k = k0; k < k1; ++k) {
            lanes[k] = uint8_t(plan.offsets[x] + c - low);
            if (++c == plan.depth) c = 0, ++x;
        }
    }
    std::memset(lanes + bytes, 0, padded(bytes) - bytes);
    plan.block = block;
    plan.block_shift = uint32_t(__builtin_ctz(block));
    plan.bases = bases;
    plan.lanes = lanes;
    return true;
}

#endif

bool is_copy(const gather_plan &plan) {
    if (uint64_t(plan.pixels) * plan.depth != plan.readable) return false;
    for (uint32_t x = 0; x < plan.pixels; ++x) {
        if (plan.offsets[x] != x * plan.depth) return false;
    }
    return true;
}

}  // namespace

uint64_t gather_plan_bytes(uint32_t pixels, uint32_t depth) {
#if TAMSA_SIMD
    const uint64_t bytes = uint64_t(pixels) * depth;
    return 4 * plan_blocks(bytes) + padded(bytes);
#else
    (void)pixels, (void)depth;
    return 0;
#endif
}

gather_row_fn plan_gather_row(gather_plan &plan, uint8_t *scratch) {
    plan.block = 0;
    if (is_copy(plan)) return kernels::pick(gather_copy_kernels);
    return kernels::pick(gather_row_kernels, kernels::level::avx512vbmi, [&](kernels::level l) {
        if (l == kernels::level::fast) return true;
#if TAMSA_SIMD
        return scratch != nullptr &&
               build_plan(plan, scratch, l == kernels::level::avx512vbmi ? 64 : 16);
#else
        (void)scratch;
        return false;
#endif
    });
}

}  // namespace tamsa::gfx

namespace {

using tamsa::gfx::gather_plan;

// True when a w x h buffer of depth bytes per pixel is one a record could describe.
bool buffer_fits(uint32_t w, uint32_t h, int32_t depth) {
    return w <= uint32_t(INT32_MAX) && h <= uint32_t(INT32_MAX) &&
           tamsa::pixel_bytes(int32_t(w), int32_t(h), depth) >= 0;
}

// Scales depth-byte pixels from sw x sh to dw x dh. False, with nothing written, when a size is
// beyond what a record may describe, when a non-empty result has no source pixel to sample, or
// when the column table cannot be had.
bool scale_pixels(const uint8_t *source, uint8_t *destination, uint32_t sw, uint32_t sh,
                  uint32_t dw, uint32_t dh, int32_t depth) {
    if (!buffer_fits(sw, sh, depth) || !buffer_fits(dw, dh, depth)) return false;
    if (dw == 0 || dh == 0) return true;
    if (sw == 0 || sh == 0 || source == nullptr || destination == nullptr) return false;
    // The column table holds the byte offset of every column's source pixel, built once per
    // call; a vector kernel's plan follows it in the same block where it fits in 32 bits.
    const uint64_t table_bytes = uint64_t(dw) * sizeof(uint32_t);
    uint64_t bytes = table_bytes + tamsa::gfx::gather_plan_bytes(dw, uint32_t(depth));
    if (bytes > UINT32_MAX) bytes = table_bytes;
    if (bytes > UINT32_MAX) return false;
    auto *columns = static_cast<uint32_t *>(PPCAllocVec(uint32_t(bytes), TAMSA_MEMF_ANY));
    if (columns == nullptr) return false;
    tamsa::nearest_columns(columns, 0, dw, sw, dw, uint32_t(depth));

    gather_plan plan;
    plan.offsets = columns;
    plan.pixels = dw;
    plan.depth = uint32_t(depth);
    plan.readable = sw * uint32_t(depth);
    uint8_t *scratch =
        bytes > table_bytes ? reinterpret_cast<uint8_t *>(columns) + table_bytes : nullptr;
    const tamsa::gfx::gather_row_fn row = tamsa::gfx::plan_gather_row(plan, scratch);
    const size_t row_bytes = size_t(sw) * size_t(depth);
    const size_t out_bytes = size_t(dw) * size_t(depth);
    // A band costs what its rows move: a shrinking row reads a whole source row's cache lines.
    tamsa::bands::split(
        dh, int64_t(std::max(out_bytes, row_bytes)), [&](int64_t first, int64_t last) {
            tamsa::nearest_rows(
                destination, out_bytes, sh, dh, uint32_t(first), uint32_t(last),
                [&](uint8_t *out, uint32_t sy) { row(source + sy * row_bytes, out, plan); },
                [&](uint32_t sy) { tamsa::prefetch_bytes(source + sy * row_bytes, row_bytes); });
        });
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
