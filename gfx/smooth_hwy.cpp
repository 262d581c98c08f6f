// The smoothing's vector kernel, compiled once per target Highway builds for.
#include "gfx/smooth_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/smooth_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "gfx/bytes_hwy-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// The five bytes of each output byte widened to 16-bit lanes, where their sum fits; the
// quarter and the half are shifts of sums that are never negative. Whole vectors only; the rest
// of the row takes the plain kernel as a row of its own that starts one pixel before it.
void smooth_row_vector(const uint8_t *HWY_RESTRICT above, const uint8_t *HWY_RESTRICT mid,
                       const uint8_t *HWY_RESTRICT below, uint8_t *HWY_RESTRICT out, uint64_t bytes,
                       int32_t depth) {
    if (bytes < uint64_t(3 * depth)) return;
    const hn::ScalableTag<uint8_t> d8;
    const size_t n = hn::Lanes(d8);
    const auto d = uint64_t(depth);
    uint64_t i = d;
    for (; i + n + d <= bytes; i += n) {
        const auto c = hn::LoadU(d8, mid + i);
        const auto l = hn::LoadU(d8, mid + i - d);
        const auto r = hn::LoadU(d8, mid + i + d);
        const auto u = hn::LoadU(d8, above + i);
        const auto b = hn::LoadU(d8, below + i);
        const auto half = [&](auto widen) {
            const auto s = hn::Add(hn::Add(widen(l), widen(r)), hn::Add(widen(u), widen(b)));
            return hn::ShiftRight<1>(hn::Add(widen(c), hn::ShiftRight<2>(s)));
        };
        const auto lower = half([&](hn::Vec<decltype(d8)> v) { return widen_lower(d8, v); });
        const auto upper = half([&](hn::Vec<decltype(d8)> v) { return widen_upper(d8, v); });
        hn::StoreU(narrow(d8, lower, upper), d8, out + i);
    }
    smooth_row(above + i - d, mid + i - d, below + i - d, out + i - d, bytes - i + d, depth);
}

#else

void smooth_row_vector(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                       uint64_t bytes, int32_t depth) {
    smooth_row_fast(above, mid, below, out, bytes, depth);
}

#endif

}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

HWY_EXPORT(smooth_row_vector);

smooth_row_fn smooth_row_hwy() {
    return &HWY_DYNAMIC_DISPATCH(smooth_row_vector);
}

}  // namespace tamsa::gfx
#endif
