// The scaled blits' row kernels: a destination run filled from one source row through a table
// of column offsets. The plain kernels are the rules; the others give the same bytes where the
// source and destination share no byte: a block read from the destination must see what the
// blit has already written. Private to gfx/.
#ifndef TAMSA_GFX_SCALEDBLIT_ROW_H
#define TAMSA_GFX_SCALEDBLIT_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// A run of destination columns, tabled once for every row it is drawn on. Destination pixel k of
// the run (3 bytes from d + 3k) samples the source pixel that starts at byte offsets[k] of the
// source row, which is row_bytes long; offsets never decrease. For the vector kernels, per block
// of four pixels: a 16-byte window of the source row that holds their samples (its offset, or
// kNoWindow), and per byte of the block, 12 and then 4 unused, the window byte it takes and the
// window byte that starts its pixel (kNoByte for the unused ones).
// The same per step of 16 pixels with a window of 64 bytes (wide_windows, wide_bytes and
// wide_firsts, 64 table bytes a step, 48 of them used), for kernels that permute bytes across a
// whole 64-byte vector.
struct column_run {
    const uint32_t *offsets;
    const uint32_t *windows;
    const uint8_t *bytes;
    const uint8_t *firsts;
    const uint32_t *wide_windows;
    const uint8_t *wide_bytes;
    const uint8_t *wide_firsts;
};
inline constexpr uint32_t kNoWindow = UINT32_MAX;
inline constexpr uint8_t kNoByte = 0x80;
// Fills the windows of a run: windows (pixels / 4 of them), bytes and firsts (16 per window),
// wide_windows (pixels / 16), wide_bytes and wide_firsts (64 per wide window).
void window_columns(const uint32_t *offsets, uint64_t pixels, uint64_t row_bytes, uint32_t *windows,
                    uint8_t *bytes, uint8_t *firsts, uint32_t *wide_windows, uint8_t *wide_bytes,
                    uint8_t *wide_firsts);

// Copies the sampled pixel.
using scaled_copy_row_fn = void (*)(uint8_t *d, const uint8_t *row, const column_run &columns,
                                    uint64_t pixels, uint64_t row_bytes);
void scaled_copy_row(uint8_t *d, const uint8_t *row, const column_run &columns, uint64_t pixels,
                     uint64_t row_bytes);
scaled_copy_row_fn scaled_copy_row_hwy();  // scaledblit_hwy.cpp
inline constexpr kernels::kernel_set<scaled_copy_row_fn> scaled_copy_row_kernels{
    .plain = scaled_copy_row, .vector = TAMSA_VECTOR_KERNEL(scaled_copy_row_hwy)};

// Copies the sampled pixel when its first byte is greater than the threshold.
using scaled_mask_row_fn = void (*)(uint8_t *d, const uint8_t *row, const column_run &columns,
                                    uint64_t pixels, uint64_t row_bytes, int32_t threshold);
void scaled_mask_row(uint8_t *d, const uint8_t *row, const column_run &columns, uint64_t pixels,
                     uint64_t row_bytes, int32_t threshold);
scaled_mask_row_fn scaled_mask_row_hwy();
// AVX-512 with VBMI (scaledblit_avx512vbmi.cpp, built where TAMSA_AVX512VBMI is set).
void scaled_mask_row_avx512vbmi(uint8_t *d, const uint8_t *row, const column_run &columns,
                                uint64_t pixels, uint64_t row_bytes, int32_t threshold);
inline constexpr kernels::kernel_set<scaled_mask_row_fn> scaled_mask_row_kernels{
    .plain = scaled_mask_row,
    .vector = TAMSA_VECTOR_KERNEL(scaled_mask_row_hwy),
    .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(scaled_mask_row_avx512vbmi)};

// Adds the tinted light, saturating: d[c] = min(d[c] + table[c][light byte c], 255), where
// table[c][e] = (tint c * e) / 255 on 32-bit words, low byte kept. The vector kernel computes
// the entry from the tint itself, which it may only for tints 0..255.
struct tint {
    const uint8_t *table[3];
    int32_t value[3];
    uint8_t spelled[64];  // the low bytes of the three values, over and over
};
using scaled_light_row_fn = void (*)(uint8_t *d, const uint8_t *row, const column_run &columns,
                                     uint64_t pixels, uint64_t row_bytes, const tint &t);
void scaled_light_row(uint8_t *d, const uint8_t *row, const column_run &columns, uint64_t pixels,
                      uint64_t row_bytes, const tint &t);
scaled_light_row_fn scaled_light_row_hwy();
void scaled_light_row_avx512vbmi(uint8_t *d, const uint8_t *row, const column_run &columns,
                                 uint64_t pixels, uint64_t row_bytes, const tint &t);
inline constexpr kernels::kernel_set<scaled_light_row_fn> scaled_light_row_kernels{
    .plain = scaled_light_row,
    .vector = TAMSA_VECTOR_KERNEL(scaled_light_row_hwy),
    .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(scaled_light_row_avx512vbmi)};
inline bool scaled_light_row_fast_ok(bool apart, const tint &t) {
    bool usual = true;
    for (int32_t v : t.value) usual = usual && v >= 0 && v <= 255;
    return apart && usual;
}

}  // namespace tamsa::gfx

#endif
