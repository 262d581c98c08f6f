// Byte helpers shared by the vector kernels: bytes widened to 16-bit lanes
// and narrowed back. Included once per target from inside a file that foreach_target.h
// compiles, after highway.h. Private to the library.
#if defined(TAMSA_KERNELS_ROWS_HWY_INL_H) == defined(HWY_TARGET_TOGGLE)
#ifdef TAMSA_KERNELS_ROWS_HWY_INL_H
#undef TAMSA_KERNELS_ROWS_HWY_INL_H
#else
#define TAMSA_KERNELS_ROWS_HWY_INL_H
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

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

}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif
