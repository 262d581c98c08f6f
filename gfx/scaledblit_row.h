// The scaled blits' row kernels: a destination run filled from one source row through a table
// of column offsets. The plain kernels are the rules; the others give the same bytes where the
// pick_ functions hand them out. Private to gfx/.
#ifndef TAMSA_GFX_SCALEDBLIT_ROW_H
#define TAMSA_GFX_SCALEDBLIT_ROW_H

#include <cstdint>

namespace tamsa::gfx {

// Destination pixel k of the run (3 bytes from d + 3k) samples the source pixel that starts at
// byte columns[k] of the source row, which is row_bytes long; columns never decrease.

// Copies the sampled pixel.
using scaled_copy_row_fn = void (*)(uint8_t *d, const uint8_t *row, const uint32_t *columns,
                                    uint64_t pixels, uint64_t row_bytes);
void scaled_copy_row(uint8_t *d, const uint8_t *row, const uint32_t *columns, uint64_t pixels,
                     uint64_t row_bytes);
scaled_copy_row_fn scaled_copy_row_hwy();  // scaledblit_hwy.cpp
// Vector kernels only where source and destination share no byte: a block read from the
// destination must see what the blit has already written.
scaled_copy_row_fn pick_scaled_copy_row(bool apart);

// Copies the sampled pixel when its first byte is greater than the threshold.
using scaled_mask_row_fn = void (*)(uint8_t *d, const uint8_t *row, const uint32_t *columns,
                                    uint64_t pixels, uint64_t row_bytes, int32_t threshold);
void scaled_mask_row(uint8_t *d, const uint8_t *row, const uint32_t *columns, uint64_t pixels,
                     uint64_t row_bytes, int32_t threshold);
scaled_mask_row_fn scaled_mask_row_hwy();
scaled_mask_row_fn pick_scaled_mask_row(bool apart);

// Adds the tinted light, saturating: d[c] = min(d[c] + table[c][light byte c], 255), where
// table[c][e] = (tint c * e) / 255 on 32-bit words, low byte kept. The vector kernel computes
// the entry from the tint itself, which it may only for tints 0..255.
struct tint {
    const uint8_t *table[3];
    int32_t value[3];
};
using scaled_light_row_fn = void (*)(uint8_t *d, const uint8_t *row, const uint32_t *columns,
                                     uint64_t pixels, uint64_t row_bytes, const tint &t);
void scaled_light_row(uint8_t *d, const uint8_t *row, const uint32_t *columns, uint64_t pixels,
                      uint64_t row_bytes, const tint &t);
scaled_light_row_fn scaled_light_row_hwy();
scaled_light_row_fn pick_scaled_light_row(bool apart, const tint &t);

}  // namespace tamsa::gfx

#endif
