// The rotation's vector kernel, compiled once per target Highway builds for. Built with
// -ffp-contract=off, like rotate.cpp: every multiply and every add or subtract is rounded on its
// own, in the plain kernel's order, so that each coordinate and weight is the same double.
#include <cstring>

#include "gfx/rotate_row.h"
#include "kernels/choice.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/rotate_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// One result pixel per double lane. The plain kernel's steps, lane by lane:
//  - x is an integer, exact in a double, so x = first + k + lane is exact too;
//  - u = x * c - ys and v = x * s + yc, each a multiply and then an add;
//  - the plain kernel rounds u down by truncating and stepping back; Floor gives that integer;
//  - the weights (1 - fx) * fy, fx * fy, (1 - fx) * (1 - fy), fx * (1 - fy);
//  - a byte becomes a double exactly, and each product with its weight is truncated toward zero
//    to a 32-bit integer, as int32_t() does; the four are summed and capped in 32-bit lanes.
// Integers below 2^52 cross between doubles and 64-bit lanes by adding 2^52, which puts the
// integer in the low bits of the mantissa. Both neighbour pairs of a pixel are gathered as 8
// bytes from the upper and the lower row; a group of pixels whose 8-byte reads might leave the
// source, or that the plain kernel would treat at an edge, takes the plain kernel.
template <int D>
void rotate_pixels(const rotation_source &src, int64_t y, int64_t first, uint64_t count,
                   uint8_t *out) {
    const hn::ScalableTag<double> df;
    const hn::RebindToUnsigned<decltype(df)> du;
    const hn::Repartition<uint8_t, decltype(du)> d8;
    const size_t n = hn::Lanes(df);
    const int64_t sw = src.width, sh = src.height, hsw = sw / 2, hsh = sh / 2;
    const int64_t row_bytes = sw * D;
    const double ys = double(y) * src.s;
    const double yc = double(y) * src.c;
    const auto c = hn::Set(df, src.c), s = hn::Set(df, src.s);
    const auto vys = hn::Set(df, ys), vyc = hn::Set(df, yc);
    const auto one = hn::Set(df, 1.0);
    const auto magic = hn::Set(df, 4503599627370496.0);  // 2^52
    const auto magic_bits = hn::BitCast(du, magic);
    // Rounded-down u and v whose neighbours the 8-byte reads reach inside the source.
    constexpr int64_t kReach = D == 3 ? 3 : 8;  // columns from col whose bytes are read
    const auto min_u = hn::Set(df, double(-hsw));
    const auto max_u = hn::Set(df, double(sw - kReach - hsw));
    const auto min_v = hn::Set(df, double(hsh + 1 - sh));
    const auto max_v = hn::Set(df, double(hsh - 1));
    // Byte offset of the upper-left neighbour: (hsh - 1 - v) * row_bytes + (hsw + u) * D.
    const auto base = hn::Set(df, double((hsh - 1) * row_bytes + hsw * D));
    const auto vrow = hn::Set(df, double(row_bytes));
    const auto vdepth = hn::Set(df, double(D));
    const auto lanes = hn::Iota(df, 0.0);
    // Byte j of each 64-bit lane, alone in its lane.
    constexpr uint8_t Z = 0x80;
    alignas(16) static constexpr uint8_t kPick[6][16] = {
        {0, Z, Z, Z, Z, Z, Z, Z, 8, Z, Z, Z, Z, Z, Z, Z},
        {1, Z, Z, Z, Z, Z, Z, Z, 9, Z, Z, Z, Z, Z, Z, Z},
        {2, Z, Z, Z, Z, Z, Z, Z, 10, Z, Z, Z, Z, Z, Z, Z},
        {3, Z, Z, Z, Z, Z, Z, Z, 11, Z, Z, Z, Z, Z, Z, Z},
        {4, Z, Z, Z, Z, Z, Z, Z, 12, Z, Z, Z, Z, Z, Z, Z},
        {5, Z, Z, Z, Z, Z, Z, Z, 13, Z, Z, Z, Z, Z, Z, Z}};
    const auto byte = [&](hn::Vec<decltype(du)> pair, int j) TAMSA_LAMBDA_INLINE {
        const auto alone = hn::BitCast(
            du, hn::TableLookupBytesOr0(hn::BitCast(d8, pair), hn::LoadDup128(d8, kPick[j])));
#if HWY_TARGET <= HWY_AVX3
        return hn::ConvertTo(df, alone);
#else
        return hn::Sub(hn::BitCast(df, hn::Or(alone, magic_bits)), magic);
#endif
    };
    const hn::Rebind<int32_t, decltype(df)> d32;
#if HWY_TARGET <= HWY_AVX3
    const auto cap64 = hn::Set(du, uint64_t(255));
    const auto four_magic = hn::Set(du, 4 * 0x4330000000000000ull);
#else
    // A product truncated toward zero, as int32_t() does.
    const auto truncated = [&](hn::Vec<decltype(df)> b, hn::Vec<decltype(df)> w)
                               TAMSA_LAMBDA_INLINE { return hn::DemoteTo(d32, hn::Mul(b, w)); };
    const auto cap32 = hn::Set(d32, 255);
#endif
    // 3-byte results are stored 4 bytes a pixel and the fourth dropped, which writes n bytes past
    // the group; a group runs only while they stay in the row.
    const uint64_t spill = D == 3 ? n : 0;
    using VF = hn::Vec<decltype(df)>;
    using VU = hn::Vec<decltype(du)>;
    // The group of n pixels at k turned back into the source: u, v and their floors. False when
    // the group takes the plain kernel's edge cases.
    const auto locate = [&](uint64_t k, VF &u, VF &v, VF &iu, VF &iv) TAMSA_LAMBDA_INLINE {
        const auto x = hn::Add(lanes, hn::Set(df, double(first + int64_t(k))));
        u = hn::Sub(hn::Mul(x, c), vys);
        v = hn::Add(hn::Mul(x, s), vyc);
        iu = hn::Floor(u);
        iv = hn::Floor(v);
        const auto inside = hn::And(hn::And(hn::Ge(iu, min_u), hn::Le(iu, max_u)),
                                    hn::And(hn::Ge(iv, min_v), hn::Le(iv, max_v)));
        return hn::AllTrue(df, inside);
    };
    // Both neighbour pairs of every pixel of a located group, as 8 bytes from the upper and from
    // the lower row.
    const auto fetch = [&](VF iu, VF iv, VU &upper, VU &lower) TAMSA_LAMBDA_INLINE {
        const auto offset = hn::Add(hn::Sub(base, hn::Mul(iv, vrow)), hn::Mul(iu, vdepth));
        const auto at = hn::Sub(hn::BitCast(du, hn::Add(offset, magic)), magic_bits);
#if HWY_TARGET <= HWY_AVX3
        // AVX-512 gathers beat loading the lanes one by one.
        const hn::RebindToSigned<decltype(df)> di;
        const auto *bytes = reinterpret_cast<const uint64_t *>(src.data);
        upper = hn::GatherOffset(du, bytes, hn::BitCast(di, at));
        lower = hn::GatherOffset(du, bytes, hn::Add(hn::BitCast(di, at), hn::Set(di, row_bytes)));
#else
        HWY_ALIGN uint64_t offsets[hn::MaxLanes(du)];
        hn::Store(at, du, offsets);
        HWY_ALIGN uint64_t pairs[2][hn::MaxLanes(du)];
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(&pairs[0][i], src.data + offsets[i], 8);
            std::memcpy(&pairs[1][i], src.data + offsets[i] + row_bytes, 8);
        }
        upper = hn::Load(du, pairs[0]);
        lower = hn::Load(du, pairs[1]);
#endif
    };
    // The pixels of a fetched group, stored at k; exact stores only their own bytes.
    const auto finish = [&](VF u, VF v, VF iu, VF iv, VU upper, VU lower, uint64_t k,
                            bool exact) TAMSA_LAMBDA_INLINE {
        const auto fx = hn::Sub(u, iu);
        const auto fy = hn::Sub(v, iv);
        const auto w_ul = hn::Mul(hn::Sub(one, fx), fy);
        const auto w_ur = hn::Mul(fx, fy);
        const auto w_ll = hn::Mul(hn::Sub(one, fx), hn::Sub(one, fy));
        const auto w_lr = hn::Mul(fx, hn::Sub(one, fy));
#if HWY_TARGET <= HWY_AVX3
        // The product rounded down by an add of 2^52 that itself rounds down (AVX-512's rounding
        // per instruction, which Highway does not offer): the integer lands in the low bits,
        // and four such sums less 4 * 2^52 are the sum of the truncated products.
        const auto floored = [&](hn::Vec<decltype(df)> b,
                                 hn::Vec<decltype(df)> w) TAMSA_LAMBDA_INLINE {
            const auto product = hn::Mul(b, w);
            return hn::BitCast(
                du, hn::Vec<decltype(df)>{_mm512_add_round_pd(
                        product.raw, magic.raw, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)});
        };
        const auto channel = [&](int ch) TAMSA_LAMBDA_INLINE {
            const auto sum = hn::Add(
                hn::Add(floored(byte(upper, ch), w_ul), floored(byte(upper, D + ch), w_ur)),
                hn::Add(floored(byte(lower, ch), w_ll), floored(byte(lower, D + ch), w_lr)));
            return hn::Min(hn::Sub(sum, four_magic), cap64);
        };
        hn::Vec<decltype(du)> pixel64 = channel(0);
        if constexpr (D == 3) {
            pixel64 = hn::Or(hn::Or(pixel64, hn::ShiftLeft<8>(channel(1))),
                             hn::ShiftLeft<16>(channel(2)));
        }
        const hn::Rebind<uint32_t, decltype(du)> du32;
        const auto pixel = hn::BitCast(d32, hn::TruncateTo(du32, pixel64));
#else
        const auto channel = [&](int ch) TAMSA_LAMBDA_INLINE {
            const auto sum = hn::Add(
                hn::Add(truncated(byte(upper, ch), w_ul), truncated(byte(upper, D + ch), w_ur)),
                hn::Add(truncated(byte(lower, ch), w_ll), truncated(byte(lower, D + ch), w_lr)));
            return hn::Min(sum, cap32);
        };
        hn::Vec<decltype(d32)> pixel = channel(0);
        if constexpr (D == 3) {
            pixel =
                hn::Or(hn::Or(pixel, hn::ShiftLeft<8>(channel(1))), hn::ShiftLeft<16>(channel(2)));
        }
#endif
        if constexpr (D == 1) {
            const hn::Rebind<uint8_t, decltype(du)> dbytes;
            hn::StoreU(hn::DemoteTo(dbytes, pixel), dbytes, out + k);
        } else {
            const hn::Repartition<uint8_t, decltype(d32)> d32b;
            alignas(16) static constexpr uint8_t kDrop[16] = {0,  1,  2,  4,  5, 6, 8, 9,
                                                              10, 12, 13, 14, Z, Z, Z, Z};
            auto packed = hn::BitCast(d32, hn::TableLookupBytesOr0(hn::BitCast(d32b, pixel),
                                                                   hn::LoadDup128(d32b, kDrop)));
            if constexpr (hn::MaxLanes(d32) > 4) {
                // Two 16-byte blocks: the second one's 12 bytes move next to the first's.
                alignas(32) static constexpr int32_t kTogether[8] = {0, 1, 2, 4, 5, 6, 3, 3};
                packed = hn::TableLookupLanes(packed, hn::SetTableIndices(d32, kTogether));
            }
            const hn::RebindToUnsigned<decltype(d32)> du32;
            const auto bytes32 = hn::BitCast(du32, packed);
            if (exact) {
                hn::BlendedStore(bytes32, hn::FirstN(du32, 3 * n / 4), du32,
                                 reinterpret_cast<uint32_t *>(out + 3 * k));
            } else {
                hn::StoreU(hn::BitCast(d32b, packed), d32b, out + 3 * k);
            }
        }
    };
    // One group: false when it takes the plain kernel's edge cases, which it then leaves undone.
    const auto group = [&](uint64_t k, bool exact) TAMSA_LAMBDA_INLINE {
        VF u = hn::Zero(df), v = u, iu = u, iv = u;
        if (!locate(k, u, v, iu, iv)) return false;
        VU upper = hn::Zero(du), lower = upper;
        fetch(iu, iv, upper, lower);
        finish(u, v, iu, iv, upper, lower, k, exact);
        return true;
    };
    // Whole 32-bit lanes hold the 3n bytes of a group only from four pixels on.
    const bool exact = D == 1 || n % 4 == 0;
    uint64_t k = 0;
    // G groups a step, all fetched before any is worked out: the gathers wait on memory, and
    // the later groups' are under way while the first's arithmetic runs.
    constexpr size_t G = 4;
    for (; k + G * n <= count && D * (k + G * n) + spill <= D * count; k += G * n) {
        VF u[G], v[G], iu[G], iv[G];
        bool inside = true;
        for (size_t g = 0; g < G; ++g) inside &= locate(k + g * n, u[g], v[g], iu[g], iv[g]);
        if (!inside) {
            for (size_t g = 0; g < G; ++g) {
                if (!group(k + g * n, false)) {
                    rotate_row(src, y, first + int64_t(k + g * n), n, out + D * (k + g * n));
                }
            }
            continue;
        }
        VU upper[G], lower[G];
        for (size_t g = 0; g < G; ++g) fetch(iu[g], iv[g], upper[g], lower[g]);
        for (size_t g = 0; g < G; ++g) {
            finish(u[g], v[g], iu[g], iv[g], upper[g], lower[g], k + g * n, false);
        }
    }
    for (; k + n <= count; k += n) {
        const bool spills = D * (k + n) + spill > D * count;
        if (spills && !exact) break;
        if (!group(k, spills)) rotate_row(src, y, first + int64_t(k), n, out + D * k);
    }
    // One more group that ends with the row: the pixels it computes again come out the same.
    if (k < count && count >= n && exact && group(count - n, true)) k = count;
    rotate_row(src, y, first + int64_t(k), count - k, out + D * k);
}

void rotate_row_vector(const rotation_source &source, int64_t y, int64_t first, uint64_t count,
                       uint8_t *out) {
    if (source.depth == 3) return rotate_pixels<3>(source, y, first, count, out);
    rotate_pixels<1>(source, y, first, count, out);
}

#else

void rotate_row_vector(const rotation_source &source, int64_t y, int64_t first, uint64_t count,
                       uint8_t *out) {
    rotate_row(source, y, first, count, out);
}

#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(rotate_row_vector, rotate_row_hwy);

}  // namespace tamsa::gfx
#endif
