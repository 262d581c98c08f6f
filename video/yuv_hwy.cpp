// The YUV conversion as vector kernels, compiled once per target Highway builds for: the table
// terms as 16-bit multiply-high arithmetic, the clamps as saturating demotions.
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

void yuv1_row_vector(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
                     const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups,
                     uint32_t, const yuv_tables &) {
    convert(y, v, u, rgb, groups);
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

// A vector of pixels whose chroma bytes have been spread over them; its first m pixels go out.
template <class D8>
HWY_INLINE void convert_spread(D8 d8, hn::Vec<D8> y8, hn::Vec<D8> v8, hn::Vec<D8> u8,
                               uint8_t *HWY_RESTRICT rgb, size_t m) {
    const hn::Repartition<int16_t, D8> d16;
    const auto luma_lo = term(d16, hn::BitCast(d16, widen_lower(d8, y8)), kLumaTerm);
    const auto luma_hi = term(d16, hn::BitCast(d16, widen_upper(d8, y8)), kLumaTerm);
    const auto u_lo = hn::BitCast(d16, widen_lower(d8, u8));
    const auto u_hi = hn::BitCast(d16, widen_upper(d8, u8));
    const auto v_lo = hn::BitCast(d16, widen_lower(d8, v8));
    const auto v_hi = hn::BitCast(d16, widen_upper(d8, v8));
    const auto blue = narrow_clamped(d8, hn::Add(luma_lo, term(d16, u_lo, kBlueUTerm)),
                                     hn::Add(luma_hi, term(d16, u_hi, kBlueUTerm)));
    const auto green_lo = hn::Add(term(d16, u_lo, kGreenUTerm), term(d16, v_lo, kGreenVTerm));
    const auto green_hi = hn::Add(term(d16, u_hi, kGreenUTerm), term(d16, v_hi, kGreenVTerm));
    const auto green = narrow_clamped(d8, hn::Sub(luma_lo, green_lo), hn::Sub(luma_hi, green_hi));
    const auto red = narrow_clamped(d8, hn::Add(luma_lo, term(d16, v_lo, kRedVTerm)),
                                    hn::Add(luma_hi, term(d16, v_hi, kRedVTerm)));
    store_interleaved3_lanes(blue, green, red, d8, rgb, m);
}

// Groups of G = 2, 4 or 8: 16 chroma bytes, repeated in every 128-bit block, serve 16 * G
// pixels; a byte shuffle spreads them over each vector of pixels, block by block, and the
// pixels are worked in 16-bit lanes in block order, which the narrowing puts back.
template <uint32_t G>
void yuvg_row(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
              const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups) {
    constexpr int kShift = G == 2 ? 1 : G == 4 ? 2 : 3;
    const hn::ScalableTag<uint8_t> d8;
    constexpr size_t N = hn::MaxLanes(d8);
    constexpr uint64_t kSpan = 16 * G;
    static_assert(kSpan % N == 0);
    // Pixel k * N + i of a span takes chroma byte (k * N + i) / G.
    const auto spread = [&](size_t k) {
        return hn::ShiftRight<kShift>(hn::Iota(d8, uint8_t(k * N)));
    };
    const uint64_t pixels = G * groups;
    uint64_t i = 0;
    for (; i + kSpan <= pixels; i += kSpan) {
        const auto vs = hn::LoadDup128(d8, v + i / G);
        const auto us = hn::LoadDup128(d8, u + i / G);
        for (size_t k = 0; k < kSpan / N; ++k) {
            const auto index = spread(k);
            convert_spread(d8, hn::LoadU(d8, y + i + k * N), hn::TableLookupBytes(vs, index),
                           hn::TableLookupBytes(us, index), rgb + 3 * (i + k * N), N);
        }
    }
    if (i == pixels) return;
    // Fewer than 16 groups are left: their chroma through a local copy, the pixels in parts.
    HWY_ALIGN uint8_t v_left[16] = {}, u_left[16] = {};
    std::memcpy(v_left, v + i / G, (pixels - i) / G);
    std::memcpy(u_left, u + i / G, (pixels - i) / G);
    const auto vs = hn::LoadDup128(d8, v_left);
    const auto us = hn::LoadDup128(d8, u_left);
    for (size_t k = 0; i + k * N < pixels; ++k) {
        const uint64_t at = i + k * N;
        const size_t m = pixels - at < N ? size_t(pixels - at) : N;
        const auto index = spread(k);
        convert_spread(d8, load_lanes(d8, y + at, m), hn::TableLookupBytes(vs, index),
                       hn::TableLookupBytes(us, index), rgb + 3 * at, m);
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
