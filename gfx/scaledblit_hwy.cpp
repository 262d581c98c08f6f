// The scaled blits' vector kernels, compiled once per target Highway builds for.
#include "gfx/scaledblit_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/scaledblit_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "gfx/bytes_hwy-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// Each sampled pixel is gathered as 4 bytes into a 32-bit lane, the fourth byte is dropped
// within each 16-byte block and the blocks' 12-byte runs are moved together: a vector of n lanes
// then starts with the 3n bytes of n pixels, and n bytes 0. It is stored whole, so the n bytes
// after the pixels are written too and rewritten later: a step runs only while those stay inside
// the run, and only while the gathered fourth byte stays inside the source row. The rest takes the
// plain kernel.
template <class D32>
class sampler {
   public:
    using D8 = hn::Repartition<uint8_t, D32>;
    using DI32 = hn::RebindToSigned<D32>;

    explicit sampler(D32 d32) : n_(hn::Lanes(d32)) {
        constexpr uint8_t Z = 0x80;
        alignas(16) static constexpr uint8_t kDrop[16] = {0,  1,  2,  4,  5, 6, 8, 9,
                                                          10, 12, 13, 14, Z, Z, Z, Z};
        drop_ = hn::LoadDup128(D8(), kDrop);
        HWY_ALIGN int32_t lanes[HWY_MAX_BYTES / 4];
        // Lanes after the pixels take lane 3, which the drop leaves 0.
        for (size_t i = 0; i < n_; ++i) lanes[i] = int32_t(i < 3 * n_ / 4 ? i / 3 * 4 + i % 3 : 3);
        together_ = hn::SetTableIndices(d32, lanes);
    }

    size_t lanes() const { return n_; }

    // Whether the step at pixel k may run.
    bool fits(const uint32_t *columns, uint64_t k, uint64_t pixels, uint64_t row_bytes) const {
        return 3 * (k + n_) + n_ <= 3 * pixels && columns[k + n_ - 1] + 4 <= row_bytes;
    }

    hn::Vec<D32> gather(const uint8_t *row, const uint32_t *columns) const {
        const auto offsets = hn::LoadU(DI32(), reinterpret_cast<const int32_t *>(columns));
        return hn::GatherOffset(D32(), reinterpret_cast<const uint32_t *>(row), offsets);
    }

    // Lanes of pixels to their packed bytes.
    hn::Vec<D8> pack(hn::Vec<D32> lanes) const {
        const auto dropped = hn::TableLookupBytesOr0(hn::BitCast(D8(), lanes), drop_);
        return hn::BitCast(D8(), hn::TableLookupLanes(hn::BitCast(D32(), dropped), together_));
    }

   private:
    size_t n_;
    hn::Vec<D8> drop_;
    decltype(hn::SetTableIndices(D32(), static_cast<const int32_t *>(nullptr))) together_;
};

void scaled_copy_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT row,
                            const uint32_t *HWY_RESTRICT columns, uint64_t pixels,
                            uint64_t row_bytes) {
    const hn::ScalableTag<uint32_t> d32;
    const hn::Repartition<uint8_t, decltype(d32)> d8;
    const sampler<decltype(d32)> s(d32);
    uint64_t k = 0;
    for (; s.fits(columns, k, pixels, row_bytes); k += s.lanes()) {
        hn::StoreU(s.pack(s.gather(row, columns + k)), d8, d + 3 * k);
    }
    scaled_copy_row(d + 3 * k, row, columns + k, pixels - k, row_bytes);
}

