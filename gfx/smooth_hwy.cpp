// The smoothing's vector kernel, compiled once per target Highway builds for.
#include "gfx/smooth_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/smooth_hwy.cpp"
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

#if HWY_TARGET != HWY_SCALAR

// The average of x and y, rounded up. Highway's AverageRound on SVE without SVE2 adds in the
// lanes' own width, so that sums past 255 wrap: there it is (x | y) - ((x ^ y) >> 1), exact for
// every pair.
template <class V>
HWY_INLINE V average_round(V x, V y) {
#if HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE_256
    return hn::Sub(hn::Or(x, y), hn::ShiftRight<1>(hn::Xor(x, y)));
#else
    return hn::AverageRound(x, y);
#endif
}

// In bytes, without widening. With x / 2 for the halving that rounds down, as a byte average that
// rounds up less the low bit of x ^ y: p = (l + r) / 2 with a the low bit of l + r, likewise
// q = (u + d) / 2 with b; then (l + r + u + d) / 4 = (p + q + (a & b)) / 2, which is the average
// of p and q rounded up where p + q is odd and a & b is 1, rounded down elsewhere; and the
// result is the average of the centre and that, rounded down. (The sums of two bytes, p + q and
// the carries cover every case: 2p + a + 2q + b over 4 rounds down to (p + q + (a & b)) / 2.)
// Rows shorter than a vector take the plain kernel.
void smooth_row_vector(const uint8_t *HWY_RESTRICT above, const uint8_t *HWY_RESTRICT mid,
                       const uint8_t *HWY_RESTRICT below, uint8_t *HWY_RESTRICT out, uint64_t bytes,
                       int32_t depth) {
    if (bytes < uint64_t(3 * depth)) return;
    const hn::ScalableTag<uint8_t> d8;
    const size_t n = hn::Lanes(d8);
    const auto d = uint64_t(depth);
    const auto one = hn::Set(d8, uint8_t(1));
    using V = hn::Vec<decltype(d8)>;
    // The average rounded down, and the low bit of the sum.
    const auto half_down = [&](V x, V y, V &odd) {
        odd = hn::And(hn::Xor(x, y), one);
        return hn::Sub(average_round(x, y), odd);
    };
    const auto step = [&](uint64_t i) {
        V a, b, pq_odd, c_odd;
        const V p = half_down(hn::LoadU(d8, mid + i - d), hn::LoadU(d8, mid + i + d), a);
        const V q = half_down(hn::LoadU(d8, above + i), hn::LoadU(d8, below + i), b);
        const V down = half_down(p, q, pq_odd);
        const V quarter = hn::Add(down, hn::And(pq_odd, hn::And(a, b)));
        hn::StoreU(half_down(hn::LoadU(d8, mid + i), quarter, c_odd), d8, out + i);
    };
    if (bytes < n + 2 * d) {
        smooth_row(above, mid, below, out, bytes, depth);
        return;
    }
    // The last vector ends where the row's inner bytes end; the bytes it computes again come out
    // the same, since the rows read are not the row written.
    for_each_vector_overlapping(d, bytes - d, n, step);
}

#else

void smooth_row_vector(const uint8_t *above, const uint8_t *mid, const uint8_t *below, uint8_t *out,
                       uint64_t bytes, int32_t depth) {
    smooth_row_fast(above, mid, below, out, bytes, depth);
}

#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(smooth_row_vector, smooth_row_hwy);

}  // namespace tamsa::gfx
#endif
