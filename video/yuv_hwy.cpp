// The YUV conversion as vector kernels, compiled once per target Highway builds for: the table
// terms as 16-bit multiply-high arithmetic, the clamps as saturating demotions.
#include <array>
#include <cstring>

#include "video/yuv_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "video/yuv_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"
#include "kernels/rows_hwy-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::video::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
// The vector kernels' shared helpers (kernels/rows_hwy-inl.h).
using namespace kernels::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// One lane per vector gains nothing over the portable kernel.
void yuv1_row_vector(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                     uint64_t groups, uint32_t group, const yuv_tables &t) {
    yuvtorgb_row_fast(y, v, u, rgb, groups, group, t);
}
void yuvn_row_vector(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                     uint64_t groups, uint32_t group, const yuv_tables &t) {
    yuvtorgb_row_fast(y, v, u, rgb, groups, group, t);
}
#else
// A table term of bytes in 16-bit lanes (see yuv_row.h).
template <class D, class V>
V term(D d, V bytes16, const yuv_term_arithmetic &a) {
    const V x = hn::Sub(bytes16, hn::Set(d, int16_t(a.zero)));
    V t = hn::MulHigh(x, hn::Set(d, int16_t(a.fraction)));
    if (a.whole >= 1) t = hn::Add(t, x);
    if (a.whole == 2) t = hn::Add(t, x);
    return hn::Sub(t, hn::ShiftRight<15>(x));
}

// The first m pixels of a vector: luma and chroma bytes in 16-bit lanes, out as 3m bytes.
template <class D16, class V8>
HWY_INLINE void convert_vector(D16 d16, V8 y8, V8 v8, V8 u8, uint8_t *HWY_RESTRICT rgb, size_t m) {
    const hn::Rebind<uint8_t, D16> d8;
    const auto luma = term(d16, hn::PromoteTo(d16, y8), kLumaTerm);
    const auto u16 = hn::PromoteTo(d16, u8);
    const auto v16 = hn::PromoteTo(d16, v8);
    const auto blue = term(d16, u16, kBlueUTerm);
    const auto green = hn::Add(term(d16, u16, kGreenUTerm), term(d16, v16, kGreenVTerm));
    const auto red = term(d16, v16, kRedVTerm);
    store_interleaved3_lanes(hn::DemoteTo(d8, hn::Add(luma, blue)),
                             hn::DemoteTo(d8, hn::Sub(luma, green)),
                             hn::DemoteTo(d8, hn::Add(luma, red)), d8, rgb, m);
}

// Vectors of pixels, each with its own chroma byte.
void convert(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
             const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t pixels) {
    const hn::ScalableTag<int16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    for_each_vector(pixels, hn::Lanes(d16), [&](uint64_t i, size_t m) {
        convert_vector(d16, load_lanes(d8, y + i, m), load_lanes(d8, v + i, m),
                       load_lanes(d8, u + i, m), rgb + 3 * i, m);
    });
}

#if HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_AVX2
// 16-bit lanes back to bytes, clamped to 0..255, block by block: the inverse of widen_lower and
// widen_upper, without the lane-crossing fix that a whole-vector demotion needs.
template <class D8, class V16>
HWY_INLINE hn::Vec<D8> narrow_clamped(D8, V16 lower, V16 upper) {
#if HWY_TARGET == HWY_AVX2
    return hn::Vec<D8>{_mm256_packus_epi16(lower.raw, upper.raw)};
#else
    return hn::Vec<D8>{_mm_packus_epi16(lower.raw, upper.raw)};
#endif
}

// The chroma terms of 16 chroma samples, 8 to a vector of 16-bit lanes: lo holds the first 8
// and hi the others, in every 128-bit block, except for groups of 2 on 256-bit vectors, whose
// lo holds the first 8 in its lower block and the others in its upper one (hi is unused).
template <class D16>
struct chroma_terms16 {
    hn::Vec<D16> blue_lo, green_lo, red_lo, blue_hi, green_hi, red_hi;
};

template <class D16, class V16>
HWY_INLINE void terms_of(D16 d16, V16 v16, V16 u16, V16 &blue, V16 &green, V16 &red) {
    blue = term(d16, u16, kBlueUTerm);
    green = hn::Add(term(d16, u16, kGreenUTerm), term(d16, v16, kGreenVTerm));
    red = term(d16, v16, kRedVTerm);
}

