// What the vector kernels share, included once per target from inside a file that
// foreach_target.h compiles, after highway.h: rows walked in whole vectors and one part of a
// vector, and bytes widened to 16-bit lanes and narrowed back. Private to the library.
#if defined(TAMSA_KERNELS_ROWS_HWY_INL_H) == defined(HWY_TARGET_TOGGLE)
#ifdef TAMSA_KERNELS_ROWS_HWY_INL_H
#undef TAMSA_KERNELS_ROWS_HWY_INL_H
#else
#define TAMSA_KERNELS_ROWS_HWY_INL_H
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace tamsa::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// ---- rows: whole vectors, then one part of a vector ----

// step(i, m) for every whole vector of n units of a row of count units (m = n), then once for
// the units left after them (0 < m < n), if any. A step reads and writes its first m units
// only, through load_lanes and store_lanes, which the whole steps inline as plain loads and
// stores. Right for steps that write in place, and for a destination that is a source.
template <class Step>
HWY_INLINE void for_each_vector(uint64_t count, size_t n, const Step &step) {
    uint64_t i = 0;
    for (; i + n <= count; i += n) step(i, n);
    if (i < count) step(i, size_t(count - i));
}

// step(i) for every whole vector of n units from begin on that ends by end, then once for the
// vector that ends at end, if units are left: that step computes some units again, which is
// only right where each unit's result depends on sources alone and no source is written.
// Needs end - begin >= n.
template <class Step>
HWY_INLINE void for_each_vector_overlapping(uint64_t begin, uint64_t end, size_t n,
                                            const Step &step) {
    uint64_t i = begin;
    for (; i + n <= end; i += n) step(i);
    if (i < end) step(end - n);
}

// The first m lanes of a vector from p (m at most the lanes of d), the others 0; nothing past
// them is read. Masked loads where the target has them for every lane size (AVX-512), else
// through a local buffer.
template <class D>
HWY_INLINE hn::Vec<D> load_lanes(D d, const hn::TFromD<D> *HWY_RESTRICT p, size_t m) {
    if (m == hn::Lanes(d)) return hn::LoadU(d, p);
#if HWY_TARGET <= HWY_AVX3
    return hn::MaskedLoad(hn::FirstN(d, m), d, p);
#else
    HWY_ALIGN hn::TFromD<D> lanes[hn::MaxLanes(d)] = {};
    std::memcpy(lanes, p, m * sizeof(lanes[0]));
    return hn::Load(d, lanes);
#endif
}

// The first m lanes of v to p; nothing past them is written.
template <class D>
HWY_INLINE void store_lanes(hn::Vec<D> v, D d, hn::TFromD<D> *HWY_RESTRICT p, size_t m) {
    if (m == hn::Lanes(d)) return hn::StoreU(v, d, p);
#if HWY_TARGET <= HWY_AVX3
    hn::BlendedStore(v, hn::FirstN(d, m), d, p);
#else
    HWY_ALIGN hn::TFromD<D> lanes[hn::MaxLanes(d)];
    hn::Store(v, d, lanes);
    std::memcpy(p, lanes, m * sizeof(lanes[0]));
#endif
}

// The first m lanes of each of three vectors, interleaved to p (3m lanes written).
template <class D>
HWY_INLINE void store_interleaved3_lanes(hn::Vec<D> a, hn::Vec<D> b, hn::Vec<D> c, D d,
                                         hn::TFromD<D> *HWY_RESTRICT p, size_t m) {
    if (m == hn::Lanes(d)) return hn::StoreInterleaved3(a, b, c, d, p);
    HWY_ALIGN hn::TFromD<D> lanes[3 * hn::MaxLanes(d)];
    hn::StoreInterleaved3(a, b, c, d, lanes);
    std::memcpy(p, lanes, 3 * m * sizeof(lanes[0]));
}

// ---- bytes widened and narrowed ----

#if HWY_TARGET != HWY_SCALAR

// The lower and the upper half of every 128-bit block of bytes, each byte in a 16-bit lane.
// Lanes come out in block order, not memory order; narrow() puts them back, so arithmetic that
// treats every lane alike needs no reordering.
template <class D8>
HWY_INLINE hn::Vec<hn::RepartitionToWide<D8>> widen_lower(D8 d8, hn::Vec<D8> v) {
    return hn::ZipLower(hn::RepartitionToWide<D8>(), v, hn::Zero(d8));
}

template <class D8>
HWY_INLINE hn::Vec<hn::RepartitionToWide<D8>> widen_upper(D8 d8, hn::Vec<D8> v) {
    return hn::ZipUpper(hn::RepartitionToWide<D8>(), v, hn::Zero(d8));
}

// The inverse of widen_lower and widen_upper for lanes below 256: the two halves of each block
// are interleaved byte by byte, then sorted back within the block.
template <class D8>
HWY_INLINE hn::Vec<D8> narrow(D8 d8, hn::Vec<hn::RepartitionToWide<D8>> lower,
                              hn::Vec<hn::RepartitionToWide<D8>> upper) {
    alignas(16) static constexpr uint8_t kSort[16] = {0, 2, 4, 6, 8, 10, 12, 14,
                                                      1, 3, 5, 7, 9, 11, 13, 15};
    const auto mixed = hn::Or(lower, hn::ShiftLeft<8>(upper));
    return hn::TableLookupBytes(hn::BitCast(d8, mixed), hn::LoadDup128(d8, kSort));
}

#endif

}  // namespace tamsa::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif
