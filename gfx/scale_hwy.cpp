// The nearest-neighbour gather as a vector kernel, compiled once per target Highway builds for.
#include <cstring>

#include "gfx/scale_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/scale_hwy.cpp"
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

#if HWY_TARGET == HWY_SCALAR
// One lane per vector gains nothing over the portable kernel.
void gather_row_vector(const uint8_t *row, uint8_t *out, const gather_plan &plan) {
    gather_row_fast(row, out, plan);
}
#elif HWY_ARCH_X86 && HWY_MAX_BYTES >= 32
// Two 16-byte blocks of the result a step, each in its own half of a 32-byte vector (byte
// lookups stay within halves): block j is looked up in the 32-byte window its plan names, in
// the window's two halves chosen by bit 4 of the lane. A window that reaches past the readable
// bytes goes through a small local buffer.
void gather_row_vector(const uint8_t *HWY_RESTRICT row, uint8_t *HWY_RESTRICT out,
                       const gather_plan &plan) {
    const hn::FixedTag<uint8_t, 32> d;
    const hn::FixedTag<uint8_t, 16> dh;
    const auto low_bits = hn::Set(d, uint8_t{15});
    const auto high_half = hn::Set(d, uint8_t{16});
    const uint64_t bytes = uint64_t(plan.pixels) * plan.depth;
    uint8_t copies[2][32] = {};
    const auto window = [&](uint64_t block, int which) {
        const uint32_t base = plan.bases[block];
        if (plan.readable - base >= 32) return row + base;
        std::memcpy(copies[which], row + base, plan.readable - base);
        return static_cast<const uint8_t *>(copies[which]);
    };
    for_each_vector(bytes, 32, [&](uint64_t k, size_t m) {
        const uint8_t *first = window(k / 16, 0);
        const uint8_t *second = m > 16 ? window(k / 16 + 1, 1) : first;
        const auto lanes = hn::LoadU(d, plan.lanes + k);
        const auto index = hn::And(lanes, low_bits);
        const auto low = hn::Combine(d, hn::LoadU(dh, second), hn::LoadU(dh, first));
        const auto high = hn::Combine(d, hn::LoadU(dh, second + 16), hn::LoadU(dh, first + 16));
        const auto result =
            hn::IfThenElse(hn::TestBit(lanes, high_half), hn::TableLookupBytes(high, index),
                           hn::TableLookupBytes(low, index));
        store_lanes(result, d, out + k, m);
    });
}
#else
// Each 16-byte block of the result is looked up in the 32-byte window its plan names: byte
// lookups in the window's two halves, chosen by bit 4 of the lane. A window that reaches past
// the readable bytes goes through a small local buffer.
void gather_row_vector(const uint8_t *HWY_RESTRICT row, uint8_t *HWY_RESTRICT out,
                       const gather_plan &plan) {
    const hn::FixedTag<uint8_t, 16> d;
    const auto low_bits = hn::Set(d, uint8_t{15});
    const auto high_half = hn::Set(d, uint8_t{16});
    const uint64_t bytes = uint64_t(plan.pixels) * plan.depth;
    for_each_vector(bytes, 16, [&](uint64_t k, size_t m) {
        const uint32_t base = plan.bases[k / 16];
        const uint8_t *window = row + base;
        uint8_t copy[32] = {};
        if (plan.readable - base < 32) {
            std::memcpy(copy, window, plan.readable - base);
            window = copy;
        }
        const auto lanes = hn::LoadU(d, plan.lanes + k);
        const auto index = hn::And(lanes, low_bits);
        const auto from_low = hn::TableLookupBytes(hn::LoadU(d, window), index);
        const auto from_high = hn::TableLookupBytes(hn::LoadU(d, window + 16), index);
        const auto result = hn::IfThenElse(hn::TestBit(lanes, high_half), from_high, from_low);
        store_lanes(result, d, out + k, m);
    });
}
#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(gather_row_vector, gather_row_hwy);

}  // namespace tamsa::gfx
#endif
