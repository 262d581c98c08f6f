// The ordered dither's vector kernel, compiled once per target Highway builds for.
#include "gfx/dither_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/dither_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;

// 255 in each byte of v at least its threshold in t, else 0: the byte is the maximum of the two.
template <class D8>
HWY_INLINE hn::Vec<D8> at_least(D8 d8, hn::Vec<D8> v, hn::Vec<D8> t) {
    return hn::VecFromMask(d8, hn::Eq(hn::Max(v, t), v));
}

// The step of a vector's worth of pixels from pixel x, whose first byte lies at phase in the
// period of the spelled thresholds.
template <class D8>
HWY_INLINE void dither_step(D8 d8, const uint8_t *HWY_RESTRICT source, uint8_t *HWY_RESTRICT result,
                            int32_t depth, const uint8_t *HWY_RESTRICT spelled, uint64_t x,
                            uint64_t phase) {
    const size_t lanes = hn::Lanes(d8);
    const uint8_t *t = spelled + phase;
    if (depth == 3) {
        const uint8_t *s = source + 3 * x;
        uint8_t *r = result + 3 * x;
        hn::StoreU(at_least(d8, hn::LoadU(d8, s), hn::LoadU(d8, t)), d8, r);
        hn::StoreU(at_least(d8, hn::LoadU(d8, s + lanes), hn::LoadU(d8, t + lanes)), d8, r + lanes);
        hn::StoreU(at_least(d8, hn::LoadU(d8, s + 2 * lanes), hn::LoadU(d8, t + 2 * lanes)), d8,
                   r + 2 * lanes);
    } else {
        const auto v = at_least(d8, hn::LoadU(d8, source + x), hn::LoadU(d8, t));
        hn::StoreInterleaved3(v, v, v, d8, result + 3 * x);
    }
}

// The thresholds of a row repeat every n pixels, 3n bytes; each step loads them from the spelled
// row where the step starts in its period. Each step takes whole pixels; rows shorter than a
// step take the plain kernel. The last step ends with the row; the pixels it dithers again come
// out the same, since the source is not the result. (The shared overlapping tail does not fit:
// the steps track their phase by adding, and only the last one works it out afresh.)
void dither_row_vector(const uint8_t *HWY_RESTRICT source, uint8_t *HWY_RESTRICT result,
                       uint64_t pixels, int32_t depth, const uint8_t *HWY_RESTRICT thresholds,
                       int32_t n, const uint8_t *HWY_RESTRICT spelled, uint64_t first) {
    const hn::ScalableTag<uint8_t> d8;
    const size_t lanes = hn::Lanes(d8);
    const auto per_pixel = uint64_t(depth == 3 ? 3 : 1);
    const uint64_t period = per_pixel * uint64_t(n);
    if (pixels < lanes) {
        dither_row(source, result, pixels, depth, thresholds, n, spelled, first);
        return;
    }
    uint64_t phase = per_pixel * (first % uint64_t(n));
    const uint64_t step = per_pixel * lanes % period;
    for (uint64_t x = 0; x + lanes <= pixels; x += lanes) {
        dither_step(d8, source, result, depth, spelled, x, phase);
        phase += step;
        if (phase >= period) phase -= period;
    }
    const uint64_t last = pixels - lanes;
    dither_step(d8, source, result, depth, spelled, last,
                per_pixel * ((first + last) % uint64_t(n)));
}

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(dither_row_vector, dither_row_hwy);

}  // namespace tamsa::gfx
#endif
