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
// Groups of G = 2, 4 or 8 where the bytes of a vector of pixels fit in one 128-bit block: one
// vector of chroma bytes serves G vectors of pixels, each spreading its share over its pixels
// with a byte shuffle.
template <uint32_t G>
void yuvg_row(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
              const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t groups) {
    constexpr int kShift = G == 2 ? 1 : G == 4 ? 2 : 3;
    const hn::ScalableTag<int16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    constexpr size_t N = hn::MaxLanes(d16);
    static_assert(N <= 16 && N % G == 0);
    // The chroma byte of pixel k * N + i of a step is byte (k * N + i) / G of its chroma.
    const auto spread = [&](size_t k) { return hn::ShiftRight<kShift>(hn::Iota(d8, k * N)); };
    uint64_t g = 0;
    for (; g + N <= groups; g += N) {
        const auto vs = hn::LoadU(d8, v + g);
        const auto us = hn::LoadU(d8, u + g);
        const uint8_t *yk = y + G * g;
        uint8_t *out = rgb + 3 * G * g;
        for (size_t k = 0; k < G; ++k, yk += N, out += 3 * N) {
            const auto index = spread(k);
            convert_vector(d16, hn::LoadU(d8, yk), hn::TableLookupBytes(vs, index),
                           hn::TableLookupBytes(us, index), out, N);
        }
    }
    if (g == groups) return;
    // Fewer than N groups are left: their chroma through a local copy, the pixels in parts.
    HWY_ALIGN uint8_t v_left[N] = {}, u_left[N] = {};
    std::memcpy(v_left, v + g, groups - g);
    std::memcpy(u_left, u + g, groups - g);
    const auto vs = hn::Load(d8, v_left);
    const auto us = hn::Load(d8, u_left);
    const uint64_t pixels = G * (groups - g);
    for (size_t k = 0; k * N < pixels; ++k) {
        const size_t m = pixels - k * N < N ? size_t(pixels - k * N) : N;
        const auto index = spread(k);
        convert_vector(d16, load_lanes(d8, y + G * g + k * N, m), hn::TableLookupBytes(vs, index),
                       hn::TableLookupBytes(us, index), rgb + 3 * (G * g + k * N), m);
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
