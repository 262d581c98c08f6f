// The span kernels: a run of pixels set to one colour, as the lines and boxes draw them and as
// the shear and the rotation fill their borders. The plain span_row is the rule; the others
// give the same bytes. Private to gfx/.
#ifndef TAMSA_GFX_DRAW_ROW_H
#define TAMSA_GFX_DRAW_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// Sets pixels pixels of depth bytes from d on to the colour: its three bytes in order for
// depth 3, its first byte for depth 1.
using span_row_fn = void (*)(uint8_t *d, uint64_t pixels, const uint8_t *colour, int32_t depth);

void span_row(uint8_t *d, uint64_t pixels, const uint8_t *colour, int32_t depth);
// Portable: whole blocks of the colour's pattern copied.
void span_row_fast(uint8_t *d, uint64_t pixels, const uint8_t *colour, int32_t depth);
// Highway (draw_hwy.cpp).
span_row_fn span_row_hwy();

inline constexpr kernels::kernel_set<span_row_fn> span_row_kernels{
    .plain = span_row, .fast = span_row_fast, .vector = TAMSA_VECTOR_KERNEL(span_row_hwy)};

}  // namespace tamsa::gfx

#endif
