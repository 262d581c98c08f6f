// The rotation's vector kernel, compiled once per target Highway builds for. Built with
// -ffp-contract=off, like rotate.cpp: every multiply and every add or subtract is rounded on its
// own, in the plain kernel's order, so that each coordinate and weight is the same double.
#include <cmath>
#include <cstring>

#include "gfx/rotate_row.h"

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
// A group whose neighbours all lie outside the picture reads nothing: every neighbour is fill,
// and the same arithmetic runs on the fill bytes as constants, once for a fill whose channels
// are one byte; with a fill of zeros every product is zero.
//
// The steps below are functions inlined into the row's loop; they make their vectors from the
// row's scalars, which the compiler then keeps in registers for the whole row.

constexpr double kMagic = 4503599627370496.0;  // 2^52

// One row of the result, in scalars.
struct row_frame {
    const rotation_source *source;
    int64_t y, first;
    int64_t row_bytes;
    double c, s, ys, yc;
    // The rounded-down u and v whose neighbours the 8-byte reads reach inside the source.
    double min_u, max_u, min_v, max_v;
    // Byte offset of the upper-left neighbour: base - v * row_bytes + u * depth.
    double base;
    // Rounded-down u and v whose neighbours all lie left of, right of, below or above the
    // picture.
    double left_u, right_u, below_v, above_v;
    bool zero_fill;
    bool grey_fill;  // every channel of the fill the same byte
};

template <int D>
HWY_INLINE row_frame frame_of(const rotation_source &src, int64_t y, int64_t first) {
    const int64_t sw = src.width, sh = src.height, hsw = sw / 2, hsh = sh / 2;
    const int64_t row_bytes = sw * D;
    constexpr int64_t kReach = D == 3 ? 3 : 8;  // columns from col whose bytes are read
    return {&src, y, first, row_bytes, src.c, src.s, double(y) * src.s, double(y) * src.c,
            double(-hsw), double(sw - kReach - hsw), double(hsh + 1 - sh), double(hsh - 1),
            double((hsh - 1) * row_bytes + hsw * D),
            // col + 1 < left; col >= right; upper = hsh - v - 1 >= bottom; lower = hsh - v < top
            double(src.left - hsw - 2), double(src.right - hsw), double(hsh - 1 - src.bottom),
            double(hsh - src.top + 1),
            src.fill[0] == 0 && (D == 1 || (src.fill[1] == 0 && src.fill[2] == 0)),
            D == 1 || (src.fill[1] == src.fill[0] && src.fill[2] == src.fill[0])};
}

// Byte j of each 64-bit lane of pair, as a double.
template <class DF>
HWY_INLINE hn::Vec<DF> lane_byte(DF df, hn::Vec<hn::RebindToUnsigned<DF>> pair, int j) {
    const hn::RebindToUnsigned<DF> du;
    const hn::Repartition<uint8_t, decltype(du)> d8;
    constexpr uint8_t Z = 0x80;
    alignas(16) static constexpr uint8_t kPick[6][16] = {
        {0, Z, Z, Z, Z, Z, Z, Z, 8, Z, Z, Z, Z, Z, Z, Z},
        {1, Z, Z, Z, Z, Z, Z, Z, 9, Z, Z, Z, Z, Z, Z, Z},
        {2, Z, Z, Z, Z, Z, Z, Z, 10, Z, Z, Z, Z, Z, Z, Z},
        {3, Z, Z, Z, Z, Z, Z, Z, 11, Z, Z, Z, Z, Z, Z, Z},
        {4, Z, Z, Z, Z, Z, Z, Z, 12, Z, Z, Z, Z, Z, Z, Z},
        {5, Z, Z, Z, Z, Z, Z, Z, 13, Z, Z, Z, Z, Z, Z, Z}};
    const auto alone = hn::BitCast(
        du, hn::TableLookupBytesOr0(hn::BitCast(d8, pair), hn::LoadDup128(d8, kPick[j])));
#if HWY_TARGET <= HWY_AVX3
    return hn::ConvertTo(df, alone);
#else
    const auto magic = hn::Set(df, kMagic);
    return hn::Sub(hn::BitCast(df, hn::Or(alone, hn::BitCast(du, magic))), magic);
#endif
}

// Where a group's neighbours lie: all in the fill, all where the 8-byte reads stay inside the
// source, or somewhere that takes the plain kernel.
enum class reach { fill, source, edge };

