// The row kernels of the YUV conversions. The plain yuvtorgb_row is the rule, with the
// conversion tables; the others give the same bytes where yuvtorgb_row_fast_ok holds. The
// vector kernels replace the tables with 16-bit arithmetic that equals them on every byte.
// Private to video/.
#ifndef TAMSA_VIDEO_YUV_ROW_H
#define TAMSA_VIDEO_YUV_ROW_H

#include <cstdint>

#include "kernels/choice.h"

#include "video/yuv_tables.h"

namespace tamsa::video {

// Converts `groups` groups of `group` pixels: chroma byte g of v and u belongs to luma bytes
// g * group up to g * group + group - 1, and every pixel gives 3 bytes, blue first.
using yuv_row_fn = void (*)(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                            uint64_t groups, uint32_t group, const yuv_tables &t);

// The rule: reads and writes in its own order, so it is exact even over its own planes.
void yuvtorgb_row(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                  uint64_t groups, uint32_t group, const yuv_tables &t);
// Portable: clamps through one table, and a group of 4 goes out as one 12-byte store.
void yuvtorgb_row_fast(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                       uint64_t groups, uint32_t group, const yuv_tables &t);
// Highway: groups of 1, and groups of 2, 4 or 8, whose chroma terms SSE4 and AVX2 work out once
// per sample and spread over the pixels by byte shuffles, and other targets spread as bytes in a
// local buffer (yuv_hwy.cpp).
yuv_row_fn yuv1_row_hwy();
yuv_row_fn yuvn_row_hwy();
// AVX-512 VBMI, for groups of 1, 2, 4 and 8: chroma terms worked out once per group and spread
// over its pixels by 16-bit permutes, the three channels woven into 3-byte pixels by two-table
// byte permutes (yuv_avx512vbmi.cpp).
void yuv1_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t group, const yuv_tables &t);
void yuv2_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t group, const yuv_tables &t);
void yuv4_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t group, const yuv_tables &t);
void yuv8_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t group, const yuv_tables &t);

// The kernels for groups of 1, 2, 4 and 8 pixels, and for other groups. The vector kernels stay
// off 256-bit SVE, where they have not been proven (under emulation they crashed there).
inline constexpr kernels::kernel_set<yuv_row_fn> yuvtorgb_row_kernels[] = {
    {.plain = yuvtorgb_row,
     .fast = yuvtorgb_row_fast,
     .vector = TAMSA_VECTOR_KERNEL(yuv1_row_hwy),
     .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(yuv1_row_avx512vbmi),
     .vector_skipped = TAMSA_HWY_SVE_256},
    {.plain = yuvtorgb_row,
     .fast = yuvtorgb_row_fast,
     .vector = TAMSA_VECTOR_KERNEL(yuvn_row_hwy),
     .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(yuv2_row_avx512vbmi),
     .vector_skipped = TAMSA_HWY_SVE_256},
    {.plain = yuvtorgb_row,
     .fast = yuvtorgb_row_fast,
     .vector = TAMSA_VECTOR_KERNEL(yuvn_row_hwy),
     .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(yuv4_row_avx512vbmi),
     .vector_skipped = TAMSA_HWY_SVE_256},
    {.plain = yuvtorgb_row,
     .fast = yuvtorgb_row_fast,
     .vector = TAMSA_VECTOR_KERNEL(yuvn_row_hwy),
     .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(yuv8_row_avx512vbmi),
     .vector_skipped = TAMSA_HWY_SVE_256},
    {.plain = yuvtorgb_row, .fast = yuvtorgb_row_fast}};
inline const kernels::kernel_set<yuv_row_fn> &yuvtorgb_kernels(uint32_t group) {
    switch (group) {
        case 1:
            return yuvtorgb_row_kernels[0];
        case 2:
            return yuvtorgb_row_kernels[1];
        case 4:
            return yuvtorgb_row_kernels[2];
        case 8:
            return yuvtorgb_row_kernels[3];
        default:
            return yuvtorgb_row_kernels[4];
    }
}
// An output that meets no plane: only the rule's order is exact over its own planes.
bool yuvtorgb_row_fast_ok(const uint8_t *y, const uint8_t *v, const uint8_t *u, const uint8_t *rgb,
                          uint64_t groups, uint32_t group);

// ---- the tables as arithmetic ----
//
// With x the byte's distance from its zero point, a term is whole * x + ((x * fraction) >> 16)
// + (x < 0): the high half of a signed 16-bit product floors x * (constant - whole), and adding
// 1 for negative x turns the floor into truncation toward zero (no x in range makes the product
// whole, except 0). The test proves every term equal to its table on all 256 bytes.
struct yuv_term_arithmetic {
    int32_t zero, whole, fraction;
};
inline constexpr yuv_term_arithmetic kLumaTerm{16, 1, 10747};      // 1.164
inline constexpr yuv_term_arithmetic kRedVTerm{128, 2, -26473};    // 1.596
inline constexpr yuv_term_arithmetic kGreenVTerm{128, 1, -12271};  // 0.813
inline constexpr yuv_term_arithmetic kBlueUTerm{128, 2, 1176};     // 2.018
inline constexpr yuv_term_arithmetic kGreenUTerm{128, 0, 25632};   // 0.391

constexpr int32_t yuv_term_value(const yuv_term_arithmetic &a, uint8_t byte) {
    const int32_t x = int32_t(byte) - a.zero;
    return a.whole * x + ((x * a.fraction) >> 16) + (x < 0 ? 1 : 0);
}

}  // namespace tamsa::video

#endif
