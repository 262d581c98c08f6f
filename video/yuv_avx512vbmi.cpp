// The YUV conversion with AVX-512 VBMI. Luma bytes are split into even and odd 16-bit lanes,
// the table terms are worked out by multiply-high arithmetic, the clamps are the saturation of a
// pack, and the three channels are woven into 3-byte pixels by two-table byte permutes
// (vpermt2b), which Highway 1.0.3 does not offer. Built with its own flags; picked only where
// the CPU runs it.
#include <immintrin.h>

#include "kernels/avx512_bytes.h"
#include "video/yuv_row.h"

namespace tamsa::video {
namespace {

using avx512::first_bytes;
using avx512::load_bytes;
using avx512::store_bytes;

// A table term of bytes held in 16-bit lanes (see yuv_row.h): whole * x + high half of
// x * fraction, minus x >> 15 (-1 for negative x).
template <const yuv_term_arithmetic &A>
inline __m512i term(__m512i bytes16) {
    const __m512i x = _mm512_sub_epi16(bytes16, _mm512_set1_epi16(int16_t(A.zero)));
    __m512i t = _mm512_mulhi_epi16(x, _mm512_set1_epi16(int16_t(A.fraction)));
    if constexpr (A.whole == 1) t = _mm512_add_epi16(t, x);
    if constexpr (A.whole == 2) t = _mm512_add_epi16(t, _mm512_add_epi16(x, x));
    return _mm512_sub_epi16(t, _mm512_srai_epi16(x, 15));
}

// The chroma terms: blue = blue_u, green = green_u + green_v (subtracted), red = red_v.
struct chroma {
    __m512i blue, green, red;
};

inline chroma chroma_of(__m512i u16, __m512i v16) {
    return {term<kBlueUTerm>(u16), _mm512_add_epi16(term<kGreenUTerm>(u16), term<kGreenVTerm>(v16)),
            term<kRedVTerm>(v16)};
}

inline __m512i even_bytes(__m512i v) {
    return _mm512_and_si512(v, _mm512_set1_epi16(0xff));
}
inline __m512i odd_bytes(__m512i v) {
    return _mm512_srli_epi16(v, 8);
}

// Where a pack of the even and odd lanes puts pixel q of 64: each 16-byte block of the pack
// holds 8 even lanes, then 8 odd ones, of the same 16 pixels.
constexpr uint32_t packed_position(uint32_t q) {
    return 16 * (q / 16) + 8 * (q % 2) + (q % 16) / 2;
}

// Output vector j of 64 pixels (bytes 64j .. 64j + 63 of 192): byte o is channel o % 3 of pixel
// o / 3. Blue and green come from a two-table permute of their packs; red is merged in from its
// pack where `red` is set, by the same index.
struct weave {
    alignas(64) uint8_t index[3][64];
    uint64_t red[3];
};
constexpr weave make_weave() {
    weave w{};
    for (uint32_t j = 0; j < 3; ++j) {
        for (uint32_t t = 0; t < 64; ++t) {
            const uint32_t o = 64 * j + t;
            const uint32_t channel = o % 3;
            w.index[j][t] = uint8_t(packed_position(o / 3) + (channel == 1 ? 64 : 0));
            if (channel == 2) w.red[j] |= uint64_t{1} << t;
        }
    }
    return w;
}
constexpr weave kWeave = make_weave();

// For groups of G pixels (2, 4 or 8): lane j of the even and of the odd lanes of the 64 pixels
// of part h of 32 groups is pixel 64h + 2j or 64h + 2j + 1, both of group (64h + 2j) / G.
template <uint32_t G>
struct spread {
    alignas(64) uint16_t index[G / 2][32];
};
template <uint32_t G>
constexpr spread<G> make_spread() {
    spread<G> s{};
    for (uint32_t h = 0; h < G / 2; ++h) {
        for (uint32_t j = 0; j < 32; ++j) s.index[h][j] = uint16_t((64 * h + 2 * j) / G);
    }
    return s;
}
template <uint32_t G>
constexpr spread<G> kSpread = make_spread<G>();

struct weaver {
    __m512i index0, index1, index2;
    __mmask64 red0, red1, red2;
    weaver()
        : index0(_mm512_load_si512(kWeave.index[0])),
          index1(_mm512_load_si512(kWeave.index[1])),
          index2(_mm512_load_si512(kWeave.index[2])),
          red0(_cvtu64_mask64(kWeave.red[0])),
          red1(_cvtu64_mask64(kWeave.red[1])),
          red2(_cvtu64_mask64(kWeave.red[2])) {}

    static __m512i woven(__m512i blue, __m512i green, __m512i red, __m512i index, __mmask64 m) {
        return _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(blue, index, green), m, index,
                                            red);
    }

