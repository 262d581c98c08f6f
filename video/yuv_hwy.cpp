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

// Vectors of pixels, each with its own chroma byte.
void convert(const uint8_t *HWY_RESTRICT y, const uint8_t *HWY_RESTRICT v,
             const uint8_t *HWY_RESTRICT u, uint8_t *HWY_RESTRICT rgb, uint64_t pixels) {
    const hn::ScalableTag<int16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    for_each_vector(pixels, hn::Lanes(d16), [&](uint64_t i, size_t m) {
        const auto luma = term(d16, hn::PromoteTo(d16, load_lanes(d8, y + i, m)), kLumaTerm);
        const auto u16 = hn::PromoteTo(d16, load_lanes(d8, u + i, m));
        const auto v16 = hn::PromoteTo(d16, load_lanes(d8, v + i, m));
        const auto blue = term(d16, u16, kBlueUTerm);
        const auto green = hn::Add(term(d16, u16, kGreenUTerm), term(d16, v16, kGreenVTerm));
        const auto red = term(d16, v16, kRedVTerm);
        store_interleaved3_lanes(hn::DemoteTo(d8, hn::Add(luma, blue)),
                                 hn::DemoteTo(d8, hn::Sub(luma, green)),
                                 hn::DemoteTo(d8, hn::Add(luma, red)), d8, rgb + 3 * i, m);
    });
}

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

}  // namespace
}  // namespace tamsa::video::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::video {

TAMSA_HWY_EXPORT(yuv1_row_vector, yuv1_row_hwy);
TAMSA_HWY_EXPORT(yuvn_row_vector, yuvn_row_hwy);

}  // namespace tamsa::video
#endif