// Groups of 1: whole vectors of bytes, worked in 16-bit lanes in block order.
void yuv1_row_vector(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
                     const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups,
                     uint32_t, const yuv_tables &) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<int16_t, decltype(d8)> d16;
    for_each_vector(groups, hn::Lanes(d8), [&](uint64_t i, size_t m) {
        const auto y8 = load_lanes(d8, y + i, m);
        const auto v8 = load_lanes(d8, v + i, m);
        const auto u8 = load_lanes(d8, u + i, m);
        const auto luma_lo = term(d16, hn::BitCast(d16, widen_lower(d8, y8)), kLumaTerm);
        const auto luma_hi = term(d16, hn::BitCast(d16, widen_upper(d8, y8)), kLumaTerm);
        hn::Vec<decltype(d16)> blue_lo, green_lo, red_lo, blue_hi, green_hi, red_hi;
        terms_of(d16, hn::BitCast(d16, widen_lower(d8, v8)), hn::BitCast(d16, widen_lower(d8, u8)),
                 blue_lo, green_lo, red_lo);
        terms_of(d16, hn::BitCast(d16, widen_upper(d8, v8)), hn::BitCast(d16, widen_upper(d8, u8)),
                 blue_hi, green_hi, red_hi);
        store_interleaved3_lanes(
            narrow_clamped(d8, hn::Add(luma_lo, blue_lo), hn::Add(luma_hi, blue_hi)),
            narrow_clamped(d8, hn::Sub(luma_lo, green_lo), hn::Sub(luma_hi, green_hi)),
            narrow_clamped(d8, hn::Add(luma_lo, red_lo), hn::Add(luma_hi, red_hi)), d8, rgb + 3 * i,
            m);
    });
}

template <uint32_t G, class D8>
HWY_INLINE chroma_terms16<hn::Repartition<int16_t, D8> > chroma_of(D8 d8, const uint8_t *v,
                                                                   const uint8_t *u) {
    using D16 = hn::Repartition<int16_t, D8>;
    const D16 d16;
    chroma_terms16<D16> c;
    if constexpr (G == 2 && hn::MaxLanes(d8) == 32) {
        const hn::Rebind<uint8_t, decltype(d16)> d8h;
        terms_of(d16, hn::BitCast(d16, hn::PromoteTo(d16, hn::LoadU(d8h, v))),
                 hn::BitCast(d16, hn::PromoteTo(d16, hn::LoadU(d8h, u))), c.blue_lo, c.green_lo,
                 c.red_lo);
        c.blue_hi = c.blue_lo;
        c.green_hi = c.green_lo;
        c.red_hi = c.red_lo;
    } else {
        const auto vs = hn::LoadDup128(d8, v);
        const auto us = hn::LoadDup128(d8, u);
        terms_of(d16, hn::BitCast(d16, widen_lower(d8, vs)), hn::BitCast(d16, widen_lower(d8, us)),
                 c.blue_lo, c.green_lo, c.red_lo);
        terms_of(d16, hn::BitCast(d16, widen_upper(d8, vs)), hn::BitCast(d16, widen_upper(d8, us)),
                 c.blue_hi, c.green_hi, c.red_hi);
    }
    return c;
}

// Byte shuffles that spread the chroma terms over the pixels of vector k of a span of 16 * G
// pixels (N to a vector), for the lower (h = 0) and upper (h = 1) 8 pixels of each block, whose
// 16-bit lanes widen_lower and widen_upper give: entry ((k * 2 + h) * N + q).
template <uint32_t G, size_t N>
constexpr std::array<uint8_t, 32 * G> spread_table() {
    constexpr size_t kSteps = 16 * G / N;
    std::array<uint8_t, 32 * G> t{};
    for (size_t k = 0; k < kSteps; ++k) {
        for (size_t h = 0; h < 2; ++h) {
            for (size_t q = 0; q < N; ++q) {
                const size_t block = q / 16, lane = q % 16 / 2;
                const size_t sample = (k * N + 16 * block + 8 * h + lane) / G;
                const size_t base = G == 2 && N == 32 ? 8 * block : k < kSteps / 2 ? 0 : 8;
                t[(k * 2 + h) * N + q] = uint8_t(2 * (sample - base) + q % 2);
            }
        }
    }
    return t;
}

