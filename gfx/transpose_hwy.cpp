// The transpose's vector kernel, compiled once per target Highway builds for. Its tiles are 16 rows
// of 16-byte blocks, whose bytes never need to cross a block: on AVX2 and wider, three-byte pixels
// take two blocks a vector, two runs of four columns side by side.
#include <cstring>

#include "gfx/transpose_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/transpose_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR && (HWY_TARGET & TAMSA_HWY_SVE_TARGETS) == 0

using D8 = hn::Full128<uint8_t>;
using V8 = hn::Vec<D8>;

// 16 rows of 16 one-byte pixels: four rounds of interleaving row i with row i + 8 leave column
// j in vector j.
// The loops are unrolled whole, so that every vector stays in a register.
HWY_INLINE void transpose_16x16(V8 v[16]) {
    HWY_UNROLL(4)
    for (int round = 0; round < 4; ++round) {
        V8 next[16];
        HWY_UNROLL(8)
        for (int i = 0; i < 8; ++i) {
            next[2 * i] = hn::InterleaveLower(v[i], v[i + 8]);
            next[2 * i + 1] = hn::InterleaveUpper(D8(), v[i], v[i + 8]);
        }
        HWY_UNROLL(16)
        for (int i = 0; i < 16; ++i) v[i] = next[i];
    }
}

// Four rows of four 3-byte pixels (the first 12 bytes of each 16-byte block) to four columns
// of four pixels, each in the first 12 bytes of its block and zero after them: pixels are padded
// to 32-bit lanes, the 4 x 4 lanes turned over, and the padding dropped again. Every 16-byte
// block of the vectors is a tile of its own.
template <class D>
HWY_INLINE void transpose_4x4_rgb(D d8, const hn::Vec<D> r[4], hn::Vec<D> c[4]) {
    const hn::Repartition<uint32_t, D> d32;
    const hn::Repartition<uint64_t, D> d64;
    constexpr uint8_t Z = 0x80;
    alignas(32) static constexpr uint8_t kPad[32] = {0, 1, 2,  Z,  3, 4, 5, Z,  6,  7, 8,
                                                     Z, 9, 10, 11, Z, 0, 1, 2,  Z,  3, 4,
                                                     5, Z, 6,  7,  8, Z, 9, 10, 11, Z};
    alignas(32) static constexpr uint8_t kDrop[32] = {0,  1, 2,  4,  5,  6,  8, 9, 10, 12, 13,
                                                      14, Z, Z,  Z,  Z,  0,  1, 2, 4,  5,  6,
                                                      8,  9, 10, 12, 13, 14, Z, Z, Z,  Z};
    const auto pad = hn::Load(d8, kPad);
    const auto drop = hn::Load(d8, kDrop);
    hn::Vec<decltype(d32)> p[4];
    HWY_UNROLL(4)
    for (int i = 0; i < 4; ++i) p[i] = hn::BitCast(d32, hn::TableLookupBytesOr0(r[i], pad));
    const auto t0 = hn::BitCast(d64, hn::InterleaveLower(d32, p[0], p[1]));
    const auto t1 = hn::BitCast(d64, hn::InterleaveLower(d32, p[2], p[3]));
    const auto t2 = hn::BitCast(d64, hn::InterleaveUpper(d32, p[0], p[1]));
    const auto t3 = hn::BitCast(d64, hn::InterleaveUpper(d32, p[2], p[3]));
    c[0] = hn::TableLookupBytesOr0(hn::BitCast(d8, hn::InterleaveLower(d64, t0, t1)), drop);
    c[1] = hn::TableLookupBytesOr0(hn::BitCast(d8, hn::InterleaveUpper(d64, t0, t1)), drop);
    c[2] = hn::TableLookupBytesOr0(hn::BitCast(d8, hn::InterleaveLower(d64, t2, t3)), drop);
    c[3] = hn::TableLookupBytesOr0(hn::BitCast(d8, hn::InterleaveUpper(d64, t2, t3)), drop);
}

// Pixels x to x + 4 * blocks of a row, 16 bytes from each run of four (the last 4 unused).
HWY_INLINE V8 load_runs(D8 d8, const uint8_t *p) {
    return hn::LoadU(d8, p);
}
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
using D8x2 = hn::Full256<uint8_t>;
HWY_INLINE hn::Vec<D8x2> load_runs(D8x2, const uint8_t *p) {
    const D8 d8;
    return hn::Combine(D8x2(), hn::LoadU(d8, p + 12), hn::LoadU(d8, p));
}
HWY_INLINE V8 block(D8, V8 v, int) {
    return v;
}
HWY_INLINE V8 block(D8x2, hn::Vec<D8x2> v, int k) {
    return k == 0 ? hn::LowerHalf(v) : hn::UpperHalf(D8(), v);
}
#else
HWY_INLINE V8 block(D8, V8 v, int) {
    return v;
}
#endif

