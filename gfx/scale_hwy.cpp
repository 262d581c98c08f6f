// The nearest-neighbour gather as a vector kernel, compiled once per target Highway builds for.
#include <cstring>

#include "gfx/scale_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/scale_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// One lane per vector gains nothing over the portable kernel.
void gather_row_vector(const uint8_t *row, uint8_t *out, const gather_plan &plan) {
    gather_row_fast(row, out, plan);
}
#else
// Each 16-byte block of the result is looked up in the 32-byte window its plan names: byte
// lookups in the window's two halves, chosen by bit 4 of the lane. A window that reaches past
// the readable bytes, and a last block shorter than 16 bytes, go through small local buffers.
void gather_row_vector(const uint8_t *row, uint8_t *out, const gather_plan &plan) {
    const hn::FixedTag<uint8_t, 16> d;
    const auto low_bits = hn::Set(d, uint8_t{15});
    const auto high_half = hn::Set(d, uint8_t{16});
    const uint64_t bytes = uint64_t(plan.pixels) * plan.depth;
    for (uint64_t k = 0, b = 0; k < bytes; k += 16, ++b) {
        const uint32_t base = plan.bases[b];
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
        if (bytes - k >= 16) {
            hn::StoreU(result, d, out + k);
        } else {
            uint8_t last[16];
            hn::StoreU(result, d, last);
            std::memcpy(out + k, last, bytes - k);
        }
    }
}
#endif

}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(gather_row_vector, gather_row_hwy);

}  // namespace tamsa::gfx
#endif
