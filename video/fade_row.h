// The cross-fade's row kernels. The plain fade_row is the rule; the others give the same bytes
// where fade_row_fast_ok holds. Private to video/.
#ifndef TAMSA_VIDEO_FADE_ROW_H
#define TAMSA_VIDEO_FADE_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::video {

// target[i] = (second[i] * level + first[i] * (255 - level)) / 255 for count bytes.
using fade_row_fn = void (*)(const uint8_t *first, const uint8_t *second, uint8_t *target,
                             uint64_t count, int32_t level);

void fade_row(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
              int32_t level);
// Portable: 16-bit lanes the compiler vectorises, for levels 0..255.
void fade_row_fast(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
                   int32_t level);
// Highway, for levels 0..255, on the best target the CPU has (fade_hwy.cpp).
fade_row_fn fade_row_hwy();
inline constexpr kernels::kernel_set<fade_row_fn> fade_row_kernels{
    .plain = fade_row, .fast = fade_row_fast, .vector = TAMSA_VECTOR_KERNEL(fade_row_hwy)};
// Levels 0..255, and a target that is either source or meets neither: a target shifted against
// a source would see bytes the blend has already written.
bool fade_row_fast_ok(const uint8_t *first, const uint8_t *second, const uint8_t *target,
                      uint64_t count, int32_t level);

}  // namespace tamsa::video

#endif
