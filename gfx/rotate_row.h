// The rotation's resampling kernels: one row of the result, each pixel turned back into the
// bordered source and interpolated from its four neighbours. The plain rotate_row is the rule;
// the vector kernel gives the same bytes, doing the same double operations in the same order.
// Private to gfx/.
#ifndef TAMSA_GFX_ROTATE_ROW_H
#define TAMSA_GFX_ROTATE_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// The bordered source, seen from the result's centre.
struct rotation_source {
    const uint8_t *data;
    int64_t width, height;  // pixels
    int32_t depth;          // 1 or 3
    uint8_t fill[3];        // what a neighbour beyond the source reads
    double c, s;            // cosine and sine of the angle result points are turned back by
};

// The result pixels at x = first .. first + count - 1 on the row at y (x to the right and y
// upward from the result's centre), depth bytes each from out on.
using rotate_row_fn = void (*)(const rotation_source &source, int64_t y, int64_t first,
                               uint64_t count, uint8_t *out);

void rotate_row(const rotation_source &source, int64_t y, int64_t first, uint64_t count,
                uint8_t *out);
// Highway (rotate_hwy.cpp).
rotate_row_fn rotate_row_hwy();

inline constexpr kernels::kernel_set<rotate_row_fn> rotate_row_kernels{
    .plain = rotate_row, .vector = TAMSA_VECTOR_KERNEL(rotate_row_hwy)};

}  // namespace tamsa::gfx

#endif
