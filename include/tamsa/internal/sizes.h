// Size arithmetic shared by the library, its server and its tests: byte counts of records and
// runs, taken in 64 bits and checked against what a 32-bit size may hold. Not installed.
#ifndef TAMSA_INTERNAL_SIZES_H
#define TAMSA_INTERNAL_SIZES_H

#include <cstdint>

#include "tamsa/tamsa.h"

namespace tamsa {

// Largest pixel buffer a record may describe: its byte count must fit in a signed 32-bit word,
// as every size product of the library is taken in 32 bits.
inline constexpr int64_t kMaxBufferBytes = INT32_MAX;

// Bytes of a width x height x depth buffer, or -1 when a size is negative, the depth is not 1
// or 3, or the product does not fit in kMaxBufferBytes.
constexpr int64_t pixel_bytes(int32_t width, int32_t height, int32_t bytesperpixel) {
    if (width < 0 || height < 0) return -1;
    if (bytesperpixel != 1 && bytesperpixel != 3) return -1;
    // Two sizes below 2^31 multiply within 64 bits; the depth could take that past them.
    const int64_t pixels = int64_t(width) * height;
    if (pixels > kMaxBufferBytes) return -1;
    const int64_t bytes = pixels * bytesperpixel;
    return bytes > kMaxBufferBytes ? -1 : bytes;
}

// Bytes of a record's pixel buffer when the record is usable (non-null, sizes and depth valid,
// a buffer present unless it is empty), otherwise -1.
inline int64_t bitmap_bytes(const kv_bitmap *bitmap) {
    if (bitmap == nullptr) return -1;
    const int64_t bytes = pixel_bytes(bitmap->width, bitmap->height, bitmap->bytesperpixel);
    if (bytes > 0 && bitmap->data == nullptr) return -1;
    return bytes;
}

// True when the byte runs [a, a + a_bytes) and [b, b + b_bytes) share a byte. Fast kernels that
// read ahead or write in blocks step aside for buffers that meet.
inline bool overlaps(const void *a, uint64_t a_bytes, const void *b, uint64_t b_bytes) {
    const auto pa = reinterpret_cast<uintptr_t>(a);
    const auto pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + b_bytes && pb < pa + a_bytes;
}

// Nearest-neighbour source index: floor(i * source / result), exact for every 32-bit size.
constexpr uint32_t nearest_index(uint32_t i, uint32_t source, uint32_t result) {
    return uint32_t(uint64_t(i) * source / result);
}

// Pixels a planar YUV conversion covers: count rounded up to whole groups, at least one group.
// 0 when the group is 0 (nothing is converted) or when the 3-byte output would not fit in
// kMaxBufferBytes.
constexpr int64_t yuv_pixels(uint32_t count, uint32_t group) {
    if (group == 0) return 0;
    const uint64_t groups = count == 0 ? 1 : (uint64_t(count) + group - 1) / group;
    const uint64_t pixels = groups * group;
    return pixels * 3 > uint64_t(kMaxBufferBytes) ? 0 : int64_t(pixels);
}

// The scaled conversion's chroma planes hold one byte per 4 luma bytes, rows or not: a luma row
// that starts at offset n has its chroma row at n / 4, and luma column x reads chroma column x / 4.
constexpr int64_t scaled_chroma_offset(int64_t luma_offset) {
    return luma_offset / 4;
}

// Bytes of each chroma plane the scaled conversion of a width x height luma plane may read
// (both sizes above 0): up to the chroma of the last pixel of the last row.
constexpr uint64_t scaled_chroma_bytes(int32_t width, int32_t height) {
    return uint64_t(scaled_chroma_offset(int64_t(height - 1) * width) +
                    scaled_chroma_offset(width - 1)) +
           1;
}

// Bytes a cross-fade blends: factor_a * factor_b * factor_c, or 0 when the product is 0 or
// less or does not fit in a signed 32-bit word.
constexpr int64_t fade_bytes(int32_t factor_a, int32_t factor_b, int32_t factor_c) {
    // Two 32-bit factors always fit in 64 bits; the third may not, so that step is checked.
    const int64_t ab = int64_t(factor_a) * factor_b;
    int64_t abc = 0;
    if (__builtin_mul_overflow(ab, int64_t(factor_c), &abc)) return 0;
    return abc <= 0 || abc > INT32_MAX ? 0 : abc;
}

}  // namespace tamsa

#endif
