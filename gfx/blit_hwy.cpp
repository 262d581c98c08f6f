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

#if HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_AVX2

// Without AVX-512 the bytes stay in pixel order, three vectors to 16 pixels in each 128-bit
// block (48 bytes apart on AVX2), and each pixel's weight is spread over its bytes by shuffles:
// no channel is taken apart and put back. A destination byte and its source byte are blended in
// one step that multiplies pairs of unsigned weights by signed bytes and adds them: the bytes are
// taken as b - 128, so that a * (d - 128) + (255 - a) * (s - 128) never saturates, and adding
// 128 * 255 back gives the rule's sum.
template <class D8>
HWY_INLINE hn::Vec<D8> load_blocks(D8 d8, const uint8_t *p) {
#if HWY_TARGET == HWY_AVX2
    (void)d8;
    const __m128i lower = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i upper = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    return hn::Vec<D8>{_mm256_inserti128_si256(_mm256_castsi128_si256(lower), upper, 1)};
#else
    return hn::LoadU(d8, p);
#endif
}

template <class D8>
HWY_INLINE void store_blocks(hn::Vec<D8> v, D8 d8, uint8_t *p) {
#if HWY_TARGET == HWY_AVX2
    (void)d8;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm256_castsi256_si128(v.raw));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 48), _mm256_extracti128_si256(v.raw, 1));
#else
    hn::StoreU(v, d8, p);
#endif
}

// Unsigned bytes of a times signed bytes of b, adjacent products added in 16 bits.
template <class D8>
HWY_INLINE hn::Vec<hn::RepartitionToWide<D8>> pair_sums(hn::Vec<D8> a, hn::Vec<D8> b) {
#if HWY_TARGET == HWY_AVX2
    return hn::Vec<hn::RepartitionToWide<D8>>{_mm256_maddubs_epi16(a.raw, b.raw)};
#else
    return hn::Vec<hn::RepartitionToWide<D8>>{_mm_maddubs_epi16(a.raw, b.raw)};
#endif
}

// 16-bit lanes to bytes, block by block (values 0..255 only).
template <class D8>
HWY_INLINE hn::Vec<D8> pack(hn::Vec<hn::RepartitionToWide<D8>> lower,
                            hn::Vec<hn::RepartitionToWide<D8>> upper) {
#if HWY_TARGET == HWY_AVX2
    return hn::Vec<D8>{_mm256_packus_epi16(lower.raw, upper.raw)};
#else
    return hn::Vec<D8>{_mm_packus_epi16(lower.raw, upper.raw)};
#endif
}

