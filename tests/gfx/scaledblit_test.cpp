#include <algorithm>
#include <array>
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
using tamsa_test::sweep_alloc_failures;

enum class Kind { copy, mask, light };

struct call {
    Kind kind;
    int32_t sw, sh, x, y, tw, th;
    int32_t threshold = 0;              // mask
    int32_t tint[3] = {255, 255, 255};  // light
};

void run(const call &c, kv_bitmap *d, const uint8_t *s) {
    switch (c.kind) {
        case Kind::copy:
            return kv_scaledblit(d, c.sw, c.sh, s, c.x, c.y, c.tw, c.th);
        case Kind::mask:
            return kv_scaledmaskblit(d, c.sw, c.sh, s, c.x, c.y, c.tw, c.th, c.threshold);
        case Kind::light:
            return kv_scaledlightblit(d, s, c.x, c.y, c.tw, c.th, c.tint[0], c.tint[1], c.tint[2]);
    }
}

// The rules per destination pixel: target pixel (i, j) samples source (i * sw / tw, j * sh / th).
std::vector<uint8_t> reference(const call &c, const kv_bitmap &d, const uint8_t *s) {
    std::vector<uint8_t> out = pixels(d);
    const int64_t sw = c.kind == Kind::light ? 256 : c.sw;
    const int64_t sh = c.kind == Kind::light ? 256 : c.sh;
    for (int64_t n = 0; n < d.height; ++n) {
        for (int64_t m = 0; m < d.width; ++m) {
            const int64_t i = m - c.x, j = n - c.y;
            if (i < 0 || i >= c.tw || j < 0 || j >= c.th) continue;
            const uint8_t *p = s + ((j * sh / c.th) * sw + i * sw / c.tw) * 3;
            uint8_t *q = out.data() + (n * d.width + m) * 3;
            for (int k = 0; k < 3; ++k) {
                if (c.kind == Kind::copy || (c.kind == Kind::mask && p[0] > c.threshold)) {
                    q[k] = p[k];
                } else if (c.kind == Kind::light) {
                    const uint8_t add = uint8_t(int32_t(uint32_t(c.tint[k]) * p[k]) / 255);
                    q[k] = uint8_t(std::min(q[k] + add, 255));
                }
            }
        }
    }
    return out;
}

class Scaled : public LeakCheck {
   protected:
    void TearDown() override {
        tamsa::use_plain_kernels(false);
        LeakCheck::TearDown();
    }
    // Runs c through the plain kernels and the vector kernels of every target; each must give
    // want.
    void expect(const call &c, const kv_bitmap &start, const uint8_t *s,
                const std::vector<uint8_t> &want) {
        tamsa_test::each_kernel([&] {
            BitmapPtr d(kv_clonebitmap(&start));
            run(c, d.get(), s);
            ASSERT_EQ(pixels(*d), want);
        });
    }
};

// Runs c with its source at byte offset of the destination's own pixels, through every kernel.
void expect_inside(const call &c, const kv_bitmap &start, int32_t offset,
                   const std::vector<uint8_t> &want) {
    tamsa_test::each_kernel([&] {
        BitmapPtr d(kv_clonebitmap(&start));
        run(c, d.get(), d->data + offset);
        ASSERT_EQ(pixels(*d), want);
    });
}

// A source whose pixel (u, v) reads (u, v, 7), so a wrong sample names itself.
std::vector<uint8_t> labelled(int32_t w, int32_t h) {
    std::vector<uint8_t> s;
    for (int32_t v = 0; v < h; ++v) {
        for (int32_t u = 0; u < w; ++u) s.insert(s.end(), {uint8_t(u), uint8_t(v), 7});
    }
    return s;
}

// Examples: {source size, target, destination size, the source pixel each covered
// destination pixel must take; (-1, -1) where the destination stays 0}.
struct example {
    int32_t sw, sh, x, y, tw, th, dw, dh;
    std::vector<std::pair<int, int>> taken;  // row by row over the destination
};
class ScaledExamples : public Scaled, public ::testing::WithParamInterface<example> {};

