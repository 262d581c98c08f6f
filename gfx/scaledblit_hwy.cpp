// The scaled blits' vector kernels, compiled once per target Highway builds for.
#include "gfx/scaledblit_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/scaledblit_hwy.cpp"
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

#if HWY_TARGET != HWY_SCALAR

// A step takes n pixels, whose 3n bytes are assembled at the start of a vector of n 32-bit lanes,
// n bytes 0 after them. Where the run has a window for each block of four of the step's pixels,
// the windows are loaded into the vector's 16-byte blocks and each block's bytes are picked
// from its window; elsewhere each pixel is gathered as 4 bytes into a 32-bit lane and its
// fourth byte dropped. Then the blocks' 12-byte runs are moved together. A step reads (and the
// copy writes) the n bytes after its pixels too, which later steps rewrite: a step runs only
// while those stay inside the run, and a gathered step only while the fourth byte of its last
// pixel stays inside the source row. The rest takes the plain kernel.
template <class D32>
class sampler {
   public:
    using D8 = hn::Repartition<uint8_t, D32>;
    using DI32 = hn::RebindToSigned<D32>;
    using indices = decltype(hn::SetTableIndices(D32(), static_cast<const int32_t *>(nullptr)));

    explicit sampler(D32 d32) : n_(hn::Lanes(d32)) {}

    size_t lanes() const { return n_; }

    // The byte table that drops each gathered lane's fourth byte. The tables are vectors, which
    // some targets cannot hold in a class: the kernel keeps them and hands them in.
    static hn::Vec<D8> drop_table() {
        alignas(16) static constexpr uint8_t kDrop[16] = {
            0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, kNoByte, kNoByte, kNoByte, kNoByte};
        return hn::LoadDup128(D8(), kDrop);
    }

    // The lane table that moves the blocks' 12-byte runs together. Lanes after the pixels take
    // lane 3, which is 0 in every assembled block.
    indices together_table() const {
        HWY_ALIGN int32_t lanes[HWY_MAX_BYTES / 4];
        for (size_t i = 0; i < n_; ++i) lanes[i] = int32_t(i < 3 * n_ / 4 ? i / 3 * 4 + i % 3 : 3);
        return hn::SetTableIndices(D32(), lanes);
    }

    bool fits(uint64_t k, uint64_t pixels) const { return 3 * (k + n_) + n_ <= 3 * pixels; }

    // Whether the step at pixel k has a window for each of its blocks.
    bool windowed(const column_run &c, uint64_t k) const {
        for (size_t b = 0; b < n_ / 4; ++b) {
            if (c.windows[k / 4 + b] == kNoWindow) return false;
        }
        return true;
    }

    // The windows of the step at pixel k, one per 16-byte block.
    hn::Vec<D8> windows(const uint8_t *row, const column_run &c, uint64_t k) const {
        return load_windows(D8(), row, c.windows + k / 4);
    }

    // The step's bytes picked from its windows by table (bytes or firsts).
    static hn::Vec<D8> pick(hn::Vec<D8> windows, const uint8_t *table, uint64_t k,
                            indices together) {
        return move_together(hn::TableLookupBytesOr0(windows, hn::LoadU(D8(), table + 4 * k)),
                             together);
    }

    bool gatherable(const column_run &c, uint64_t k, uint64_t row_bytes) const {
        return c.offsets[k + n_ - 1] + 4 <= row_bytes;
    }

    static hn::Vec<D32> gather(const uint8_t *row, const column_run &c, uint64_t k) {
        const auto offsets = hn::LoadU(DI32(), reinterpret_cast<const int32_t *>(c.offsets + k));
        return hn::GatherOffset(D32(), reinterpret_cast<const uint32_t *>(row), offsets);
    }

    // Stores only the step's pixels, so that the next step's load of the destination does not
    // meet a store still on its way (which would stall it).
    void store(hn::Vec<D8> v, uint8_t *p) const {
        const D32 d32;
        hn::BlendedStore(hn::BitCast(d32, v), hn::FirstN(d32, 3 * n_ / 4), d32,
                         reinterpret_cast<uint32_t *>(p));
    }

