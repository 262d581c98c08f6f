#include <algorithm>
#include <cstring>
#include <vector>

#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;

enum class Kind { opaque, trans, alpha };

int32_t wrap32(int64_t v) {
    return int32_t(uint32_t(uint64_t(v)));
}

// The blit rules, written per source pixel: each lands on (x + u, y + v) when that lies in the
// destination. Rows and columns go in ascending order, so a source inside the destination reads
// the bytes already written, as the documented traversal does.
void reference(Kind kind, uint8_t *dst, int32_t dw, int32_t dh, int32_t depth, const uint8_t *src,
               int32_t sw, int32_t sh, int32_t x, int32_t y, int32_t t) {
    const int32_t o = wrap32(int64_t(t) * 255) / 100;
    for (int64_t v = 0; v < sh; ++v) {
        for (int64_t u = 0; u < sw; ++u) {
            const int64_t m = x + u, n = y + v;
            if (m < 0 || m >= dw || n < 0 || n >= dh) continue;
            uint8_t *d = dst + (n * dw + m) * depth;
            const uint8_t *s = src + (v * sw + u) * depth;
            if (depth == 1 || kind == Kind::opaque) {
                for (int c = 0; c < depth; ++c) d[c] = s[c];
            } else if (kind == Kind::trans) {
                for (int c = 0; c < 3; ++c) {
                    d[c] = uint8_t(wrap32(int64_t(d[c]) * t + s[c] * (100 - int64_t(t))) / 100);
                }
            } else {
                const int64_t a = std::min<int64_t>(255 - (s[0] + s[1] + s[2]) / 3 + o, 255);
                for (int c = 0; c < 3; ++c)
                    d[c] = uint8_t(wrap32(d[c] * a + s[c] * (255 - a)) / 255);
            }
        }
    }
}

void blit(Kind kind, kv_bitmap *d, int32_t sw, int32_t sh, const uint8_t *s, int32_t x, int32_t y,
          int32_t t) {
    switch (kind) {
        case Kind::opaque:
            return kv_chunkyblit(d, sw, sh, s, x, y);
        case Kind::trans:
            return kv_transchunkyblit(d, sw, sh, s, x, y, t);
        case Kind::alpha:
            return kv_transalphachunkyblit(d, sw, sh, s, x, y, t);
    }
}

class Blit : public LeakCheck {
   protected:
    void TearDown() override {
        tamsa::use_plain_kernels(false);
        LeakCheck::TearDown();
    }
};

// Placements at and across every edge of a 10 x 10 destination, with the region they must
// cover: columns [c0, c1), rows [r0, r1).
struct edge_case {
    int32_t x, y, sw, sh, c0, c1, r0, r1;
};
class BlitEdges : public Blit, public ::testing::WithParamInterface<edge_case> {};