TEST_P(ScaledExamples, SampleTheStatedPixels) {
    const example &e = GetParam();
    const auto s = labelled(e.sw, e.sh);
    BitmapPtr d(kv_allocbitmap(e.dw, e.dh, 3));
    std::vector<uint8_t> want(size_t(e.dw * e.dh * 3), 0);
    for (size_t p = 0; p < e.taken.size(); ++p) {
        if (e.taken[p].first < 0) continue;
        want[p * 3] = uint8_t(e.taken[p].first);
        want[p * 3 + 1] = uint8_t(e.taken[p].second);
        want[p * 3 + 2] = 7;
    }
    expect({Kind::copy, e.sw, e.sh, e.x, e.y, e.tw, e.th}, *d, s.data(), want);
}

constexpr std::pair<int, int> o{-1, -1};
INSTANTIATE_TEST_SUITE_P(
    Sampling, ScaledExamples,
    ::testing::Values(
        // 2 x 2 to 4 x 4: every source pixel over a 2 x 2 block
        example{2,
                2,
                0,
                0,
                4,
                4,
                4,
                4,
                {{0, 0},
                 {0, 0},
                 {1, 0},
                 {1, 0},
                 {0, 0},
                 {0, 0},
                 {1, 0},
                 {1, 0},
                 {0, 1},
                 {0, 1},
                 {1, 1},
                 {1, 1},
                 {0, 1},
                 {0, 1},
                 {1, 1},
                 {1, 1}}},
        // 4 x 4 to 2 x 2: (0, 0), (2, 0), (0, 2), (2, 2)
        example{4, 4, 0, 0, 2, 2, 2, 2, {{0, 0}, {2, 0}, {0, 2}, {2, 2}}},
        // 3 wide to 6 at x = -2: column 0 takes (2 * 3) / 6 = 1
        example{3, 1, -2, 0, 6, 1, 5, 1, {{1, 0}, {1, 0}, {2, 0}, {2, 0}, o}},
        // 5 wide to 3 (no exact ratio) at x = 1
        example{5, 1, 1, 0, 3, 1, 4, 1, {o, {0, 0}, {1, 0}, {3, 0}}},
        // columns 3 000 000 apart: 2999995 * 1000 leaves 32 bits, the sample is still exact
        example{1000, 1, -2999995, 0, 3000000, 1, 2, 1, {{999, 0}, {999, 0}}}));

TEST_F(Scaled, PartlyVisibleTargetDrawsOnlyItsCorner) {
    // A 4 x 4 target at (8, 8) of a 10 x 10 destination: rows and columns 8 and 9, from source
    // rows and columns 0 and 1.
    const auto s = labelled(4, 4);
    BitmapPtr d(kv_allocbitmap(10, 10, 3));
    std::vector<uint8_t> want(300, 0);
    for (int n : {8, 9}) {
        for (int m : {8, 9}) {
            const size_t p = size_t(n * 10 + m) * 3;
            want[p] = uint8_t(m - 8), want[p + 1] = uint8_t(n - 8), want[p + 2] = 7;
        }
    }
    expect({Kind::copy, 4, 4, 8, 8, 4, 4}, *d, s.data(), want);
}

TEST_F(Scaled, MaskTestsTheFirstByteAgainstTheThreshold) {
    // First bytes 100, 101, 0, 255; the others are on the other side of every threshold.
    const uint8_t s[12] = {100, 255, 255, 101, 0, 0, 0, 255, 255, 255, 0, 0};
    BitmapPtr d = random_bitmap(4, 1, 3, 3);
    const auto before = pixels(*d);
    // {threshold, which of the four pixels are drawn}
    const std::pair<int32_t, std::vector<bool>> cases[] = {
        {100, {false, true, false, true}},   {99, {true, true, false, true}},
        {-1, {true, true, true, true}},      {INT32_MIN, {true, true, true, true}},
        {0, {true, true, false, true}},      {254, {false, false, false, true}},
        {255, {false, false, false, false}}, {INT32_MAX, {false, false, false, false}}};
    for (const auto &[threshold, drawn] : cases) {
        std::vector<uint8_t> want = before;
        for (size_t p = 0; p < 4; ++p) {
            if (drawn[p]) std::memcpy(&want[p * 3], &s[p * 3], 3);
        }
        SCOPED_TRACE("threshold " + std::to_string(threshold));
        call c{Kind::mask, 4, 1, 0, 0, 4, 1, threshold};
        expect(c, *d, s, want);
    }
}