// Three-byte pixels: 4 columns per 16-byte block of D at a time, 16 rows of each (a tile),
// while the loads stay inside their rows. Returns the first column not done.
template <class D>
HWY_INLINE int64_t transpose_rgb_tiles(D d, const uint8_t *HWY_RESTRICT source,
                                       uint8_t *HWY_RESTRICT destination, int64_t width,
                                       int64_t height, int64_t rows, int64_t x, int64_t last) {
    const D8 d8;
    constexpr int kBlocks = int(hn::MaxLanes(D()) / 16);
    constexpr int64_t kColumns = 4 * kBlocks;
    constexpr int64_t kTile = 16;
    const int64_t stride = width * 3;
    for (; x + kColumns <= last && 3 * x + 12 * (kBlocks - 1) + 16 <= stride; x += kColumns) {
        for (int64_t t = 0; t + kTile <= rows; t += kTile) {
            const uint8_t *in = source + t * stride + x * 3;
            hn::Vec<D> columns[4][4];  // [quarter of the tile][column]
            HWY_UNROLL(4)
            for (int q = 0; q < 4; ++q) {
                hn::Vec<D> r[4];
                HWY_UNROLL(4)
                for (int i = 0; i < 4; ++i) r[i] = load_runs(d, in + (4 * q + i) * stride);
                transpose_4x4_rgb(d, r, columns[q]);
            }
            // Each column's 16 pixels are four runs of 12 bytes: three whole 16-byte stores.
            HWY_UNROLL(4)
            for (int j = 0; j < 4; ++j) {
                HWY_UNROLL(2)
                for (int k = 0; k < kBlocks; ++k) {
                    const V8 a = block(d, columns[0][j], k), b = block(d, columns[1][j], k),
                             e = block(d, columns[2][j], k), f = block(d, columns[3][j], k);
                    uint8_t *out = destination + ((x + 4 * k + j) * height + t) * 3;
                    hn::StoreU(hn::Or(a, hn::ShiftLeftBytes<12>(d8, b)), d8, out);
                    hn::StoreU(hn::Or(hn::ShiftRightBytes<4>(d8, b), hn::ShiftLeftBytes<8>(d8, e)),
                               d8, out + 16);
                    hn::StoreU(hn::Or(hn::ShiftRightBytes<8>(d8, e), hn::ShiftLeftBytes<4>(d8, f)),
                               d8, out + 32);
                }
            }
        }
        // Tiles of 4 rows below the last whole one (1080 rows leave 24 in the last band).
        for (int64_t t = rows / kTile * kTile; t + 4 <= rows; t += 4) {
            hn::Vec<D> r[4], c[4];
            HWY_UNROLL(4)
            for (int i = 0; i < 4; ++i) r[i] = load_runs(d, source + (t + i) * stride + x * 3);
            transpose_4x4_rgb(d, r, c);
            HWY_UNROLL(4)
            for (int j = 0; j < 4; ++j) {
                HWY_UNROLL(2)
                for (int k = 0; k < kBlocks; ++k) {
                    HWY_ALIGN uint8_t run[16];
                    hn::Store(block(d, c[j], k), d8, run);
                    std::memcpy(destination + ((x + 4 * k + j) * height + t) * 3, run, 12);
                }
            }
        }
    }
    return x;
}

// One-byte pixels in whole bands only, three-byte ones in bands of 4 rows or more; only columns
// whose 16-byte loads stay inside their row. The rest of the band takes the plain kernel.
void transpose_band_vector(const uint8_t *HWY_RESTRICT source, uint8_t *HWY_RESTRICT destination,
                           int64_t width, int64_t height, int64_t rows, int32_t depth,
                           int64_t first, int64_t last) {
    const D8 d8;
    int64_t x = first;
    // The band is turned over 16 rows at a time, each destination row written in order.
    constexpr int64_t kTile = 16;
    if (rows == kTransposeBand && depth == 1) {
        for (; x + 16 <= last; x += 16) {
            for (int64_t t = 0; t < kTransposeBand; t += kTile) {
                V8 v[16];
                HWY_UNROLL(16)
                for (int r = 0; r < 16; ++r) v[r] = hn::LoadU(d8, source + (t + r) * width + x);
                transpose_16x16(v);
                HWY_UNROLL(16)
                for (int j = 0; j < 16; ++j) {
                    hn::StoreU(v[j], d8, destination + (x + j) * height + t);
                }
            }
        }
    } else if (depth == 3 && rows >= 4) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
        // Two runs of four columns in each 32-byte vector: half the shuffles a pixel.
        x = transpose_rgb_tiles(D8x2(), source, destination, width, height, rows, x, last);
#endif
        x = transpose_rgb_tiles(d8, source, destination, width, height, rows, x, last);
        // The last rows of the columns done, fewer than 4.
        const int64_t done = rows / 4 * 4;
        transpose_band(source + done * width * 3, destination + done * 3, width, height,
                       rows - done, depth, first, x);
    }
    transpose_band(source, destination, width, height, rows, depth, x, last);
}

#else

// Never picked on the SVE targets (transpose_band_kernels skips them), but each target needs an
// entry.
void transpose_band_vector(const uint8_t *source, uint8_t *destination, int64_t width,
                           int64_t height, int64_t rows, int32_t depth, int64_t first,
                           int64_t last) {
    transpose_band_fast(source, destination, width, height, rows, depth, first, last);
}

#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(transpose_band_vector, transpose_band_hwy);

}  // namespace tamsa::gfx
#endif