void alpha_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT s, uint64_t pixels,
                      int32_t offset) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::RepartitionToWide<decltype(d8)> d16;
    using V8 = hn::Vec<decltype(d8)>;
    constexpr uint8_t Z = 0x80;
    // Per block of 16 pixels (bytes 0..47 in A, B, C): the first two bytes of pixels 0..7 and
    // of 8..15 as byte pairs, and their third bytes as 16-bit lanes, each gathered from two
    // vectors.
    alignas(16) static constexpr uint8_t kPairsA[16] = {0,  1,  3,  4, 6, 7, 9, 10,
                                                        12, 13, 15, Z, Z, Z, Z, Z};
    alignas(16) static constexpr uint8_t kPairsB[16] = {Z, Z, Z, Z, Z, Z, Z, Z,
                                                        Z, Z, Z, 0, 2, 3, 5, 6};
    alignas(16) static constexpr uint8_t kThirdA[16] = {2,  Z, 5, Z, 8, Z, 11, Z,
                                                        14, Z, Z, Z, Z, Z, Z,  Z};
    alignas(16) static constexpr uint8_t kThirdB[16] = {Z, Z, Z, Z, Z, Z, Z, Z,
                                                        Z, Z, 1, Z, 4, Z, 7, Z};
    alignas(16) static constexpr uint8_t kPairsB2[16] = {8, 9, 11, 12, 14, 15, Z, Z,
                                                         Z, Z, Z,  Z,  Z,  Z,  Z, Z};
    alignas(16) static constexpr uint8_t kPairsC[16] = {Z, Z, Z, Z, Z,  Z,  1,  2,
                                                        4, 5, 7, 8, 10, 11, 13, 14};
    alignas(16) static constexpr uint8_t kThirdB2[16] = {10, Z, 13, Z, Z, Z, Z, Z,
                                                         Z,  Z, Z,  Z, Z, Z, Z, Z};
    alignas(16) static constexpr uint8_t kThirdC[16] = {Z, Z, Z, Z, 0,  Z, 3,  Z,
                                                        6, Z, 9, Z, 12, Z, 15, Z};
    // The (weight, 255 - weight) pairs of 8 pixels over the 24 bytes of their pixels.
    alignas(16) static constexpr uint8_t kSpread0[16] = {0, 1, 0, 1, 0, 1, 2, 3,
                                                         2, 3, 2, 3, 4, 5, 4, 5};
    alignas(16) static constexpr uint8_t kSpread1[16] = {4, 5, 6, 7, 6, 7, 6,  7,
                                                         8, 9, 8, 9, 8, 9, 10, 11};
    alignas(16) static constexpr uint8_t kSpread2[16] = {10, 11, 10, 11, 12, 13, 12, 13,
                                                         12, 13, 14, 15, 14, 15, 14, 15};
    const auto table = [&](const uint8_t *t) { return hn::LoadDup128(d8, t); };
    const V8 pairs_a = table(kPairsA), pairs_b = table(kPairsB), third_a = table(kThirdA),
             third_b = table(kThirdB), pairs_b2 = table(kPairsB2), pairs_c = table(kPairsC),
             third_b2 = table(kThirdB2), third_c = table(kThirdC), spread0 = table(kSpread0),
             spread1 = table(kSpread1), spread2 = table(kSpread2);
    const V8 ones = hn::Set(d8, uint8_t{1});
    const V8 flip = hn::Set(d8, uint8_t{0x80});
    const auto top = hn::Set(d16, uint16_t(255 + offset));
    const auto full = hn::Set(d16, uint16_t{255});
    const auto third = hn::Set(d16, uint16_t{21846});
    const auto back = hn::Set(d16, uint16_t{128 * 255});
    const auto reciprocal = hn::Set(d16, uint16_t{32897});
    // 16 pixels for every 16 bytes of a vector.
    uint64_t i = 0;
    for (; i + hn::Lanes(d8) <= pixels; i += hn::Lanes(d8)) {
        uint8_t *dp = d + 3 * i;
        const uint8_t *sp = s + 3 * i;
        const V8 sa = load_blocks(d8, sp), sb = load_blocks(d8, sp + 16),
                 sc = load_blocks(d8, sp + 32);
        // Brightness sums of pixels 0..7 and 8..15, and from them the weights.
        const auto lo_sum = hn::Add(
            pair_sums<decltype(d8)>(
                hn::Or(hn::TableLookupBytesOr0(sa, pairs_a), hn::TableLookupBytesOr0(sb, pairs_b)),
                ones),
            hn::BitCast(d16, hn::Or(hn::TableLookupBytesOr0(sa, third_a),
                                    hn::TableLookupBytesOr0(sb, third_b))));
        const auto hi_sum = hn::Add(
            pair_sums<decltype(d8)>(
                hn::Or(hn::TableLookupBytesOr0(sb, pairs_b2), hn::TableLookupBytesOr0(sc, pairs_c)),
                ones),
            hn::BitCast(d16, hn::Or(hn::TableLookupBytesOr0(sb, third_b2),
                                    hn::TableLookupBytesOr0(sc, third_c))));
        const auto weight = [&](hn::Vec<decltype(d16)> sum) {
            return hn::Min(hn::Sub(top, hn::MulHigh(sum, third)), full);
        };
        const V8 a = pack<decltype(d8)>(weight(lo_sum), weight(hi_sum));
        const V8 na = hn::Not(a);
        const V8 lo_weights = hn::InterleaveLower(d8, a, na);
        const V8 hi_weights = hn::InterleaveUpper(d8, a, na);
        // Each destination byte beside its source byte, both taken as signed: the first 8
        // bytes of a block take the weights `lower`, the others `upper`.
        const auto blend = [&](const uint8_t *at_d, V8 sv, V8 lower, V8 upper) {
            const V8 dv = hn::Xor(load_blocks(d8, at_d), flip);
            sv = hn::Xor(sv, flip);
            const auto quotient = [&](V8 weights, V8 bytes) {
                const auto x = hn::Add(pair_sums<decltype(d8)>(weights, bytes), back);
                return hn::ShiftRight<7>(hn::MulHigh(x, reciprocal));
            };
            return pack<decltype(d8)>(quotient(lower, hn::InterleaveLower(d8, dv, sv)),
                                      quotient(upper, hn::InterleaveUpper(d8, dv, sv)));
        };
        // Bytes 0..23 take the weights of pixels 0..7, bytes 24..47 those of 8..15.
        const V8 out_a = blend(dp, sa, hn::TableLookupBytes(lo_weights, spread0),
                               hn::TableLookupBytes(lo_weights, spread1));
        const V8 out_b = blend(dp + 16, sb, hn::TableLookupBytes(lo_weights, spread2),
                               hn::TableLookupBytes(hi_weights, spread0));
        const V8 out_c = blend(dp + 32, sc, hn::TableLookupBytes(hi_weights, spread1),
                               hn::TableLookupBytes(hi_weights, spread2));
        store_blocks(out_a, d8, dp);
        store_blocks(out_b, d8, dp + 16);
        store_blocks(out_c, d8, dp + 32);
    }
    alpha_row(d + 3 * i, s + 3 * i, pixels - i, offset);
}

#else

// Whole vectors, then halves of them down to 16 pixels; the rest takes the plain kernel.
void alpha_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT s, uint64_t pixels,
                      int32_t offset) {
    const uint64_t i = alpha_steps(hn::ScalableTag<uint8_t>(), d, s, pixels, offset, 0);
    alpha_row(d + 3 * i, s + 3 * i, pixels - i, offset);
}

#endif

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