TEST_F(Scaled, LightAddsTheTintedMapAndSaturates) {
    // Pixel 0 lies under light (255, 100, 100), pixel 1 under (100, 100, 100).
    std::vector<uint8_t> map(256 * 256 * 3, 100);
    map[0] = 255;
    BitmapPtr d(kv_allocbitmap(2, 1, 3));
    d->data[3] = 200, d->data[4] = 10;
    const std::pair<std::array<int32_t, 3>, std::vector<uint8_t>> cases[] = {
        {{255, 255, 255}, {255, 100, 100, 255, 110, 100}},  // unchanged map; 200 + 100 saturates
        {{0, 0, 0}, {0, 0, 0, 200, 10, 0}},
        {{128, 0, 0}, {128, 0, 0, 250, 10, 0}},       // 128 to red only under 255
        {{0, 51, 256}, {0, 20, 100, 200, 30, 100}},   // 256 * 100 / 255 = 100
        {{-255, 510, 0}, {1, 200, 0, 255, 210, 0}}};  // low bytes of -255, -100 and 200
    for (const auto &[tint, want] : cases) {
        SCOPED_TRACE(testing::PrintToString(tint));
        call c{Kind::light, 256, 256, 0, 0, 256, 256, 0, {tint[0], tint[1], tint[2]}};
        expect(c, *d, map.data(), want);
    }
}

// The vector kernels compute the tint tables' entries for tints 0..255 instead of reading them:
// every tint against every light byte, added to 0 and to a byte that saturates.
TEST_F(Scaled, LightMatchesItsTablesForEveryTintAndByte) {
    std::vector<uint8_t> map(256 * 256 * 3);
    for (uint32_t u = 0; u < 256; ++u) map[3 * u] = map[3 * u + 1] = map[3 * u + 2] = uint8_t(u);
    for (uint8_t base : {0, 200}) {
        BitmapPtr start(kv_allocbitmap(256, 1, 3));
        std::fill_n(start->data, 256 * 3, base);
        for (int32_t t = 0; t < 256; ++t) {
            SCOPED_TRACE("tint " + std::to_string(t));
            const call c{Kind::light, 256, 256, 0, 0, 256, 1, 0, {t, 255 - t, (t * 97) % 256}};
            expect(c, *start, map.data(), reference(c, *start, map.data()));
        }
    }
}

TEST_F(Scaled, LightTableFailureDrawsNothingAndFreesTheOthers) {
    std::vector<uint8_t> map(256 * 256 * 3);
    Rng(4).fill(map.data(), map.size());
    BitmapPtr start = random_bitmap(9, 7, 3, 5);
    BitmapPtr d = random_bitmap(9, 7, 3, 5);
    const call c{Kind::light, 256, 256, -3, 2, 40, 30, 0, {90, 180, 255}};
    const auto want = reference(c, *start, map.data());
    ASSERT_NE(want, pixels(*start));
    // One allocation per tint table.
    EXPECT_EQ(sweep_alloc_failures([&] {
                  std::memcpy(d->data, start->data, 9 * 7 * 3);
                  run(c, d.get(), map.data());
                  if (pixels(*d) == want) return true;
                  EXPECT_EQ(pixels(*d), pixels(*start)) << "a failed light blit drew";
                  return false;
              }),
              3u);
}