// Vector k of a span: its first m pixels go out.
template <uint32_t G, class D8>
HWY_INLINE void convert_spread(D8 d8, const chroma_terms16<hn::Repartition<int16_t, D8> > &c,
                               size_t k, hn::Vec<D8> y8, uint8_t *HWY_RESTRICT rgb, size_t m) {
    constexpr size_t N = hn::MaxLanes(d8);
    constexpr size_t kSteps = 16 * G / N;
    static constexpr std::array<uint8_t, 32 *G> kSpread = spread_table<G, N>();
    const hn::Repartition<int16_t, D8> d16;
    const auto lo = hn::BitCast(d16, hn::LoadU(d8, kSpread.data() + k * 2 * N));
    const auto hi = hn::BitCast(d16, hn::LoadU(d8, kSpread.data() + (k * 2 + 1) * N));
    const bool first = k < kSteps / 2 || (G == 2 && N == 32);
    const auto &blue = first ? c.blue_lo : c.blue_hi;
    const auto &green = first ? c.green_lo : c.green_hi;
    const auto &red = first ? c.red_lo : c.red_hi;
    const auto luma_lo = term(d16, hn::BitCast(d16, widen_lower(d8, y8)), kLumaTerm);
    const auto luma_hi = term(d16, hn::BitCast(d16, widen_upper(d8, y8)), kLumaTerm);
    const auto b = narrow_clamped(d8, hn::Add(luma_lo, hn::TableLookupBytes(blue, lo)),
                                  hn::Add(luma_hi, hn::TableLookupBytes(blue, hi)));
    const auto g = narrow_clamped(d8, hn::Sub(luma_lo, hn::TableLookupBytes(green, lo)),
                                  hn::Sub(luma_hi, hn::TableLookupBytes(green, hi)));
    const auto r = narrow_clamped(d8, hn::Add(luma_lo, hn::TableLookupBytes(red, lo)),
                                  hn::Add(luma_hi, hn::TableLookupBytes(red, hi)));
    store_interleaved3_lanes(b, g, r, d8, rgb, m);
}

// Groups of G = 2, 4 or 8: the chroma terms of 16 samples are worked out once for the 16 * G
// pixels they serve, then spread over each vector of them by byte shuffles within 128-bit
// blocks. The pixels are worked in 16-bit lanes in block order, which the narrowing puts back.
template <uint32_t G>
void yuvg_row(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
              const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups) {
    const hn::ScalableTag<uint8_t> d8;
    constexpr size_t N = hn::MaxLanes(d8);
    constexpr uint64_t kSpan = 16 * G;
    static_assert(kSpan % N == 0);
    const uint64_t pixels = G * groups;
    uint64_t i = 0;
    for (; i + kSpan <= pixels; i += kSpan) {
        const auto c = chroma_of<G>(d8, v + i / G, u + i / G);
        for (size_t k = 0; k < kSpan / N; ++k) {
            convert_spread<G>(d8, c, k, hn::LoadU(d8, y + i + k * N), rgb + 3 * (i + k * N), N);
        }
    }
    if (i == pixels) return;
    // Fewer than 16 groups are left: their chroma through a local copy, the pixels in parts.
    HWY_ALIGN uint8_t v_left[16] = {}, u_left[16] = {};
    std::memcpy(v_left, v + i / G, (pixels - i) / G);
    std::memcpy(u_left, u + i / G, (pixels - i) / G);
    const auto c = chroma_of<G>(d8, v_left, u_left);
    for (size_t k = 0; i + k * N < pixels; ++k) {
        const uint64_t at = i + k * N;
        const size_t m = pixels - at < N ? size_t(pixels - at) : N;
        convert_spread<G>(d8, c, k, load_lanes(d8, y + at, m), rgb + 3 * at, m);
    }
}

void yuvn_row_vector(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
                     const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups,
                     uint32_t group, const yuv_tables &) {
    switch (group) {
        case 2:
            return yuvg_row<2>(y, v, u, rgb, groups);
        case 4:
            return yuvg_row<4>(y, v, u, rgb, groups);
        default:
            return yuvg_row<8>(y, v, u, rgb, groups);
    }
}
#else
void yuv1_row_vector(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
                     const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups,
                     uint32_t, const yuv_tables &) {
    convert(y, v, u, rgb, groups);
}

// Groups of 2, 4 or 8: the chroma bytes of a stretch of groups are spread over their pixels in
// local buffers, then converted pixel by pixel.
void yuvn_row_vector(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
                     const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups,
                     uint32_t group, const yuv_tables &) {
    constexpr uint64_t kPixels = 1024;
    const uint64_t stretch = kPixels / group;
    uint8_t v_spread[kPixels], u_spread[kPixels];
    for (uint64_t g = 0; g < groups; g += stretch) {
        const uint64_t n = groups - g < stretch ? groups - g : stretch;
        for (uint64_t k = 0; k < n; ++k) {
            std::memset(v_spread + group * k, v[g + k], group);
            std::memset(u_spread + group * k, u[g + k], group);
        }
        convert(y + group * g, v_spread, u_spread, rgb + 3 * group * g, group * n);
    }
}
#endif
#endif

}  // namespace
}  // namespace tamsa::video::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::video {

TAMSA_HWY_EXPORT(yuv1_row_vector, yuv1_row_hwy);
TAMSA_HWY_EXPORT(yuvn_row_vector, yuvn_row_hwy);

}  // namespace tamsa::video
#endif