// The group of pixels at k turned back into the source: u, v and their floors.
template <class DF>
HWY_INLINE void place(DF df, const row_frame &f, uint64_t k, hn::Vec<DF> &u, hn::Vec<DF> &v,
                      hn::Vec<DF> &iu, hn::Vec<DF> &iv) {
    const auto x = hn::Add(hn::Iota(df, 0.0), hn::Set(df, double(f.first + int64_t(k))));
    u = hn::Sub(hn::Mul(x, hn::Set(df, f.c)), hn::Set(df, f.ys));
    v = hn::Add(hn::Mul(x, hn::Set(df, f.s)), hn::Set(df, f.yc));
    iu = hn::Floor(u);
    iv = hn::Floor(v);
}

// The group of pixels at k placed, and where their neighbours lie; where the row's spans
// already tell, that.
template <class DF>
HWY_INLINE reach locate(DF df, const row_frame &f, uint64_t k, reach known, hn::Vec<DF> &u,
                        hn::Vec<DF> &v, hn::Vec<DF> &iu, hn::Vec<DF> &iv) {
    place(df, f, k, u, v, iu, iv);
    if (known != reach::edge) return known;
    const auto fill =
        hn::Or(hn::Or(hn::Le(iu, hn::Set(df, f.left_u)), hn::Ge(iu, hn::Set(df, f.right_u))),
               hn::Or(hn::Le(iv, hn::Set(df, f.below_v)), hn::Ge(iv, hn::Set(df, f.above_v))));
    if (hn::AllTrue(df, fill)) return reach::fill;
    const auto inside =
        hn::And(hn::And(hn::Ge(iu, hn::Set(df, f.min_u)), hn::Le(iu, hn::Set(df, f.max_u))),
                hn::And(hn::Ge(iv, hn::Set(df, f.min_v)), hn::Le(iv, hn::Set(df, f.max_v))));
    return hn::AllTrue(df, inside) ? reach::source : reach::edge;
}

// The rounded-down u and v of pixel k of the row, as place() makes them.
HWY_INLINE void floors_at(const row_frame &f, int64_t k, double &iu, double &iv) {
    const double x = double(f.first + k);
    iu = std::floor(x * f.c - f.ys);
    iv = std::floor(x * f.s + f.yc);
}

// Narrows [lo, hi) to the pixels where holds() is true, for a test that is true on a run at one
// end of the range or on all of it or none.
template <class Test>
HWY_INLINE void narrow(int64_t &lo, int64_t &hi, const Test &holds) {
    if (lo >= hi) return;
    const bool first = holds(lo), last = holds(hi - 1);
    if (first && last) return;
    if (!first && !last) {
        hi = lo;
        return;
    }
    int64_t a = lo, b = hi - 1;  // holds(a) != holds(b)
    while (b - a > 1) {
        const int64_t m = a + (b - a) / 2;
        (holds(m) == first ? a : b) = m;
    }
    // A run at the start ends at b; one at the end starts there.
    (first ? hi : lo) = b;
}

// The pixels of a row whose neighbours are not all fill, and those whose 8-byte reads stay in
// the source. x * c and x * s rounded grow with x (or shrink, for negative c and s), and so do u,
// v and their floors: each bound holds on a run at one end of the row, and both sets are runs.
struct spans {
    int64_t picture_first, picture_end, inside_first, inside_end;
};

HWY_INLINE spans spans_of(const row_frame &f, uint64_t count) {
    spans r{0, int64_t(count), 0, int64_t(count)};
    const auto u_of = [&](int64_t k) {
        double iu, iv;
        floors_at(f, k, iu, iv);
        return iu;
    };
    const auto v_of = [&](int64_t k) {
        double iu, iv;
        floors_at(f, k, iu, iv);
        return iv;
    };
    narrow(r.picture_first, r.picture_end, [&](int64_t k) { return u_of(k) > f.left_u; });
    narrow(r.picture_first, r.picture_end, [&](int64_t k) { return u_of(k) < f.right_u; });
    narrow(r.picture_first, r.picture_end, [&](int64_t k) { return v_of(k) > f.below_v; });
    narrow(r.picture_first, r.picture_end, [&](int64_t k) { return v_of(k) < f.above_v; });
    narrow(r.inside_first, r.inside_end, [&](int64_t k) { return u_of(k) >= f.min_u; });
    narrow(r.inside_first, r.inside_end, [&](int64_t k) { return u_of(k) <= f.max_u; });
    narrow(r.inside_first, r.inside_end, [&](int64_t k) { return v_of(k) >= f.min_v; });
    narrow(r.inside_first, r.inside_end, [&](int64_t k) { return v_of(k) <= f.max_v; });
    return r;
}

