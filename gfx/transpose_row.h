// The transpose's kernels. A transpose has no rows of its own to hand a kernel: its unit is a
// band of source rows, whose pixels become a run of pixels in every destination row. The plain
// transpose_band is the rule; the others give the same bytes where source and destination are
// different buffers, as the transpose makes them. Private to gfx/.
#ifndef TAMSA_GFX_TRANSPOSE_ROW_H
#define TAMSA_GFX_TRANSPOSE_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// The most rows a band holds.
inline constexpr int64_t kTransposeBand = 32;

// rows source rows (at most kTransposeBand) of width pixels of depth bytes, starting at source;
// pixel x of band row r, for x from first up to last, goes to pixel r of destination row x,
// whose rows are height pixels long and whose pixel 0 of row 0 is at destination.
using transpose_band_fn = void (*)(const uint8_t *source, uint8_t *destination, int64_t width,
                                   int64_t height, int64_t rows, int32_t depth, int64_t first,
                                   int64_t last);

void transpose_band(const uint8_t *source, uint8_t *destination, int64_t width, int64_t height,
                    int64_t rows, int32_t depth, int64_t first, int64_t last);
// Portable: square tiles of the band, so that reads and writes stay within a few cache lines.
void transpose_band_fast(const uint8_t *source, uint8_t *destination, int64_t width, int64_t height,
                         int64_t rows, int32_t depth, int64_t first, int64_t last);
// Highway, on whole bands (transpose_hwy.cpp). Its tiles need vectors of 16 bytes held in
// arrays, which SVE's sizeless vectors cannot be: the portable tiles run there.
transpose_band_fn transpose_band_hwy();
inline constexpr kernels::kernel_set<transpose_band_fn> transpose_band_kernels{
    .plain = transpose_band,
    .fast = transpose_band_fast,
    .vector = TAMSA_VECTOR_KERNEL(transpose_band_hwy),
    .vector_skipped = TAMSA_HWY_SVE_TARGETS};

}  // namespace tamsa::gfx

#endif
