// The ordered dither's row kernels. The plain dither_row is the rule; the others give the same
// bytes where the matrix is at most kMaxDitherSize. Private to gfx/.
#ifndef TAMSA_GFX_DITHER_ROW_H
#define TAMSA_GFX_DITHER_ROW_H

#include <cstddef>
#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// The largest matrix the fast kernels take.
inline constexpr int32_t kMaxDitherSize = 16;

// One matrix row's thresholds spelled out as the fast kernels read them: byte i holds the
// threshold of byte i of an image row (of pixel i for a grey source), from column 0 on, for
// kDitherSpelled bytes: a period of the row and three of the widest vectors after it.
inline constexpr size_t kDitherSpelled = 3 * kMaxDitherSize + 3 * 64;
void spell_thresholds(const uint8_t *thresholds, int32_t n, int32_t depth, uint8_t *spelled);

// One row of pixels against one row of an n x n matrix: each of the three result bytes of a
// pixel is 255 when its source channel is at least the pixel's threshold, else 0. The pixel in
// column x takes threshold x mod n, counted from x = first; a 1-byte source pixel is grey and
// stands for all three channels. The plain kernel reads thresholds, the others spelled (the
// same row, spelled out by spell_thresholds).
using dither_row_fn = void (*)(const uint8_t *source, uint8_t *result, uint64_t pixels,
                               int32_t depth, const uint8_t *thresholds, int32_t n,
                               const uint8_t *spelled, uint64_t first);

void dither_row(const uint8_t *source, uint8_t *result, uint64_t pixels, int32_t depth,
                const uint8_t *thresholds, int32_t n, const uint8_t *spelled, uint64_t first);
// Portable, for matrices up to kMaxDitherSize.
void dither_row_fast(const uint8_t *source, uint8_t *result, uint64_t pixels, int32_t depth,
                     const uint8_t *thresholds, int32_t n, const uint8_t *spelled, uint64_t first);
// Highway, for matrices up to kMaxDitherSize (dither_hwy.cpp).
dither_row_fn dither_row_hwy();

inline constexpr kernels::kernel_set<dither_row_fn> dither_row_kernels{
    .plain = dither_row, .fast = dither_row_fast, .vector = TAMSA_VECTOR_KERNEL(dither_row_hwy)};

}  // namespace tamsa::gfx

#endif