// Where the neighbours of pixels k .. k + m - 1 lie, as far as the row's spans tell: edge when
// they do not.
HWY_INLINE reach known_reach(const spans &r, uint64_t k, uint64_t m) {
    const auto a = int64_t(k), b = int64_t(k + m);
    if (b <= r.picture_first || a >= r.picture_end) return reach::fill;
    if (a >= r.inside_first && b <= r.inside_end) return reach::source;
    return reach::edge;
}

// Both neighbour pairs of every pixel of a located group, as 8 bytes from the upper and from
// the lower row.
template <int D, class DF, class VU = hn::Vec<hn::RebindToUnsigned<DF>>>
HWY_INLINE void fetch(DF df, const row_frame &f, hn::Vec<DF> iu, hn::Vec<DF> iv, VU &upper,
                      VU &lower) {
    const hn::RebindToUnsigned<DF> du;
    const auto magic = hn::Set(df, kMagic);
    const auto offset =
        hn::Add(hn::Sub(hn::Set(df, f.base), hn::Mul(iv, hn::Set(df, double(f.row_bytes)))),
                hn::Mul(iu, hn::Set(df, double(D))));
    const auto at = hn::Sub(hn::BitCast(du, hn::Add(offset, magic)), hn::BitCast(du, magic));
#if HWY_TARGET <= HWY_AVX3
    // AVX-512 gathers beat loading the lanes one by one.
    const hn::RebindToSigned<DF> di;
    const auto *bytes = reinterpret_cast<const uint64_t *>(f.source->data);
    upper = hn::GatherOffset(du, bytes, hn::BitCast(di, at));
    lower = hn::GatherOffset(du, bytes, hn::Add(hn::BitCast(di, at), hn::Set(di, f.row_bytes)));
#else
    HWY_ALIGN uint64_t offsets[hn::MaxLanes(du)];
    hn::Store(at, du, offsets);
    HWY_ALIGN uint64_t pairs[2][hn::MaxLanes(du)];
    for (size_t i = 0; i < hn::Lanes(du); ++i) {
        std::memcpy(&pairs[0][i], f.source->data + offsets[i], 8);
        std::memcpy(&pairs[1][i], f.source->data + offsets[i] + f.row_bytes, 8);
    }
    upper = hn::Load(du, pairs[0]);
    lower = hn::Load(du, pairs[1]);
#endif
}

// The four neighbours' weights of every pixel of a group, in the plain kernel's order. (SVE
// vectors cannot be members of a struct: they travel one by one.)
template <class DF, class V = hn::Vec<DF>>
HWY_INLINE void weigh(DF df, V fx, V fy, V &ul, V &ur, V &ll, V &lr) {
    const auto one = hn::Set(df, 1.0);
    ul = hn::Mul(hn::Sub(one, fx), fy);
    ur = hn::Mul(fx, fy);
    ll = hn::Mul(hn::Sub(one, fx), hn::Sub(one, fy));
    lr = hn::Mul(fx, hn::Sub(one, fy));
}

#if HWY_TARGET <= HWY_AVX3

// The product rounded down by an add of 2^52 that itself rounds down (AVX-512's rounding per
// instruction, which Highway does not offer): the integer lands in the low bits, and four such
// sums less 4 * 2^52 are the sum of the truncated products.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> floored(DF df, hn::Vec<DF> b, hn::Vec<DF> w) {
    const auto product = hn::Mul(b, w);
    return hn::BitCast(hn::RebindToUnsigned<DF>(),
                       hn::Vec<DF>{_mm512_add_round_pd(product.raw, hn::Set(df, kMagic).raw,
                                                       _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)});
}

// One channel of every pixel of a group from its four neighbours' bytes, in 64-bit lanes.
template <class DF, class V = hn::Vec<DF>>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> channel(DF df, V w_ul, V w_ur, V w_ll, V w_lr, V ul,
                                                     V ur, V ll, V lr) {
    const hn::RebindToUnsigned<DF> du;
    const auto sum = hn::Add(hn::Add(floored(df, ul, w_ul), floored(df, ur, w_ur)),
                             hn::Add(floored(df, ll, w_ll), floored(df, lr, w_lr)));
    return hn::Min(hn::Sub(sum, hn::Set(du, 4 * 0x4330000000000000ull)),
                   hn::Set(du, uint64_t{255}));
}