TEST_P(BlitEdges, CoverExactlyTheClippedRegion) {
    const edge_case e = GetParam();
    for (int32_t depth : {3, 1}) {
        BitmapPtr d = random_bitmap(10, 10, depth, 1);
        const auto before = pixels(*d);
        BusBuffer s(uint32_t(e.sw * e.sh * depth));
        Rng(2).fill(s.data(), s.size());
        kv_chunkyblit(d.get(), e.sw, e.sh, s.data(), e.x, e.y);
        for (int32_t n = 0; n < 10; ++n) {
            for (int32_t m = 0; m < 10; ++m) {
                const bool in = m >= e.c0 && m < e.c1 && n >= e.r0 && n < e.r1;
                for (int32_t c = 0; c < depth; ++c) {
                    const uint8_t want = in ? s[((n - e.y) * e.sw + (m - e.x)) * depth + c]
                                            : before[(n * 10 + m) * depth + c];
                    ASSERT_EQ(d->data[(n * 10 + m) * depth + c], want)
                        << "depth " << depth << " pixel " << m << "," << n;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Placements, BlitEdges,
    ::testing::Values(edge_case{-1, -1, 4, 3, 0, 3, 0, 2},    // top-left corner
                      edge_case{10, 0, 4, 3, 0, 0, 0, 0},     // x = width
                      edge_case{0, 10, 4, 3, 0, 0, 0, 0},     // y = height
                      edge_case{9, 2, 4, 3, 9, 10, 2, 5},     // x = width - 1: one column
                      edge_case{3, 8, 2, 5, 3, 5, 8, 10},     // bottom edge
                      edge_case{-4, 0, 4, 3, 0, 0, 0, 0},     // just left of column 0
                      edge_case{0, 0, 10, 10, 0, 10, 0, 10},  // the whole destination
                      edge_case{-2, -3, 14, 15, 0, 10, 0, 10},
                      edge_case{INT32_MAX, INT32_MAX, 4, 3, 0, 0, 0, 0},
                      edge_case{INT32_MIN, 0, 4, 3, 0, 0, 0, 0},
                      edge_case{2, 2, 0, 3, 0, 0, 0, 0}));

// Every example of the rules: {kind, transparency, source byte, destination byte, result}.
struct rule_case {
    Kind kind;
    int32_t t;
    uint8_t s, d, want;
};
class BlitRules : public Blit, public ::testing::WithParamInterface<rule_case> {};

TEST_P(BlitRules, GiveTheStatedBytes) {
    const rule_case r = GetParam();
    for (bool plain : {true, false}) {
        tamsa::use_plain_kernels(plain);
        BitmapPtr d(kv_allocbitmap(3, 1, 3));
        std::memset(d->data, r.d, 9);
        const uint8_t s[9] = {r.s, r.s, r.s, r.s, r.s, r.s, r.s, r.s, r.s};
        blit(r.kind, d.get(), 3, 1, s, 0, 0, r.t);
        EXPECT_EQ(pixels(*d), std::vector<uint8_t>(9, r.want)) << "plain " << plain;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, BlitRules,
    ::testing::Values(
        rule_case{Kind::trans, 50, 255, 0, 127}, rule_case{Kind::trans, 50, 0, 255, 127},
        rule_case{Kind::trans, 0, 77, 200, 77}, rule_case{Kind::trans, 100, 77, 200, 200},
        rule_case{Kind::alpha, 0, 128, 0, 64}, rule_case{Kind::alpha, 0, 255, 9, 255},
        rule_case{Kind::alpha, 0, 0, 9, 9},
        rule_case{Kind::alpha, 50, 255, 0, 128},  // offset 127: a = 127, 255 * 128 / 255
        rule_case{Kind::alpha, 100, 255, 0, 0},   // 100 leaves even white out
        // out of range: not clamped, 32-bit wrap, truncation toward zero
        rule_case{Kind::trans, 200, 20, 10, 0}, rule_case{Kind::trans, -100, 0, 255, 1},
        rule_case{Kind::trans, -1, 0, 1, 0}, rule_case{Kind::trans, INT32_MAX, 0, 255, 17},
        rule_case{Kind::alpha, -100, 30, 100, 21}));

// Random destinations, blocks, positions (many off the image, clipped at every edge) and
// transparencies (many out of range), through the plain kernels and the vector kernels of every
// target, against the reference. Rows run from 0 to a few hundred pixels; the source sits in a
// block of exactly its size, misaligned by 0 to 63 bytes, so that a read past it is caught.
TEST_F(Blit, FuzzMatchesTheReference) {
    for (uint32_t iteration = 0; iteration < 600; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const Kind kind = Kind(rng.below(3));
        const int32_t depth = rng.below(4) == 0 ? 1 : 3;
        const bool wide = rng.below(2) == 0;
        const int32_t dw = int32_t(rng.below(wide ? 300 : 50)), dh = int32_t(rng.below(12));
        const int32_t sw = int32_t(rng.below(wide ? 300 : 45)), sh = int32_t(rng.below(9));
        const int32_t x = int32_t(rng.below(uint32_t(dw + sw + 1))) - sw;
        const int32_t y = int32_t(rng.below(24)) - 9;
        const int32_t t = rng.below(3) == 0 ? int32_t(rng.next()) : int32_t(rng.below(121)) - 10;
        const uint32_t shift = rng.below(64);
        BitmapPtr block = random_bitmap(int32_t(shift) + sw * sh * depth, 1, 1, iteration + 7);
        const uint8_t *s = block->data + shift;
        BitmapPtr d = random_bitmap(dw, dh, depth, iteration);
        auto want = pixels(*d);
        reference(kind, want.data(), dw, dh, depth, s, sw, sh, x, y, t);
        const auto before = pixels(*d);
        tamsa_test::each_kernel([&] {
            std::copy(before.begin(), before.end(), d->data);
            blit(kind, d.get(), sw, sh, s, x, y, t);
            ASSERT_EQ(pixels(*d), want) << "kind " << int(kind) << " t " << t;
        });
    }
}

// Over the usual transparencies the fast kernels replace the divisions by multiply-shifts:
// every (destination, source) byte pair for the translucent blit, and every pair of the first two
// source bytes (the third and the destination varied) for the alpha blit, at every t in 0..100,
// on every kernel.
TEST_F(Blit, FastKernelsAgreeOverTheUsualRange) {
    constexpr int32_t kPixels = 65536;
    std::vector<uint8_t> d(kPixels * 3), src(kPixels * 3);
    for (Kind kind : {Kind::trans, Kind::alpha}) {
        for (int32_t k = 0; k < kPixels * 3; ++k) {
            const int32_t p = k / 3, c = k % 3;
            if (kind == Kind::trans) {  // every byte pair among the first 65536 bytes
                d[k] = uint8_t(k), src[k] = uint8_t(k >> 8);
            } else {  // every pair of the first two source bytes
                d[k] = uint8_t(k * 13), src[k] = uint8_t(c == 0 ? p : c == 1 ? p >> 8 : p * 7);
            }
        }
        for (int32_t t = 0; t <= 100; ++t) {
            std::vector<uint8_t> want = d;
            reference(kind, want.data(), kPixels, 1, 3, src.data(), kPixels, 1, 0, 0, t);
            tamsa_test::each_kernel([&] {
                std::vector<uint8_t> dst = d;
                kv_bitmap b{dst.data(), kPixels, 1, 3};
                blit(kind, &b, kPixels, 1, src.data(), 0, 0, t);
                ASSERT_EQ(dst, want) << "kind " << int(kind) << " t " << t;
            });
        }
    }
}

// A block read from the destination's own pixels follows the row and column order exactly.
TEST_F(Blit, SourceInsideTheDestinationFollowsTheTraversal) {
    for (Kind kind : {Kind::opaque, Kind::trans, Kind::alpha}) {
        for (int32_t offset : {0, 1, 3, 4, 31}) {
            BitmapPtr start = random_bitmap(7, 5, 3, uint64_t(offset));
            auto want = pixels(*start);
            reference(kind, want.data(), 7, 5, 3, want.data() + offset, 6, 4, 1, 1, 30);
            tamsa_test::each_kernel([&] {
                BitmapPtr d(kv_clonebitmap(start.get()));
                blit(kind, d.get(), 6, 4, d->data + offset, 1, 1, 30);
                EXPECT_EQ(pixels(*d), want) << "kind " << int(kind) << " offset " << offset;
            });
        }
    }
}

TEST_F(Blit, BadRecordsAndSizesDrawNothing) {
    uint8_t src[48];
    Rng(5).fill(src, sizeof src);
    BitmapPtr d = random_bitmap(4, 4, 3, 6);
    const auto before = pixels(*d);
    for (Kind kind : {Kind::opaque, Kind::trans, Kind::alpha}) {
        blit(kind, nullptr, 4, 4, src, 0, 0, 0);
        blit(kind, d.get(), -4, 4, src, 0, 0, 0);
        blit(kind, d.get(), 4, -4, src, 0, 0, 0);
        blit(kind, d.get(), 4, 4, nullptr, 0, 0, 0);
        // A source too large for 31 bits is refused, not read at a 196608-byte row stride.
        blit(kind, d.get(), 65536, 65536, src, 0, 0, 0);
        for (kv_bitmap bad : {kv_bitmap{d->data, 4, 4, 2}, kv_bitmap{nullptr, 4, 4, 3},
                              kv_bitmap{d->data, -4, 4, 3}}) {
            blit(kind, &bad, 4, 4, src, 0, 0, 0);
        }
        EXPECT_EQ(pixels(*d), before);
    }
}

TEST_F(Blit, BitmapWrappersPassTheSourceRecord) {
    BitmapPtr s = random_bitmap(5, 3, 3, 7);
    BitmapPtr a = random_bitmap(8, 6, 3, 8);
    BitmapPtr b(kv_clonebitmap(a.get()));
    kv_blitbitmap(a.get(), s.get(), 4, -1);
    kv_chunkyblit(b.get(), 5, 3, s->data, 4, -1);
    EXPECT_EQ(pixels(*a), pixels(*b));
    kv_blitbitmaptrans(a.get(), s.get(), -2, 2, 35);
    kv_transchunkyblit(b.get(), 5, 3, s->data, -2, 2, 35);
    EXPECT_EQ(pixels(*a), pixels(*b));

    // A 3-byte source under a 1-byte destination is read one byte per pixel.
    BitmapPtr g = random_bitmap(8, 6, 1, 9);
    BitmapPtr h(kv_clonebitmap(g.get()));
    kv_blitbitmap(g.get(), s.get(), 1, 1);
    kv_chunkyblit(h.get(), 5, 3, s->data, 1, 1);
    EXPECT_EQ(pixels(*g), pixels(*h));

    // A 1-byte source would be read past its buffer by a 3-byte destination; so would a null
    // or malformed record.
    BitmapPtr narrow = random_bitmap(5, 3, 1, 10);
    const auto before = pixels(*a);
    kv_blitbitmap(a.get(), narrow.get(), 0, 0);
    kv_blitbitmaptrans(a.get(), narrow.get(), 0, 0, 50);
    kv_blitbitmap(a.get(), nullptr, 0, 0);
    kv_blitbitmaptrans(a.get(), nullptr, 0, 0, 50);
    kv_bitmap bad{nullptr, 5, 3, 3};
    kv_blitbitmap(a.get(), &bad, 0, 0);
    EXPECT_EQ(pixels(*a), before);
    kv_blitbitmap(nullptr, s.get(), 0, 0);
}

}  // namespace
