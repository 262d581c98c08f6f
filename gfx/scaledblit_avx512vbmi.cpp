// The masked and light scaled blits' kernels for AVX-512 with VBMI, whose byte permute across a
// whole vector picks 16 sampled pixels out of a 64-byte window of the source row in one step;
// Highway has no such permute. Compiled with its own flags, picked only when the vector target
// is HWY_AVX3_DL.
#include <immintrin.h>

#include "gfx/scaledblit_row.h"

namespace tamsa::gfx {
namespace {

constexpr __mmask64 kPixelBytes = (1ull << 48) - 1;  // the 48 bytes of 16 pixels

column_run from(const column_run &c, uint64_t k) {
    return {c.offsets + k,           c.windows + k / 4,    c.bytes + 4 * k,      c.firsts + 4 * k,
            c.wide_windows + k / 16, c.wide_bytes + 4 * k, c.wide_firsts + 4 * k};
}

inline __m512i window(const uint8_t *row, uint32_t at) {
    return _mm512_loadu_si512(row + at);
}

inline __m512i pick(const uint8_t *table, __m512i window) {
    return _mm512_maskz_permutexvar_epi8(~__mmask64(0), _mm512_loadu_si512(table), window);
}

}  // namespace

// 16 pixels a step while the run has a wide window for them; the pixels drawn are stored through
// a mask, so the destination is not read. The threshold is compared with each byte's pixel's
// first byte as a byte when it lies in 0..254, and as always or never drawn outside. The rest of
// the row takes the Highway kernel.
void scaled_mask_row_avx512vbmi(uint8_t *d, const uint8_t *row, const column_run &columns,
                                uint64_t pixels, uint64_t row_bytes, int32_t threshold) {
    const __m512i limit = _mm512_set1_epi8(char(threshold < 0     ? 0
                                                : threshold > 255 ? 255
                                                                  : threshold));
    uint64_t k = 0;
    for (; k + 16 <= pixels; k += 16) {
        const uint32_t at = columns.wide_windows[k / 16];
        if (at == kNoWindow) break;
        if (threshold >= 255) continue;
        const __m512i w = window(row, at);
        __mmask64 drawn = kPixelBytes;
        if (threshold >= 0) {
            drawn &= _mm512_cmpgt_epu8_mask(pick(columns.wide_firsts + 4 * k, w), limit);
        }
        _mm512_mask_storeu_epi8(d + 3 * k, drawn, pick(columns.wide_bytes + 4 * k, w));
    }
    scaled_mask_row_hwy()(d + 3 * k, row, from(columns, k), pixels - k, row_bytes, threshold);
}

// For tints 0..255 the table entry (tint * e) / 255 is computed in 16-bit lanes, with x / 255 as
// (x * 32897) >> 23, exact for every 16-bit x; the bytes are widened and narrowed within each
// 16-byte block, which leaves them in order.
void scaled_light_row_avx512vbmi(uint8_t *d, const uint8_t *row, const column_run &columns,
                                 uint64_t pixels, uint64_t row_bytes, const tint &t) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i tints = _mm512_loadu_si512(t.spelled);
    const __m512i tint_lower = _mm512_unpacklo_epi8(tints, zero);
    const __m512i tint_upper = _mm512_unpackhi_epi8(tints, zero);
    const __m512i by255 = _mm512_set1_epi16(int16_t(32897));
    // Each step's destination bytes are loaded before the step before is stored: a load just
    // after a masked store of the same 64 bytes would wait for it.
    uint64_t k = 0;
    __m512i next = k + 16 <= pixels ? _mm512_maskz_loadu_epi8(kPixelBytes, d) : zero;
    for (; k + 16 <= pixels; k += 16) {
        const uint32_t at = columns.wide_windows[k / 16];
        if (at == kNoWindow) break;
        const __m512i light = pick(columns.wide_bytes + 4 * k, window(row, at));
        const __m512i lower = _mm512_srli_epi16(
            _mm512_mulhi_epu16(_mm512_mullo_epi16(_mm512_unpacklo_epi8(light, zero), tint_lower),
                               by255),
            7);
        const __m512i upper = _mm512_srli_epi16(
            _mm512_mulhi_epu16(_mm512_mullo_epi16(_mm512_unpackhi_epi8(light, zero), tint_upper),
                               by255),
            7);
        uint8_t *p = d + 3 * k;
        const __m512i sum = _mm512_adds_epu8(next, _mm512_packus_epi16(lower, upper));
        if (k + 32 <= pixels) next = _mm512_maskz_loadu_epi8(kPixelBytes, p + 48);
        _mm512_mask_storeu_epi8(p, kPixelBytes, sum);
    }
    scaled_light_row_hwy()(d + 3 * k, row, from(columns, k), pixels - k, row_bytes, t);
}

}  // namespace tamsa::gfx