    // Clamps the channel sums of 64 pixels (even and odd lanes) and writes the first n pixels.
    void put(uint8_t *rgb, uint64_t n, __m512i luma_even, __m512i luma_odd, const chroma &even,
             const chroma &odd) const {
        const __m512i blue = _mm512_packus_epi16(_mm512_add_epi16(luma_even, even.blue),
                                                 _mm512_add_epi16(luma_odd, odd.blue));
        const __m512i green = _mm512_packus_epi16(_mm512_sub_epi16(luma_even, even.green),
                                                  _mm512_sub_epi16(luma_odd, odd.green));
        const __m512i red = _mm512_packus_epi16(_mm512_add_epi16(luma_even, even.red),
                                                _mm512_add_epi16(luma_odd, odd.red));
        if (n == 64) {
            _mm512_storeu_si512(rgb, woven(blue, green, red, index0, red0));
            _mm512_storeu_si512(rgb + 64, woven(blue, green, red, index1, red1));
            _mm512_storeu_si512(rgb + 128, woven(blue, green, red, index2, red2));
            return;
        }
        const uint64_t bytes = 3 * n;
        store_bytes(rgb, bytes, woven(blue, green, red, index0, red0));
        if (bytes > 64) store_bytes(rgb + 64, bytes - 64, woven(blue, green, red, index1, red1));
        if (bytes > 128) store_bytes(rgb + 128, bytes - 128, woven(blue, green, red, index2, red2));
    }
};

// 64 pixels, each with its own chroma; n of them are read and written.
inline void convert64(const weaver &w, const uint8_t *y, const uint8_t *v, const uint8_t *u,
                      uint8_t *rgb, uint64_t n) {
    const __m512i y8 = load_bytes(y, n), v8 = load_bytes(v, n), u8 = load_bytes(u, n);
    const chroma even = chroma_of(even_bytes(u8), even_bytes(v8));
    const chroma odd = chroma_of(odd_bytes(u8), odd_bytes(v8));
    w.put(rgb, n, term<kLumaTerm>(even_bytes(y8)), term<kLumaTerm>(odd_bytes(y8)), even, odd);
}

// 32 groups of G pixels; `groups` of them are read and written. The chroma terms are worked
// out once per group, then spread over the pixels of each 64 (for G = 2 they already line up).
template <uint32_t G>
inline void convert_groups(const weaver &w, const __m512i *spread_index, const uint8_t *y,
                           const uint8_t *v, const uint8_t *u, uint8_t *rgb, uint64_t groups) {
    const __m256i v8 = groups >= 32 ? _mm256_loadu_si256(reinterpret_cast<const __m256i *>(v))
                                    : _mm256_maskz_loadu_epi8(uint32_t(first_bytes(groups)), v);
    const __m256i u8 = groups >= 32 ? _mm256_loadu_si256(reinterpret_cast<const __m256i *>(u))
                                    : _mm256_maskz_loadu_epi8(uint32_t(first_bytes(groups)), u);
    const chroma c = chroma_of(_mm512_cvtepu8_epi16(u8), _mm512_cvtepu8_epi16(v8));
    const uint64_t pixels = G * groups;
    for (uint64_t h = 0; h < G / 2 && 64 * h < pixels; ++h) {
        const uint64_t n = pixels - 64 * h < 64 ? pixels - 64 * h : 64;
        const __m512i y8 = load_bytes(y + 64 * h, n);
        chroma spread_c = c;
        if constexpr (G > 2) {
            spread_c = {_mm512_permutexvar_epi16(spread_index[h], c.blue),
                        _mm512_permutexvar_epi16(spread_index[h], c.green),
                        _mm512_permutexvar_epi16(spread_index[h], c.red)};
        }
        w.put(rgb + 192 * h, n, term<kLumaTerm>(even_bytes(y8)), term<kLumaTerm>(odd_bytes(y8)),
              spread_c, spread_c);
    }
}

template <uint32_t G>
void convert_row(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                 uint64_t groups) {
    const weaver w;
    __m512i spread_index[G / 2];
    for (uint32_t h = 0; h < G / 2; ++h) spread_index[h] = _mm512_load_si512(kSpread<G>.index[h]);
    for (uint64_t g = 0; g < groups; g += 32) {
        convert_groups<G>(w, spread_index, y + G * g, v + g, u + g, rgb + 3 * G * g,
                          groups - g < 32 ? groups - g : 32);
    }
}

}  // namespace

void yuv1_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t, const yuv_tables &) {
    const weaver w;
    for (uint64_t i = 0; i < groups; i += 64) {
        convert64(w, y + i, v + i, u + i, rgb + 3 * i, groups - i < 64 ? groups - i : 64);
    }
}

void yuv2_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t, const yuv_tables &) {
    convert_row<2>(y, v, u, rgb, groups);
}

void yuv4_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t, const yuv_tables &) {
    convert_row<4>(y, v, u, rgb, groups);
}

void yuv8_row_avx512vbmi(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                         uint64_t groups, uint32_t, const yuv_tables &) {
    convert_row<8>(y, v, u, rgb, groups);
}

}  // namespace tamsa::video
