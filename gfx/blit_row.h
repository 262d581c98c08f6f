// The unscaled blits' row kernels. The plain kernels are the rules; the others give the same
// bytes where the conditions below hold. Private to gfx/.
#ifndef TAMSA_GFX_BLIT_ROW_H
#define TAMSA_GFX_BLIT_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// Opaque: d[k] = s[k] for bytes bytes, in ascending order.
using copy_row_fn = void (*)(uint8_t *d, const uint8_t *s, uint64_t bytes);
void copy_row(uint8_t *d, const uint8_t *s, uint64_t bytes);
// The C library's copy, which already runs on the widest vectors the CPU has; for rows that
// share no byte.
void copy_row_fast(uint8_t *d, const uint8_t *s, uint64_t bytes);
inline constexpr kernels::kernel_set<copy_row_fn> copy_row_kernels{.plain = copy_row,
                                                                   .fast = copy_row_fast};

// Translucent, every byte alike: D := (D * t + S * (100 - t)) / 100.
using trans_row_fn = void (*)(uint8_t *d, const uint8_t *s, uint64_t bytes, int32_t t);
void trans_row(uint8_t *d, const uint8_t *s, uint64_t bytes, int32_t t);
// Portable, for t in 0..100 on rows that share no byte.
void trans_row_fast(uint8_t *d, const uint8_t *s, uint64_t bytes, int32_t t);
// Highway, for t in 0..100 on rows that share no byte (blit_hwy.cpp).
trans_row_fn trans_row_hwy();
inline constexpr kernels::kernel_set<trans_row_fn> trans_row_kernels{
    .plain = trans_row, .fast = trans_row_fast, .vector = TAMSA_VECTOR_KERNEL(trans_row_hwy)};
inline bool trans_row_fast_ok(bool apart, int32_t t) {
    return apart && t >= 0 && t <= 100;
}

// Brightness alpha on 3-byte pixels, with the offset o = t * 255 / 100:
// a = min(255 - (S0 + S1 + S2) / 3 + o, 255), D := (D * a + S * (255 - a)) / 255 per byte.
using alpha_row_fn = void (*)(uint8_t *d, const uint8_t *s, uint64_t pixels, int32_t offset);
void alpha_row(uint8_t *d, const uint8_t *s, uint64_t pixels, int32_t offset);
// Portable, for offsets 0..255 on rows that share no byte.
void alpha_row_fast(uint8_t *d, const uint8_t *s, uint64_t pixels, int32_t offset);
// Highway, for offsets 0..255 on rows that share no byte (blit_hwy.cpp).
alpha_row_fn alpha_row_hwy();
// AVX-512 with VBMI, likewise (blit_avx512vbmi.cpp, built where TAMSA_AVX512VBMI is set).
void alpha_row_avx512vbmi(uint8_t *d, const uint8_t *s, uint64_t pixels, int32_t offset);
inline constexpr kernels::kernel_set<alpha_row_fn> alpha_row_kernels{
    .plain = alpha_row,
    .fast = alpha_row_fast,
    .vector = TAMSA_VECTOR_KERNEL(alpha_row_hwy),
    .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(alpha_row_avx512vbmi)};
inline bool alpha_row_fast_ok(bool apart, int32_t offset) {
    return apart && offset >= 0 && offset <= 255;
}

}  // namespace tamsa::gfx

#endif
