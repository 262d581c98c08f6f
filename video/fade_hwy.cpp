// The cross-fade's vector kernel, compiled once per target Highway builds for.
#include "video/fade_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "video/fade_hwy.cpp"
#include <hwy/cache_control.h>
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
void fade_row_vector(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
                     int32_t level) {
    fade_row_fast(first, second, target, count, level);
}
#elif HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_AVX2
// Without AVX-512 the bytes of both sources are paired and each pair multiplied and added in one
// step (unsigned weights times signed bytes): the bytes are taken as b - 128, so that the sum,
// (a - 128) * (255 - level) + (b - 128) * level, lies in -32640..32385 and never saturates;
// adding 128 * 255 back gives the sum of the rule, whose quotient by 255 is
// (x * 0x8081) >> 23. Two vectors a step; a block's bytes are all read before any is written,
// so a target that is one of the sources is blended in order. The rest of the row takes the
// plain kernel.
template <class D8>
HWY_INLINE hn::Vec<D8> fade_bytes(D8 d8, hn::Vec<D8> a, hn::Vec<D8> b, hn::Vec<D8> weights) {
    const hn::RepartitionToWide<D8> d16;
    const auto flip = hn::Set(d8, uint8_t{0x80});
    const auto back = hn::Set(d16, uint16_t{128 * 255});
    const auto reciprocal = hn::Set(d16, uint16_t{0x8081});
    a = hn::Xor(a, flip);
    b = hn::Xor(b, flip);
    const auto quotient = [&](hn::Vec<D8> pairs) {
#if HWY_TARGET == HWY_AVX2
        const hn::Vec<decltype(d16)> sum{_mm256_maddubs_epi16(weights.raw, pairs.raw)};
#else
        const hn::Vec<decltype(d16)> sum{_mm_maddubs_epi16(weights.raw, pairs.raw)};
#endif
        return hn::ShiftRight<7>(hn::MulHigh(hn::Add(sum, back), reciprocal));
    };
    const auto lo = quotient(hn::InterleaveLower(d8, a, b));
    const auto hi = quotient(hn::InterleaveUpper(d8, a, b));
#if HWY_TARGET == HWY_AVX2
    return hn::Vec<D8>{_mm256_packus_epi16(lo.raw, hi.raw)};
#else
    return hn::Vec<D8>{_mm_packus_epi16(lo.raw, hi.raw)};
#endif
}

void fade_row_vector(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
                     int32_t level) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::RepartitionToWide<decltype(d8)> d16;
    const size_t n = hn::Lanes(d8);
    // Low byte: the first source's weight; high byte: the second's.
    const auto weights = hn::BitCast(d8, hn::Set(d16, uint16_t((level << 8) | (255 - level))));
    uint64_t i = 0;
    for (; i + 2 * n <= count; i += 2 * n) {
        const auto a0 = hn::LoadU(d8, first + i), a1 = hn::LoadU(d8, first + i + n);
        const auto b0 = hn::LoadU(d8, second + i), b1 = hn::LoadU(d8, second + i + n);
        hn::StoreU(fade_bytes(d8, a0, b0, weights), d8, target + i);
        hn::StoreU(fade_bytes(d8, a1, b1, weights), d8, target + i + n);
    }
    fade_row(first + i, second + i, target + i, count - i, level);
}
#else
// Whole vectors of bytes, taken as 16-bit lanes: the even bytes are the low halves, the odd
// ones the high halves, so no lane is widened or narrowed. Every sum of a level 0..255 fits 16
// bits, and x / 255 is (x * 0x8081) >> 23 over all of them: the high half of the product shifted
// by 7. A block's bytes are all read before any is written, so a target that is one of the
// sources is blended in order (and no pointer is restrict); the last part of a vector is read
// and written alone.
void fade_row_vector(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
                     int32_t level) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const size_t n = hn::Lanes(d8);
    const auto second_weight = hn::Set(d16, uint16_t(level));
    const auto first_weight = hn::Set(d16, uint16_t(255 - level));
    const auto low_byte = hn::Set(d16, uint16_t{0xff});
    const auto reciprocal = hn::Set(d16, uint16_t{0x8081});
    constexpr uint64_t kAhead = 1024;
    for_each_vector(count, n, [&](uint64_t i, size_t m) {
        if (count - i > kAhead) {
            hwy::Prefetch(first + i + kAhead);
            hwy::Prefetch(second + i + kAhead);
        }
        const auto a = hn::BitCast(d16, load_lanes(d8, first + i, m));
        const auto b = hn::BitCast(d16, load_lanes(d8, second + i, m));
        const auto even = hn::Add(hn::Mul(hn::And(a, low_byte), first_weight),
                                  hn::Mul(hn::And(b, low_byte), second_weight));
        const auto odd = hn::Add(hn::Mul(hn::ShiftRight<8>(a), first_weight),
                                 hn::Mul(hn::ShiftRight<8>(b), second_weight));
        const auto even_quotient = hn::ShiftRight<7>(hn::MulHigh(even, reciprocal));
        const auto odd_quotient = hn::ShiftRight<7>(hn::MulHigh(odd, reciprocal));
        const auto blend = hn::Or(even_quotient, hn::ShiftLeft<8>(odd_quotient));
        store_lanes(hn::BitCast(d8, blend), d8, target + i, m);
    });
}
#endif

}  // namespace
}  // namespace tamsa::video::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::video {

TAMSA_HWY_EXPORT(fade_row_vector, fade_row_hwy);

}  // namespace tamsa::video
#endif