#else

// A product truncated toward zero, as int32_t() does.
template <class DF>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, DF>> truncated(DF, hn::Vec<DF> b, hn::Vec<DF> w) {
    return hn::DemoteTo(hn::Rebind<int32_t, DF>(), hn::Mul(b, w));
}

// One channel of every pixel of a group from its four neighbours' bytes, in 32-bit lanes.
template <class DF, class V = hn::Vec<DF>>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, DF>> channel(DF df, V w_ul, V w_ur, V w_ll, V w_lr, V ul,
                                                    V ur, V ll, V lr) {
    const auto sum = hn::Add(hn::Add(truncated(df, ul, w_ul), truncated(df, ur, w_ur)),
                             hn::Add(truncated(df, ll, w_ll), truncated(df, lr, w_lr)));
    return hn::Min(sum, hn::Set(hn::Rebind<int32_t, DF>(), 255));
}

#endif

// Three channels, one per byte from the low one up.
template <class V>
HWY_INLINE V joined(V c0, V c1, V c2) {
    return hn::Or(hn::Or(c0, hn::ShiftLeft<8>(c1)), hn::ShiftLeft<16>(c2));
}

// Pixels made in the lanes channel() works in, one per 32-bit lane.
template <class DF, class V>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, DF>> as_pixels(DF, V pixel) {
#if HWY_TARGET <= HWY_AVX3
    const hn::Rebind<uint32_t, DF> du32;
    return hn::BitCast(hn::Rebind<int32_t, DF>(), hn::TruncateTo(du32, pixel));
#else
    return pixel;
#endif
}

// Channel ch of every pixel of a fetched group.
template <int D, class DF, class V = hn::Vec<DF>, class VU = hn::Vec<hn::RebindToUnsigned<DF>>>
HWY_INLINE auto read_channel(DF df, V w_ul, V w_ur, V w_ll, V w_lr, VU upper, VU lower, int ch) {
    return channel(df, w_ul, w_ur, w_ll, w_lr, lane_byte(df, upper, ch),
                   lane_byte(df, upper, D + ch), lane_byte(df, lower, ch),
                   lane_byte(df, lower, D + ch));
}

// A channel of every pixel of a group whose neighbours all hold the byte b.
template <class DF, class V = hn::Vec<DF>>
HWY_INLINE auto fill_channel(DF df, V w_ul, V w_ur, V w_ll, V w_lr, uint8_t b) {
    const auto bytes = hn::Set(df, double(b));
    return channel(df, w_ul, w_ur, w_ll, w_lr, bytes, bytes, bytes, bytes);
}

// The pixels of a fetched group, one per 32-bit lane, channels from the low byte up, from the
// fractions of u and v.
template <int D, class DF, class V = hn::Vec<DF>, class VU = hn::Vec<hn::RebindToUnsigned<DF>>>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, DF>> interpolate(DF df, V fx, V fy, VU upper, VU lower) {
    V ul = fx, ur = fx, ll = fx, lr = fx;
    weigh(df, fx, fy, ul, ur, ll, lr);
    if constexpr (D == 3) {
        return as_pixels(df, joined(read_channel<D>(df, ul, ur, ll, lr, upper, lower, 0),
                                    read_channel<D>(df, ul, ur, ll, lr, upper, lower, 1),
                                    read_channel<D>(df, ul, ur, ll, lr, upper, lower, 2)));
    }
    return as_pixels(df, read_channel<D>(df, ul, ur, ll, lr, upper, lower, 0));
}

// The pixels of a group whose neighbours are all fill: the same arithmetic on the fill's bytes,
// which need no unpacking; a fill whose channels are one byte is worked out once.
template <int D, class DF, class V = hn::Vec<DF>>
HWY_INLINE hn::Vec<hn::Rebind<int32_t, DF>> interpolate_fill(DF df, const row_frame &f, V u, V v,
                                                             V iu, V iv) {
    V ul = u, ur = u, ll = u, lr = u;
    weigh(df, hn::Sub(u, iu), hn::Sub(v, iv), ul, ur, ll, lr);
    const uint8_t *fill = f.source->fill;
    if constexpr (D == 3) {
        if (f.grey_fill) {
            const auto c = fill_channel(df, ul, ur, ll, lr, fill[0]);
            return as_pixels(df, joined(c, c, c));
        }
        return as_pixels(df, joined(fill_channel(df, ul, ur, ll, lr, fill[0]),
                                    fill_channel(df, ul, ur, ll, lr, fill[1]),
                                    fill_channel(df, ul, ur, ll, lr, fill[2])));
    }
    return as_pixels(df, fill_channel(df, ul, ur, ll, lr, fill[0]));
}