// The threshold is compared with the gathered first byte as a whole signed number; the bytes of
// a pixel that fails keep the destination's, and so do the bytes after the pixels.
void scaled_mask_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT row,
                            const uint32_t *HWY_RESTRICT columns, uint64_t pixels,
                            uint64_t row_bytes, int32_t threshold) {
    const hn::ScalableTag<uint32_t> d32;
    const hn::RebindToSigned<decltype(d32)> di32;
    const hn::Repartition<uint8_t, decltype(d32)> d8;
    const sampler<decltype(d32)> s(d32);
    const auto limit = hn::Set(di32, threshold);
    const auto first_byte = hn::Set(d32, 0xffu);
    uint64_t k = 0;
    for (; s.fits(columns, k, pixels, row_bytes); k += s.lanes()) {
        const auto lanes = s.gather(row, columns + k);
        const auto drawn = hn::BitCast(di32, hn::And(lanes, first_byte)) > limit;
        const auto keep = s.pack(hn::BitCast(d32, hn::VecFromMask(di32, drawn)));
        uint8_t *p = d + 3 * k;
        const auto out = hn::IfThenElse(hn::MaskFromVec(keep), s.pack(lanes), hn::LoadU(d8, p));
        hn::StoreU(out, d8, p);
    }
    scaled_mask_row(d + 3 * k, row, columns + k, pixels - k, row_bytes, threshold);
}

// For tints 0..255 the table entry (tint * e) / 255 is computed in 16-bit lanes, with x / 255 as
// (x * 32897) >> 23, exact for every 16-bit x. The bytes after the pixels are added 0.
void scaled_light_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT row,
                             const uint32_t *HWY_RESTRICT columns, uint64_t pixels,
                             uint64_t row_bytes, const tint &t) {
    const hn::ScalableTag<uint32_t> d32;
    const hn::Repartition<uint8_t, decltype(d32)> d8;
    const hn::RepartitionToWide<decltype(d8)> d16;
    const sampler<decltype(d32)> s(d32);
    const size_t n = s.lanes();
    HWY_ALIGN uint8_t pattern[HWY_MAX_BYTES];
    for (size_t i = 0; i < 4 * n; ++i) pattern[i] = i < 3 * n ? uint8_t(t.value[i % 3]) : 0;
    const auto tints = hn::Load(d8, pattern);
    const auto tint_lower = widen_lower(d8, tints), tint_upper = widen_upper(d8, tints);
    const auto by255 = hn::Set(d16, uint16_t(32897));
    uint64_t k = 0;
    for (; s.fits(columns, k, pixels, row_bytes); k += n) {
        const auto light = s.pack(s.gather(row, columns + k));
        const auto lower =
            hn::ShiftRight<7>(hn::MulHigh(hn::Mul(widen_lower(d8, light), tint_lower), by255));
        const auto upper =
            hn::ShiftRight<7>(hn::MulHigh(hn::Mul(widen_upper(d8, light), tint_upper), by255));
        uint8_t *p = d + 3 * k;
        hn::StoreU(hn::SaturatedAdd(hn::LoadU(d8, p), narrow(d8, lower, upper)), d8, p);
    }
    scaled_light_row(d + 3 * k, row, columns + k, pixels - k, row_bytes, t);
}

#else

void scaled_copy_row_vector(uint8_t *d, const uint8_t *row, const uint32_t *columns,
                            uint64_t pixels, uint64_t row_bytes) {
    scaled_copy_row(d, row, columns, pixels, row_bytes);
}

void scaled_mask_row_vector(uint8_t *d, const uint8_t *row, const uint32_t *columns,
                            uint64_t pixels, uint64_t row_bytes, int32_t threshold) {
    scaled_mask_row(d, row, columns, pixels, row_bytes, threshold);
}

void scaled_light_row_vector(uint8_t *d, const uint8_t *row, const uint32_t *columns,
                             uint64_t pixels, uint64_t row_bytes, const tint &t) {
    scaled_light_row(d, row, columns, pixels, row_bytes, t);
}

#endif

}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

HWY_EXPORT(scaled_copy_row_vector);
HWY_EXPORT(scaled_mask_row_vector);
HWY_EXPORT(scaled_light_row_vector);

scaled_copy_row_fn scaled_copy_row_hwy() {
    return &HWY_DYNAMIC_DISPATCH(scaled_copy_row_vector);
}

scaled_mask_row_fn scaled_mask_row_hwy() {
    return &HWY_DYNAMIC_DISPATCH(scaled_mask_row_vector);
}

scaled_light_row_fn scaled_light_row_hwy() {
    return &HWY_DYNAMIC_DISPATCH(scaled_light_row_vector);
}

}  // namespace tamsa::gfx
#endif
