// The smoothing's row kernels. The plain smooth_row is the rule; the others give the same bytes
// where the rows read and the row written are different buffers, as every pass has them.
// Private to gfx/.
#ifndef TAMSA_GFX_SMOOTH_ROW_H
#define TAMSA_GFX_SMOOTH_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// One row of bytes-long rows of depth-byte pixels: for every byte i from depth up to, but not
// including, bytes - depth, out[i] = (mid[i] + s / 4) / 2 with s the sum of mid[i - depth],
// mid[i + depth], above[i] and below[i]. The row's first and last pixel are not written.
using smooth_row_fn = void (*)(const uint8_t *above, const uint8_t *mid, const uint8_t *below,
                               uint8_t *out, uint64_t bytes, int32_t depth);

void smooth_row(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                uint64_t bytes, int32_t depth);
// Portable: 16-bit sums the compiler vectorises.
void smooth_row_fast(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                     uint64_t bytes, int32_t depth);
// Highway (smooth_hwy.cpp).
smooth_row_fn smooth_row_hwy();
inline constexpr kernels::kernel_set<smooth_row_fn> smooth_row_kernels{
    .plain = smooth_row, .fast = smooth_row_fast, .vector = TAMSA_VECTOR_KERNEL(smooth_row_hwy)};

}  // namespace tamsa::gfx

#endif