// The pixels of a group, stored at pixel k; exact stores only their own bytes, else the 3-byte
// pixels' store writes n bytes after them.
template <int D, class DF>
HWY_INLINE void store(DF df, hn::Vec<hn::Rebind<int32_t, DF>> pixel, uint8_t *HWY_RESTRICT out,
                      uint64_t k, bool exact) {
    const hn::Rebind<int32_t, DF> d32;
    if constexpr (D == 1) {
        const hn::Rebind<uint8_t, DF> dbytes;
        hn::StoreU(hn::DemoteTo(dbytes, pixel), dbytes, out + k);
    } else {
        const hn::Repartition<uint8_t, decltype(d32)> d32b;
        constexpr uint8_t Z = 0x80;
        alignas(16) static constexpr uint8_t kDrop[16] = {0,  1,  2,  4,  5, 6, 8, 9,
                                                          10, 12, 13, 14, Z, Z, Z, Z};
        auto packed = hn::BitCast(
            d32, hn::TableLookupBytesOr0(hn::BitCast(d32b, pixel), hn::LoadDup128(d32b, kDrop)));
        if constexpr (hn::MaxLanes(d32) > 4) {
            // Two 16-byte blocks: the second one's 12 bytes move next to the first's.
            alignas(32) static constexpr int32_t kTogether[8] = {0, 1, 2, 4, 5, 6, 3, 3};
            packed = hn::TableLookupLanes(packed, hn::SetTableIndices(d32, kTogether));
        }
        const hn::RebindToUnsigned<decltype(d32)> du32;
        const auto bytes32 = hn::BitCast(du32, packed);
        if (exact) {
            hn::BlendedStore(bytes32, hn::FirstN(du32, 3 * hn::Lanes(df) / 4), du32,
                             reinterpret_cast<uint32_t *>(out + 3 * k));
        } else {
            hn::StoreU(hn::BitCast(d32b, packed), d32b, out + 3 * k);
        }
    }
}

// The pixels of a group whose neighbours are known, stored at pixel k.
template <int D, class DF, class VU = hn::Vec<hn::RebindToUnsigned<DF>>>
HWY_INLINE void finish(DF df, const row_frame &f, reach where, hn::Vec<DF> u, hn::Vec<DF> v,
                       hn::Vec<DF> iu, hn::Vec<DF> iv, VU upper, VU lower,
                       uint8_t *HWY_RESTRICT out, uint64_t k, bool exact) {
    if (where == reach::fill) {
        if (f.zero_fill) {
            std::memset(out + D * k, 0, D * hn::Lanes(df));
            return;
        }
        return store<D>(df, interpolate_fill<D>(df, f, u, v, iu, iv), out, k, exact);
    }
    store<D>(df, interpolate<D>(df, hn::Sub(u, iu), hn::Sub(v, iv), upper, lower), out, k, exact);
}

// The located group at pixel k: false when it takes the plain kernel's edge cases, which it
// then leaves undone.
template <int D, class DF>
HWY_INLINE bool located(DF df, const row_frame &f, reach where, hn::Vec<DF> u, hn::Vec<DF> v,
                        hn::Vec<DF> iu, hn::Vec<DF> iv, uint64_t k, bool exact,
                        uint8_t *HWY_RESTRICT out) {
    if (where == reach::edge) return false;
    const hn::RebindToUnsigned<DF> du;
    auto upper = hn::Zero(du), lower = upper;
    if (where == reach::source) fetch<D>(df, f, iu, iv, upper, lower);
    finish<D>(df, f, where, u, v, iu, iv, upper, lower, out, k, exact);
    return true;
}

// One group at pixel k: false when it takes the plain kernel's edge cases.
template <int D, class DF>
HWY_INLINE bool group(DF df, const row_frame &f, uint64_t k, reach known, bool exact,
                      uint8_t *HWY_RESTRICT out) {
    auto u = hn::Zero(df), v = u, iu = u, iv = u;
    const reach where = locate(df, f, k, known, u, v, iu, iv);
    return located<D>(df, f, where, u, v, iu, iv, k, exact, out);
}