    // Gathered lanes to their packed bytes.
    static hn::Vec<D8> pack(hn::Vec<D32> lanes, hn::Vec<D8> drop, indices together) {
        return move_together(hn::TableLookupBytesOr0(hn::BitCast(D8(), lanes), drop), together);
    }

   private:
    template <class D>
    static hn::Vec<D> load_windows(D d, const uint8_t *row, const uint32_t *windows) {
        if constexpr (hn::MaxLanes(d) == 16) {
            return hn::LoadU(d, row + windows[0]);
        } else {
            const hn::Half<D> dh;
            constexpr size_t kHalf = hn::MaxLanes(d) / 32;  // windows in a half
            return hn::Combine(d, load_windows(dh, row, windows + kHalf),
                               load_windows(dh, row, windows));
        }
    }

    static hn::Vec<D8> move_together(hn::Vec<D8> blocks, indices together) {
        return hn::BitCast(D8(), hn::TableLookupLanes(hn::BitCast(D32(), blocks), together));
    }

    size_t n_;
};

column_run from(const column_run &c, uint64_t k) {
    return {c.offsets + k, c.windows + k / 4, c.bytes + 4 * k, c.firsts + 4 * k,
            nullptr,       nullptr,           nullptr};
}

// The widest vectors a step takes: the target's own where their lane count is known when
// compiling, which the windows' assembly needs; 16 bytes where the lane count is the CPU's.
#if HWY_HAVE_SCALABLE
using widest32 = hn::Full128<uint32_t>;
#else
using widest32 = hn::ScalableTag<uint32_t>;
#endif

// Runs steps(d32, k) with whole vectors, then with halves of them down to 16 bytes, so that the
// rest left to the plain kernel is a few pixels; steps returns where it stopped.
template <class D32, class Steps>
uint64_t narrowing(D32 d32, uint64_t k, const Steps &steps) {
    k = steps(d32, k);
    if constexpr (hn::MaxLanes(d32) > 4) {
        return narrowing(hn::Half<D32>(), k, steps);
    } else {
        return k;
    }
}

void scaled_copy_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT row,
                            const column_run &columns, uint64_t pixels, uint64_t row_bytes) {
    const uint64_t k = narrowing(widest32(), 0, [&](auto d32, uint64_t k) {
        const hn::Repartition<uint8_t, decltype(d32)> d8;
        const sampler<decltype(d32)> s(d32);
        const auto drop = s.drop_table();
        const auto together = s.together_table();
        for (; s.fits(k, pixels); k += s.lanes()) {
            if (s.windowed(columns, k)) {
                hn::StoreU(s.pick(s.windows(row, columns, k), columns.bytes, k, together), d8,
                           d + 3 * k);
            } else if (s.gatherable(columns, k, row_bytes)) {
                hn::StoreU(s.pack(s.gather(row, columns, k), drop, together), d8, d + 3 * k);
            } else {
                break;
            }
        }
        return k;
    });
    scaled_copy_row(d + 3 * k, row, from(columns, k), pixels - k, row_bytes);
}

// The threshold is compared with each byte's pixel's first byte: as a byte when it lies in
// 0..254, and as always or never drawn outside. The bytes of a pixel that fails keep the
// destination's, and so do the bytes after the pixels.
void scaled_mask_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT row,
                            const column_run &columns, uint64_t pixels, uint64_t row_bytes,
                            int32_t threshold) {
    const uint64_t k = narrowing(widest32(), 0, [&](auto d32, uint64_t k) {
        const hn::RebindToSigned<decltype(d32)> di32;
        const hn::Repartition<uint8_t, decltype(d32)> d8;
        const sampler<decltype(d32)> s(d32);
        const auto drop = s.drop_table();
        const auto together = s.together_table();
        const auto pixel_bytes = hn::FirstN(d8, 3 * s.lanes());
        const auto limit8 = hn::Set(d8, uint8_t(threshold < 0     ? 0
                                                : threshold > 255 ? 255
                                                                  : threshold));
        const auto limit = hn::Set(di32, threshold);
        const auto first_byte = hn::Set(d32, 0xffu);
        for (; s.fits(k, pixels); k += s.lanes()) {
            uint8_t *p = d + 3 * k;
            if (s.windowed(columns, k)) {
                const auto windows = s.windows(row, columns, k);
                const auto firsts = s.pick(windows, columns.firsts, k, together);
                const auto drawn =
                    threshold < 0 ? pixel_bytes : hn::And(pixel_bytes, hn::Gt(firsts, limit8));
                const auto out = hn::IfThenElse(drawn, s.pick(windows, columns.bytes, k, together),
                                                hn::LoadU(d8, p));
                s.store(out, p);
            } else if (s.gatherable(columns, k, row_bytes)) {
                const auto lanes = s.gather(row, columns, k);
                const auto drawn = hn::Gt(hn::BitCast(di32, hn::And(lanes, first_byte)), limit);
                const auto keep =
                    s.pack(hn::BitCast(d32, hn::VecFromMask(di32, drawn)), drop, together);
                const auto out = hn::IfThenElse(hn::MaskFromVec(keep),
                                                s.pack(lanes, drop, together), hn::LoadU(d8, p));
                s.store(out, p);
            } else {
                break;
            }
        }
        return k;
    });
    scaled_mask_row(d + 3 * k, row, from(columns, k), pixels - k, row_bytes, threshold);
}

