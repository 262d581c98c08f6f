// The byte-run kernels as vector kernels, compiled once per target Highway builds for.
#include "gfx/remap_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/remap_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// One lane per vector gains nothing over the plain and portable kernels.
void lookup_row_vector(uint8_t *bytes, uint64_t count, const uint8_t *table) {
    lookup_row(bytes, count, table);
}
void remap24_row_vector(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                        uint64_t pixels) {
    remap24_row_fast(source, destination, pens, pixels);
}
void xor_row_vector(uint8_t *bytes, uint64_t count, uint8_t mask) {
    xor_row(bytes, count, mask);
}
void repeat2_row_vector(const uint8_t *source, uint8_t *destination, uint64_t count,
                        uint32_t factor) {
    repeat_row(source, destination, count, factor);
}
void thin2_row_vector(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t step) {
    thin_row(source, destination, count, step);
}
#else
// Byte lookups reach 16 entries: the table's sixteenths are looked up by the low nibble, and the
// high nibble picks which one counts. The bytes after the last whole vector take the plain
// kernel.
void lookup_row_vector(uint8_t *bytes, uint64_t count, const uint8_t *table) {
    const hn::ScalableTag<uint8_t> d;
    const size_t n = hn::Lanes(d);
    const auto low_nibble = hn::Set(d, uint8_t{15});
    uint64_t i = 0;
    for (; i + n <= count; i += n) {
        const auto v = hn::LoadU(d, bytes + i);
        const auto low = hn::And(v, low_nibble);
        const auto high = hn::ShiftRight<4>(v);
        auto result = hn::TableLookupBytes(hn::LoadDup128(d, table), low);
        for (unsigned h = 1; h < 16; ++h) {
            const auto entries = hn::TableLookupBytes(hn::LoadDup128(d, table + 16 * h), low);
            result = hn::IfThenElse(hn::Eq(high, hn::Set(d, uint8_t(h))), entries, result);
        }
        hn::StoreU(result, d, bytes + i);
    }
    lookup_row(bytes + i, count - i, table);
}

// One channel's levels, in 16-bit lanes: floor(max(v - 22, 0) / 42) by multiply and shift.
template <class D16, class V16>
V16 cube_levels(D16 d16, V16 v) {
    const auto shifted = hn::SaturatedSub(v, hn::Set(d16, uint16_t(kCubeLevelBias)));
    return hn::MulHigh(shifted, hn::Set(d16, uint16_t(kCubeLevelFactor)));
}

template <class D16, class V16>
V16 cube_index(D16 d16, V16 red, V16 green, V16 blue) {
    const auto r = hn::Mul(cube_levels(d16, red), hn::Set(d16, uint16_t{36}));
    const auto g = hn::Mul(cube_levels(d16, green), hn::Set(d16, uint16_t{6}));
    return hn::Add(hn::Add(r, g), cube_levels(d16, blue));
}

// Whole vectors of pixels split into channels, their indexes worked out in 16-bit lanes; pens,
// when asked for, are looked up in the block just written. A block's bytes are all read before
// any is written, and land at or below them, so a run remapped onto itself comes out in order.
void remap24_row_vector(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                        uint64_t pixels) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::Half<decltype(d8)> dh;
    const hn::Rebind<uint16_t, decltype(dh)> d16;
    const hn::RebindToSigned<decltype(d16)> di16;  // bytes are demoted from signed lanes
    const size_t n = hn::Lanes(d8);
    uint64_t i = 0;
    for (; i + n <= pixels; i += n) {
        hn::Vec<decltype(d8)> red, green, blue;
        hn::LoadInterleaved3(d8, source + 3 * i, red, green, blue);
        const auto low = cube_index(d16, hn::PromoteTo(d16, hn::LowerHalf(dh, red)),
                                    hn::PromoteTo(d16, hn::LowerHalf(dh, green)),
                                    hn::PromoteTo(d16, hn::LowerHalf(dh, blue)));
        const auto high = cube_index(d16, hn::PromoteTo(d16, hn::UpperHalf(dh, red)),
                                     hn::PromoteTo(d16, hn::UpperHalf(dh, green)),
                                     hn::PromoteTo(d16, hn::UpperHalf(dh, blue)));
        const auto index = hn::Combine(d8, hn::DemoteTo(dh, hn::BitCast(di16, high)),
                                       hn::DemoteTo(dh, hn::BitCast(di16, low)));
        hn::StoreU(index, d8, destination + i);
        if (pens != nullptr) {
            for (size_t k = 0; k < n; ++k) destination[i + k] = pens[destination[i + k]];
        }
    }
    remap24_row_fast(source + 3 * i, destination + i, pens, pixels - i);
}

void xor_row_vector(uint8_t *bytes, uint64_t count, uint8_t mask) {
    const hn::ScalableTag<uint8_t> d;
    const size_t n = hn::Lanes(d);
    const auto m = hn::Set(d, mask);
    uint64_t i = 0;
    for (; i + n <= count; i += n) hn::StoreU(hn::Xor(hn::LoadU(d, bytes + i), m), d, bytes + i);
    xor_row(bytes + i, count - i, mask);
}

// Each byte widened to a 16-bit lane and multiplied by 0x0101 holds it twice, in order.
void repeat2_row_vector(const uint8_t *source, uint8_t *destination, uint64_t count,
                        uint32_t factor) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::Repartition<uint8_t, decltype(d16)> dbytes;
    const size_t n = hn::Lanes(d16);
    const auto twice = hn::Set(d16, uint16_t{0x0101});
    uint64_t i = 0;
    for (; i + n <= count; i += n) {
        const auto wide = hn::Mul(hn::PromoteTo(d16, hn::LoadU(d8, source + i)), twice);
        hn::StoreU(hn::BitCast(dbytes, wide), dbytes, destination + 2 * i);
    }
    repeat_row(source + i, destination + 2 * i, count - i, factor);
}

// Bytes 2j and 2j + 1 share a 16-bit lane; its low byte, demoted, is byte j of the result. A
// block reads its source bytes before it writes at or below them.
void thin2_row_vector(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t step) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::RebindToSigned<decltype(d16)> di16;
    const hn::Repartition<uint8_t, decltype(d16)> dbytes;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const size_t n = hn::Lanes(d16);
    const auto low_byte = hn::Set(d16, uint16_t{0xff});
    uint64_t k = 0;
    for (; k + 2 * n <= count; k += 2 * n) {
        const auto pairs = hn::BitCast(d16, hn::LoadU(dbytes, source + k));
        hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, hn::And(pairs, low_byte))), d8,
                   destination + k / 2);
    }
    thin_row(source + k, destination + k / 2, count - k, step);
}
#endif

}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(lookup_row_vector, lookup_row_hwy);
TAMSA_HWY_EXPORT(remap24_row_vector, remap24_row_hwy);
TAMSA_HWY_EXPORT(xor_row_vector, xor_row_hwy);
TAMSA_HWY_EXPORT(repeat2_row_vector, repeat2_row_hwy);
TAMSA_HWY_EXPORT(thin2_row_vector, thin2_row_hwy);

}  // namespace tamsa::gfx
#endif