// The located group at k, or the plain kernel where it meets an edge.
template <int D, class DF>
HWY_INLINE void located_or_plain(DF df, const row_frame &f, reach where, hn::Vec<DF> u,
                                 hn::Vec<DF> v, hn::Vec<DF> iu, hn::Vec<DF> iv, uint64_t k,
                                 uint8_t *HWY_RESTRICT out) {
    if (!located<D>(df, f, where, u, v, iu, iv, k, false, out)) {
        rotate_row(*f.source, f.y, f.first + int64_t(k), hn::Lanes(df), out + D * k);
    }
}

// Four groups from pixel k, all fetched before any is worked out: the reads wait on memory, and
// the later groups' are under way while the first's arithmetic runs.
template <int D, class DF>
HWY_INLINE void four_groups(DF df, const row_frame &f, uint64_t k, reach known,
                            uint8_t *HWY_RESTRICT out) {
    const hn::RebindToUnsigned<DF> du;
    const size_t n = hn::Lanes(df);
    if (known == reach::fill && f.zero_fill) {
        std::memset(out + D * k, 0, 4 * D * n);
        return;
    }
    auto u0 = hn::Zero(df), v0 = u0, iu0 = u0, iv0 = u0, u1 = u0, v1 = u0, iu1 = u0, iv1 = u0;
    auto u2 = u0, v2 = u0, iu2 = u0, iv2 = u0, u3 = u0, v3 = u0, iu3 = u0, iv3 = u0;
    const reach r0 = locate(df, f, k, known, u0, v0, iu0, iv0);
    const reach r1 = locate(df, f, k + n, known, u1, v1, iu1, iv1);
    const reach r2 = locate(df, f, k + 2 * n, known, u2, v2, iu2, iv2);
    const reach r3 = locate(df, f, k + 3 * n, known, u3, v3, iu3, iv3);
    const auto all = [&](reach r) { return r0 == r && r1 == r && r2 == r && r3 == r; };
    if (all(reach::fill) && f.zero_fill) {
        std::memset(out + D * k, 0, 4 * D * n);
        return;
    }
    if (!all(reach::source)) {
        // Where the picture meets the fill or the source's edge, group by group.
        located_or_plain<D>(df, f, r0, u0, v0, iu0, iv0, k, out);
        located_or_plain<D>(df, f, r1, u1, v1, iu1, iv1, k + n, out);
        located_or_plain<D>(df, f, r2, u2, v2, iu2, iv2, k + 2 * n, out);
        located_or_plain<D>(df, f, r3, u3, v3, iu3, iv3, k + 3 * n, out);
        return;
    }
    auto upper0 = hn::Zero(du), lower0 = upper0, upper1 = upper0, lower1 = upper0;
    auto upper2 = upper0, lower2 = upper0, upper3 = upper0, lower3 = upper0;
    fetch<D>(df, f, iu0, iv0, upper0, lower0);
    fetch<D>(df, f, iu1, iv1, upper1, lower1);
    fetch<D>(df, f, iu2, iv2, upper2, lower2);
    fetch<D>(df, f, iu3, iv3, upper3, lower3);
    store<D>(df, interpolate<D>(df, hn::Sub(u0, iu0), hn::Sub(v0, iv0), upper0, lower0), out, k,
             false);
    store<D>(df, interpolate<D>(df, hn::Sub(u1, iu1), hn::Sub(v1, iv1), upper1, lower1), out, k + n,
             false);
    store<D>(df, interpolate<D>(df, hn::Sub(u2, iu2), hn::Sub(v2, iv2), upper2, lower2), out,
             k + 2 * n, false);
    store<D>(df, interpolate<D>(df, hn::Sub(u3, iu3), hn::Sub(v3, iv3), upper3, lower3), out,
             k + 3 * n, false);
}

// A group at pixel k whose neighbours all lie in the source: placed and fetched, kept as the
// fractions of u and v and both neighbour pairs.
template <int D, class DF, class V = hn::Vec<DF>, class VU = hn::Vec<hn::RebindToUnsigned<DF>>>
HWY_INLINE void primed(DF df, const row_frame &f, uint64_t k, V &fx, V &fy, VU &upper, VU &lower) {
    auto u = hn::Zero(df), v = u, iu = u, iv = u;
    place(df, f, k, u, v, iu, iv);
    fetch<D>(df, f, iu, iv, upper, lower);
    fx = hn::Sub(u, iu);
    fy = hn::Sub(v, iv);
}

