// The unscaled blits' vector kernels, compiled once per target Highway builds for.
#include "gfx/blit_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/blit_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"
#include "kernels/rows_hwy-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
// The vector kernels' shared helpers (kernels/rows_hwy-inl.h).
using namespace kernels::HWY_NAMESPACE;

// Bytes widened to 16-bit lanes, where every sum of a weight in range fits. The divisions are
// multiply-shifts that give the quotient for every 16-bit numerator: x / 100 is (x * 41944) >> 22,
// x / 255 is (x * 32897) >> 23 and x / 3 is (x * 21846) >> 16. Whole vectors only; the rest of the
// row takes the plain kernel. The portable fallback target has no halves: it runs the portable
// kernels.
#if HWY_TARGET != HWY_SCALAR

template <class D16>
HWY_INLINE hn::Vec<D16> div100(D16 d16, hn::Vec<D16> x) {
    return hn::ShiftRight<6>(hn::MulHigh(x, hn::Set(d16, uint16_t(41944))));
}

template <class D16>
HWY_INLINE hn::Vec<D16> div255(D16 d16, hn::Vec<D16> x) {
    return hn::ShiftRight<7>(hn::MulHigh(x, hn::Set(d16, uint16_t(32897))));
}

void trans_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT s, uint64_t bytes,
                      int32_t t) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::RepartitionToWide<decltype(d8)> d16;
    const size_t n = hn::Lanes(d8);
    const auto wd = hn::Set(d16, uint16_t(t));
    const auto ws = hn::Set(d16, uint16_t(100 - t));
    for_each_vector(bytes, n, [&](uint64_t k, size_t m) {
        const auto dv = load_lanes(d8, d + k, m);
        const auto sv = load_lanes(d8, s + k, m);
        const auto lo = hn::Add(hn::Mul(widen_lower(d8, dv), wd), hn::Mul(widen_lower(d8, sv), ws));
        const auto hi = hn::Add(hn::Mul(widen_upper(d8, dv), wd), hn::Mul(widen_upper(d8, sv), ws));
        store_lanes(narrow(d8, div100(d16, lo), div100(d16, hi)), d8, d + k, m);
    });
}

// The pixels' channels are taken apart, so that one weight per pixel serves its three bytes.
template <class D8>
uint64_t alpha_steps(D8 d8, uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT s, uint64_t pixels,
                     int32_t offset, uint64_t i) {
    const hn::RepartitionToWide<D8> d16;
    const size_t n = hn::Lanes(d8);
    const auto top = hn::Set(d16, uint16_t(255 + offset));
    const auto full = hn::Set(d16, uint16_t(255));
    const auto third = hn::Set(d16, uint16_t(21846));
    for (; i + n <= pixels; i += n) {
        hn::Vec<D8> s0, s1, s2, d0, d1, d2;
        hn::LoadInterleaved3(d8, s + 3 * i, s0, s1, s2);
        hn::LoadInterleaved3(d8, d + 3 * i, d0, d1, d2);
        const auto s0l = widen_lower(d8, s0), s1l = widen_lower(d8, s1), s2l = widen_lower(d8, s2);
        const auto s0h = widen_upper(d8, s0), s1h = widen_upper(d8, s1), s2h = widen_upper(d8, s2);
        const auto al =
            hn::Min(hn::Sub(top, hn::MulHigh(hn::Add(hn::Add(s0l, s1l), s2l), third)), full);
        const auto ah =
            hn::Min(hn::Sub(top, hn::MulHigh(hn::Add(hn::Add(s0h, s1h), s2h), third)), full);
        const auto wl = hn::Sub(full, al), wh = hn::Sub(full, ah);
        const auto blend = [&](hn::Vec<D8> dv, hn::Vec<decltype(d16)> sl,
                               hn::Vec<decltype(d16)> sh) {
            const auto lo = hn::Add(hn::Mul(widen_lower(d8, dv), al), hn::Mul(sl, wl));
            const auto hi = hn::Add(hn::Mul(widen_upper(d8, dv), ah), hn::Mul(sh, wh));
            return narrow(d8, div255(d16, lo), div255(d16, hi));
        };
        hn::StoreInterleaved3(blend(d0, s0l, s0h), blend(d1, s1l, s1h), blend(d2, s2l, s2h), d8,
                              d + 3 * i);
    }
    if constexpr (hn::MaxLanes(d8) > 16) {
        return alpha_steps(hn::Half<D8>(), d, s, pixels, offset, i);
    } else {
        return i;
    }
}

// Whole vectors, then halves of them down to 16 pixels; the rest takes the plain kernel.
void alpha_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT s, uint64_t pixels,
                      int32_t offset) {
    const uint64_t i = alpha_steps(hn::ScalableTag<uint8_t>(), d, s, pixels, offset, 0);
    alpha_row(d + 3 * i, s + 3 * i, pixels - i, offset);
}

#else

void trans_row_vector(uint8_t *d, const uint8_t *s, uint64_t bytes, int32_t t) {
    trans_row_fast(d, s, bytes, t);
}

void alpha_row_vector(uint8_t *d, const uint8_t *s, uint64_t pixels, int32_t offset) {
    alpha_row_fast(d, s, pixels, offset);
}

#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(trans_row_vector, trans_row_hwy);
TAMSA_HWY_EXPORT(alpha_row_vector, alpha_row_hwy);

}  // namespace tamsa::gfx
#endif
