// The cross-fade's vector kernel, compiled once per target Highway builds for.
#include "video/fade_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "video/fade_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace tamsa::video::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Whole vectors of bytes widened to 16-bit lanes, where every sum of a level 0..255 fits;
// x / 255 is (x + 1 + (x >> 8)) >> 8 over all of 0..65025. A block's bytes are all read before
// any is written, so a target that is one of the sources is blended in order. The bytes after
// the last whole vector take the plain kernel.
void fade_row_vector(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
                     int32_t level) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::RebindToSigned<decltype(d16)> di16;  // bytes are demoted from signed lanes
    const size_t n = hn::Lanes(d16);
    const auto second_weight = hn::Set(d16, uint16_t(level));
    const auto first_weight = hn::Set(d16, uint16_t(255 - level));
    const auto one = hn::Set(d16, uint16_t(1));
    uint64_t i = 0;
    for (; i + n <= count; i += n) {
        const auto a = hn::PromoteTo(d16, hn::LoadU(d8, first + i));
        const auto b = hn::PromoteTo(d16, hn::LoadU(d8, second + i));
        const auto sum = hn::Add(hn::Mul(a, first_weight), hn::Mul(b, second_weight));
        const auto quotient = hn::ShiftRight<8>(hn::Add(hn::Add(sum, one), hn::ShiftRight<8>(sum)));
        hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, quotient)), d8, target + i);
    }
    fade_row(first + i, second + i, target + i, count - i, level);
}

}  // namespace tamsa::video::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::video {

HWY_EXPORT(fade_row_vector);

fade_row_fn fade_row_hwy() {
    return &HWY_DYNAMIC_DISPATCH(fade_row_vector);
}

}  // namespace tamsa::video
#endif