// Random sources, targets (some far wider than the image) and placements across every edge,
// destinations from 0 to a few hundred pixels wide; the source sits in a block of exactly its
// size, misaligned by 0 to 63 bytes.
TEST_F(Scaled, FuzzMatchesTheReference) {
    std::vector<uint8_t> map(256 * 256 * 3);
    Rng(99).fill(map.data(), map.size());
    for (uint32_t iteration = 0; iteration < 600; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const bool wide = iteration % 2 == 0;
        call c{Kind(rng.below(3)),
               int32_t(rng.below(wide ? 200 : 9)),
               int32_t(rng.below(9)),
               0,
               0,
               0,
               0};
        const int32_t dw = int32_t(rng.below(wide ? 300 : 16)), dh = int32_t(rng.below(16));
        c.tw = int32_t(rng.below(wide ? 400 : 25)) - 2, c.th = int32_t(rng.below(25)) - 2;
        if (rng.below(8) == 0) c.tw = int32_t(rng.next() >> 1);  // far wider than the image
        c.x = int32_t(rng.below(uint32_t(dw + 40))) - 20;
        if (c.tw > 400) c.x = -int32_t(rng.below(uint32_t(c.tw)));
        c.y = int32_t(rng.below(40)) - 20;
        c.threshold = int32_t(rng.below(300)) - 20;
        for (int32_t &v : c.tint)
            v = rng.below(4) == 0 ? int32_t(rng.next()) : int32_t(rng.below(256));
        const uint32_t shift = rng.below(64);
        BitmapPtr block = random_bitmap(int32_t(shift) + c.sw * c.sh * 3, 1, 1, iteration + 5);
        const uint8_t *source = c.kind == Kind::light ? map.data() : block->data + shift;
        BitmapPtr start = random_bitmap(dw, dh, 3, iteration);
        // An empty source has nothing to sample.
        const bool empty = c.kind != Kind::light && c.sw * c.sh == 0;
        expect(c, *start, source, empty ? pixels(*start) : reference(c, *start, source));
    }
}

// A source read from the destination's own pixels sees the pixels drawn before, in the rule's
// order: rows top to bottom, columns left to right.
TEST_F(Scaled, SourceInsideTheDestinationFollowsTheTraversal) {
    for (Kind kind : {Kind::copy, Kind::mask}) {
        for (int32_t offset : {0, 7, 150, 282, 400}) {
            SCOPED_TRACE("kind " + std::to_string(int(kind)) + " offset " + std::to_string(offset));
            BitmapPtr start = random_bitmap(90, 6, 3, uint64_t(offset));
            const call c{kind, 40, 3, 2, 1, 85, 5, 100};
            std::vector<uint8_t> want = pixels(*start);
            for (int64_t n = 1; n < 6; ++n) {
                for (int64_t m = 2; m < 87 && m < 90; ++m) {
                    const int64_t i = m - c.x, j = n - c.y;
                    const uint8_t *p = want.data() + offset + ((j * 3 / 5) * 40 + i * 40 / 85) * 3;
                    uint8_t *q = want.data() + (n * 90 + m) * 3;
                    if (kind == Kind::copy || p[0] > c.threshold) {
                        for (int k = 0; k < 3; ++k) q[k] = p[k];  // in order: they may meet
                    }
                }
            }
            expect_inside(c, *start, offset, want);
        }
    }
}

TEST_F(Scaled, RefusesWhatCannotBeDrawnSafely) {
    const auto s = labelled(4, 4);
    std::vector<uint8_t> map(256 * 256 * 3, 50);
    BitmapPtr one = random_bitmap(6, 6, 1, 6);  // would be written 3 bytes per pixel
    BitmapPtr d = random_bitmap(6, 6, 3, 7);
    const auto one_before = pixels(*one), before = pixels(*d);
    for (Kind k : {Kind::copy, Kind::mask, Kind::light}) {
        run({k, 4, 4, 0, 0, 8, 8, -1}, one.get(), k == Kind::light ? map.data() : s.data());
        run({k, 4, 4, 0, 0, 8, 8, -1}, nullptr, s.data());
        run({k, 4, 4, 0, 0, 8, 8, -1}, d.get(), nullptr);
        run({k, 4, 4, 0, 0, 0, 8, -1}, d.get(), map.data());
        run({k, 4, 4, 0, 0, 8, -3, -1}, d.get(), map.data());
    }
    for (Kind k : {Kind::copy, Kind::mask}) {
        run({k, 0, 4, 0, 0, 8, 8, -1}, d.get(), s.data());
        run({k, -4, 4, 0, 0, 8, 8, -1}, d.get(), s.data());
        run({k, 65536, 65536, 0, 0, 8, 8, -1}, d.get(), s.data());
    }
    EXPECT_EQ(pixels(*one), one_before);
    EXPECT_EQ(pixels(*d), before);
}

}  // namespace