// For tints 0..255 the table entry (tint * e) / 255 is computed in 16-bit lanes, with x / 255 as
// (x * 32897) >> 23, exact for every 16-bit x. The bytes after the pixels are added 0.
void scaled_light_row_vector(uint8_t *HWY_RESTRICT d, const uint8_t *HWY_RESTRICT row,
                             const column_run &columns, uint64_t pixels, uint64_t row_bytes,
                             const tint &t) {
    const uint64_t k = narrowing(widest32(), 0, [&](auto d32, uint64_t k) {
        const hn::Repartition<uint8_t, decltype(d32)> d8;
        const hn::RepartitionToWide<decltype(d8)> d16;
        const sampler<decltype(d32)> s(d32);
        const auto drop = s.drop_table();
        const auto together = s.together_table();
        const size_t n = s.lanes();
        // The bytes after the pixels are 0 in every light vector, so their tints do no harm.
        const auto tints = hn::LoadU(d8, t.spelled);
        const auto tint_lower = widen_lower(d8, tints), tint_upper = widen_upper(d8, tints);
        const auto by255 = hn::Set(d16, uint16_t(32897));
        const auto add = [&](uint8_t *p, hn::Vec<decltype(d8)> light) {
            const auto lower =
                hn::ShiftRight<7>(hn::MulHigh(hn::Mul(widen_lower(d8, light), tint_lower), by255));
            const auto upper =
                hn::ShiftRight<7>(hn::MulHigh(hn::Mul(widen_upper(d8, light), tint_upper), by255));
            s.store(hn::SaturatedAdd(hn::LoadU(d8, p), narrow(d8, lower, upper)), p);
        };
        for (; s.fits(k, pixels); k += n) {
            if (s.windowed(columns, k)) {
                add(d + 3 * k, s.pick(s.windows(row, columns, k), columns.bytes, k, together));
            } else if (s.gatherable(columns, k, row_bytes)) {
                add(d + 3 * k, s.pack(s.gather(row, columns, k), drop, together));
            } else {
                break;
            }
        }
        return k;
    });
    scaled_light_row(d + 3 * k, row, from(columns, k), pixels - k, row_bytes, t);
}

#else

void scaled_copy_row_vector(uint8_t *d, const uint8_t *row, const column_run &columns,
                            uint64_t pixels, uint64_t row_bytes) {
    scaled_copy_row(d, row, columns, pixels, row_bytes);
}

void scaled_mask_row_vector(uint8_t *d, const uint8_t *row, const column_run &columns,
                            uint64_t pixels, uint64_t row_bytes, int32_t threshold) {
    scaled_mask_row(d, row, columns, pixels, row_bytes, threshold);
}

void scaled_light_row_vector(uint8_t *d, const uint8_t *row, const column_run &columns,
                             uint64_t pixels, uint64_t row_bytes, const tint &t) {
    scaled_light_row(d, row, columns, pixels, row_bytes, t);
}

#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(scaled_copy_row_vector, scaled_copy_row_hwy);
TAMSA_HWY_EXPORT(scaled_mask_row_vector, scaled_mask_row_hwy);
TAMSA_HWY_EXPORT(scaled_light_row_vector, scaled_light_row_hwy);

}  // namespace tamsa::gfx
#endif