// Groups from pixel k to end (whole blocks of four) whose neighbours all lie in the source. The
// reads of each block are under way while the block before is worked out: a group's slot takes
// the next block's group as soon as its pixels are stored.
template <int D, class DF>
HWY_INLINE void source_run(DF df, const row_frame &f, uint64_t k, uint64_t end,
                           uint8_t *HWY_RESTRICT out) {
    const hn::RebindToUnsigned<DF> du;
    const size_t n = hn::Lanes(df);
    auto fx0 = hn::Zero(df), fy0 = fx0, fx1 = fx0, fy1 = fx0, fx2 = fx0, fy2 = fx0, fx3 = fx0,
         fy3 = fx0;
    auto upper0 = hn::Zero(du), lower0 = upper0, upper1 = upper0, lower1 = upper0;
    auto upper2 = upper0, lower2 = upper0, upper3 = upper0, lower3 = upper0;
    primed<D>(df, f, k, fx0, fy0, upper0, lower0);
    primed<D>(df, f, k + n, fx1, fy1, upper1, lower1);
    primed<D>(df, f, k + 2 * n, fx2, fy2, upper2, lower2);
    primed<D>(df, f, k + 3 * n, fx3, fy3, upper3, lower3);
    for (; k < end; k += 4 * n) {
        const bool more = k + 4 * n < end;
        store<D>(df, interpolate<D>(df, fx0, fy0, upper0, lower0), out, k, false);
        if (more) primed<D>(df, f, k + 4 * n, fx0, fy0, upper0, lower0);
        store<D>(df, interpolate<D>(df, fx1, fy1, upper1, lower1), out, k + n, false);
        if (more) primed<D>(df, f, k + 5 * n, fx1, fy1, upper1, lower1);
        store<D>(df, interpolate<D>(df, fx2, fy2, upper2, lower2), out, k + 2 * n, false);
        if (more) primed<D>(df, f, k + 6 * n, fx2, fy2, upper2, lower2);
        store<D>(df, interpolate<D>(df, fx3, fy3, upper3, lower3), out, k + 3 * n, false);
        if (more) primed<D>(df, f, k + 7 * n, fx3, fy3, upper3, lower3);
    }
}

template <int D>
void rotate_pixels(const rotation_source &src, int64_t y, int64_t first, uint64_t count,
                   uint8_t *HWY_RESTRICT out) {
    const hn::ScalableTag<double> df;
    const size_t n = hn::Lanes(df);
    const row_frame f = frame_of<D>(src, y, first);
    // 3-byte results are stored 4 bytes a pixel and the fourth dropped, which writes n bytes past
    // the group; a group runs only while they stay in the row. Whole 32-bit lanes hold the 3n
    // bytes of a group only from four pixels on.
    const uint64_t spill = D == 3 ? n : 0;
    const bool exact = D == 1 || n % 4 == 0;
    const spans r = spans_of(f, count);
    uint64_t k = 0;
    const auto whole = [&](uint64_t at) {
        return at + 4 * n <= count && D * (at + 4 * n) + spill <= D * count;
    };
    while (whole(k)) {
        const reach known = known_reach(r, k, 4 * n);
        if (known == reach::source) {
            uint64_t end = k + 4 * n;
            while (whole(end) && known_reach(r, end, 4 * n) == reach::source) end += 4 * n;
            source_run<D>(df, f, k, end, out);
            k = end;
            continue;
        }
        four_groups<D>(df, f, k, known, out);
        k += 4 * n;
    }
    for (; k + n <= count; k += n) {
        const bool spills = D * (k + n) + spill > D * count;
        if (spills && !exact) break;
        if (!group<D>(df, f, k, known_reach(r, k, n), spills, out)) {
            rotate_row(src, y, first + int64_t(k), n, out + D * k);
        }
    }
    // One more group that ends with the row: the pixels it computes again come out the same.
    if (k < count && count >= n && exact &&
        group<D>(df, f, count - n, known_reach(r, count - n, n), true, out)) {
        k = count;
    }
    rotate_row(src, y, first + int64_t(k), count - k, out + D * k);
}

void rotate_row_vector(const rotation_source &source, int64_t y, int64_t first, uint64_t count,
                       uint8_t *HWY_RESTRICT out) {
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
