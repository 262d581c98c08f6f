// The byte-run kernels as vector kernels, compiled once per target Highway builds for.
#include "gfx/remap_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/remap_hwy.cpp"
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
void swap13_row_vector(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    swap13_row(source, destination, pixels);
}
void pad4_row_vector(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    pad4_row(source, destination, pixels);
}
#else
#if HWY_ARCH_X86 && HWY_MAX_BYTES == 16
// Sixteen lookups of 16 bytes each cost more than sixteen plain byte loads.
void lookup_row_vector(uint8_t *bytes, uint64_t count, const uint8_t *table) {
    lookup_row(bytes, count, table);
}
#elif HWY_ARCH_X86
// Byte lookups reach 16 entries, and a lane whose index has its top bit set looks up 0. Each
// sixteenth of the table is looked up by the byte less its start, pushed up by a saturating add
// so that only the lanes in that sixteenth keep the top bit clear; the sixteen results are
// or-ed. Four operations a sixteenth, with no compare or blend.
void lookup_row_vector(uint8_t *HWY_RESTRICT bytes, uint64_t count,
                       const uint8_t *HWY_RESTRICT table) {
    const hn::ScalableTag<uint8_t> d;
    const auto push = hn::Set(d, uint8_t{0x70});
    const auto sixteen = hn::Set(d, uint8_t{16});
    for_each_vector(count, hn::Lanes(d), [&](uint64_t i, size_t m) {
        auto v = load_lanes(d, bytes + i, m);
        auto result = hn::TableLookupBytesOr0(hn::LoadDup128(d, table), hn::SaturatedAdd(v, push));
        for (unsigned h = 1; h < 16; ++h) {
            v = hn::Sub(v, sixteen);
            result = hn::Or(result, hn::TableLookupBytesOr0(hn::LoadDup128(d, table + 16 * h),
                                                            hn::SaturatedAdd(v, push)));
        }
        store_lanes(result, d, bytes + i, m);
    });
}
#else
// Byte lookups reach 16 entries: the table's sixteenths are looked up by the low nibble, and the
// high nibble picks which one counts.
void lookup_row_vector(uint8_t *HWY_RESTRICT bytes, uint64_t count,
                       const uint8_t *HWY_RESTRICT table) {
    const hn::ScalableTag<uint8_t> d;
    const auto low_nibble = hn::Set(d, uint8_t{15});
    for_each_vector(count, hn::Lanes(d), [&](uint64_t i, size_t m) {
        const auto v = load_lanes(d, bytes + i, m);
        const auto low = hn::And(v, low_nibble);
        const auto high = hn::ShiftRight<4>(v);
        auto result = hn::TableLookupBytes(hn::LoadDup128(d, table), low);
        for (unsigned h = 1; h < 16; ++h) {
            const auto entries = hn::TableLookupBytes(hn::LoadDup128(d, table + 16 * h), low);
            result = hn::IfThenElse(hn::Eq(high, hn::Set(d, uint8_t(h))), entries, result);
        }
        store_lanes(result, d, bytes + i, m);
    });
}
#endif

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
// any is written, and land at or below them, so a run remapped onto itself comes out in order
// (which is why only the pens, outside the destination, are restrict).
void remap24_row_vector(const uint8_t *source, uint8_t *destination,
                        const uint8_t *HWY_RESTRICT pens, uint64_t pixels) {
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

void xor_row_vector(uint8_t *HWY_RESTRICT bytes, uint64_t count, uint8_t mask) {
    const hn::ScalableTag<uint8_t> d;
    const auto x = hn::Set(d, mask);
    for_each_vector(count, hn::Lanes(d), [&](uint64_t i, size_t m) {
        store_lanes(hn::Xor(load_lanes(d, bytes + i, m), x), d, bytes + i, m);
    });
}

// Each byte widened to a 16-bit lane and multiplied by 0x0101 holds it twice, in order.
void repeat2_row_vector(const uint8_t *HWY_RESTRICT source, uint8_t *HWY_RESTRICT destination,
                        uint64_t count, uint32_t) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::Repartition<uint8_t, decltype(d16)> dbytes;
    const auto twice = hn::Set(d16, uint16_t{0x0101});
    for_each_vector(count, hn::Lanes(d16), [&](uint64_t i, size_t m) {
        const auto wide = hn::Mul(hn::PromoteTo(d16, load_lanes(d8, source + i, m)), twice);
        store_lanes(hn::BitCast(dbytes, wide), dbytes, destination + 2 * i, 2 * m);
    });
}

// Bytes 2j and 2j + 1 share a 16-bit lane; its low byte, demoted, is byte j of the result. A
// block reads its source bytes before it writes at or below them; a last odd byte stands alone
// in its lane.
// A block's pixels are all read before any is written, so that it works in place too.
void swap13_row_vector(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    const hn::ScalableTag<uint8_t> d;
    const size_t n = hn::Lanes(d);
    uint64_t i = 0;
    for (; i + n <= pixels; i += n) {
        hn::Vec<decltype(d)> first, second, third;
        hn::LoadInterleaved3(d, source + 3 * i, first, second, third);
        hn::StoreInterleaved3(third, second, first, d, destination + 3 * i);
    }
    swap13_row(source + 3 * i, destination + 3 * i, pixels - i);
}

// The destination meets the source nowhere; the last part of a vector takes the plain kernel.
void pad4_row_vector(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    const hn::ScalableTag<uint8_t> d;
    const size_t n = hn::Lanes(d);
    const auto zero = hn::Zero(d);
    uint64_t i = 0;
    for (; i + n <= pixels; i += n) {
        hn::Vec<decltype(d)> first, second, third;
        hn::LoadInterleaved3(d, source + 3 * i, first, second, third);
        hn::StoreInterleaved4(first, second, third, zero, d, destination + 4 * i);
    }
    pad4_row(source + 3 * i, destination + 4 * i, pixels - i);
}

void thin2_row_vector(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::RebindToSigned<decltype(d16)> di16;
    const hn::Repartition<uint8_t, decltype(d16)> dbytes;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const auto low_byte = hn::Set(d16, uint16_t{0xff});
    for_each_vector(count, hn::Lanes(dbytes), [&](uint64_t k, size_t m) {
        const auto pairs = hn::BitCast(d16, load_lanes(dbytes, source + k, m));
        store_lanes(hn::DemoteTo(d8, hn::BitCast(di16, hn::And(pairs, low_byte))), d8,
                    destination + k / 2, (m + 1) / 2);
    });
}
#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(lookup_row_vector, lookup_row_hwy);
TAMSA_HWY_EXPORT(remap24_row_vector, remap24_row_hwy);
TAMSA_HWY_EXPORT(xor_row_vector, xor_row_hwy);
TAMSA_HWY_EXPORT(repeat2_row_vector, repeat2_row_hwy);
TAMSA_HWY_EXPORT(thin2_row_vector, thin2_row_hwy);
TAMSA_HWY_EXPORT(swap13_row_vector, swap13_row_hwy);
TAMSA_HWY_EXPORT(pad4_row_vector, pad4_row_hwy);

}  // namespace tamsa::gfx
#endif
