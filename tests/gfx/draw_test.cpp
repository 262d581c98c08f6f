#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;

using points = std::set<std::pair<int, int>>;  // (x, y)

// The pixels of a 3-byte bitmap that hold (1, 2, 3); the rest must still be 0.
points drawn(const kv_bitmap &b) {
    points set;
    for (int y = 0; y < b.height; ++y) {
        for (int x = 0; x < b.width; ++x) {
            const uint8_t *p = b.data + (y * b.width + x) * 3;
            if (p[0] == 1 && p[1] == 2 && p[2] == 3) {
                set.insert({x, y});
            } else {
                EXPECT_TRUE(p[0] == 0 && p[1] == 0 && p[2] == 0) << x << "," << y;
            }
        }
    }
    return set;
}

points row(int y, int from, int to) {
    points set;
    for (int x = from; x <= to; ++x) set.insert({x, y});
    return set;
}

points operator+(points a, const points &b) {
    a.insert(b.begin(), b.end());
    return a;
}

// The line rule, visiting every row from the upper end point.
points reference_line(int64_t x1, int64_t y1, int64_t x2, int64_t y2, int w, int h) {
    if (y2 < y1) std::swap(x1, x2), std::swap(y1, y2);
    points set;
    int64_t previous = x1;
    for (int64_t y = y1; y <= y2; ++y) {
        const int64_t current = y1 == y2 ? x2 : x1 + (y - y1) * (x2 - x1) / (y2 - y1);
        for (int64_t x = std::min(previous, current); x <= std::max(previous, current); ++x) {
            if (x >= 0 && x < w && y >= 0 && y < h) set.insert({int(x), int(y)});
        }
        previous = current;
    }
    return set;
}

struct shape {
    bool box;
    int32_t x1, y1, x2, y2, step;  // step: boxes only
    points want;
};
class Draw : public LeakCheck {};
class DrawExamples : public Draw, public ::testing::WithParamInterface<shape> {};

TEST_P(DrawExamples, SetExactlyTheStatedPixels) {
    const shape &s = GetParam();
    BitmapPtr b(kv_allocbitmap(10, 10, 3));
    if (!s.box) {
        kv_drawline(b.get(), s.x1, s.y1, s.x2, s.y2, 1, 2, 3);
    } else {
        kv_drawbox(b.get(), s.x1, s.y1, s.x2, s.y2, 1, 2, 3, s.step);
    }
    EXPECT_EQ(drawn(*b), s.want);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DrawExamples,
    ::testing::Values(
        shape{false, 0, 0, 4, 2, 0, row(0, 0, 0) + row(1, 0, 2) + row(2, 2, 4)},
        shape{false, 4, 2, 0, 0, 0, row(0, 0, 0) + row(1, 0, 2) + row(2, 2, 4)},
        shape{false, 0, 0, 1, 3, 0, row(0, 0, 0) + row(1, 0, 0) + row(2, 0, 0) + row(3, 0, 1)},
        shape{false, 5, 3, 1, 3, 0, row(3, 1, 5)}, shape{false, 6, 6, 6, 6, 0, row(6, 6, 6)},
        // joined to the column the line had on row -1
        shape{false, 0, -2, 8, 2, 0, row(0, 2, 4) + row(1, 4, 6) + row(2, 6, 8)},
        shape{false, -3, 4, 14, 4, 0, row(4, 0, 9)},
        shape{false, 2, 8, 2, 14, 0, row(8, 2, 2) + row(9, 2, 2)},
        shape{false, -4, 0, 4, 4, 0, row(2, 0, 0) + row(3, 0, 2) + row(4, 2, 4)},
        shape{false, 3, -5, 3, -1, 0, {}}, shape{false, 3, 10, 3, 12, 0, {}},
        // rows and columns 2^32 apart: exact columns, and rows off the image are not walked
        shape{false, 0, INT32_MIN, 10, INT32_MAX, 0,
              row(0, 4, 5) + row(1, 5, 5) + row(2, 5, 5) + row(3, 5, 5) + row(4, 5, 5) +
                  row(5, 5, 5) + row(6, 5, 5) + row(7, 5, 5) + row(8, 5, 5) + row(9, 5, 5)},
        shape{false, INT32_MIN, 0, INT32_MAX, 1, 0, row(1, 0, 9)}));

INSTANTIATE_TEST_SUITE_P(
    Boxes, DrawExamples,
    ::testing::Values(
        shape{true, 4, 3, 2, 2, 1, row(2, 2, 4) + row(3, 2, 4)},
        shape{true, 0, 0, 4, 4, 2,
              points{{0, 0}, {2, 0}, {4, 0}, {0, 2}, {2, 2}, {4, 2}, {0, 4}, {2, 4}, {4, 4}}},
        shape{true, -3, -3, 1, 1, 2, row(0, 0, 0)},  // clamped first, then the grid
        shape{true, 7, 8, 20, 30, 3, row(8, 7, 7)}, shape{true, 10, 0, 12, 5, 1, {}},
        shape{true, -5, 0, -1, 5, 1, {}}, shape{true, 0, 10, 5, 12, 1, {}},
        shape{true, 0, -4, 5, -1, 1, {}}, shape{true, 0, 0, 9, 9, 0, {}},
        shape{true, 0, 0, 9, 9, -2, {}},
        // a step past the last row must not wrap back into the bitmap
        shape{true, 5, 5, 9, 9, INT32_MAX, row(5, 5, 5)},
        shape{true, -9, 9, INT32_MAX, INT32_MAX, 4, row(9, 0, 0) + row(9, 4, 4) + row(9, 8, 8)}));

TEST_F(Draw, LineFuzzMatchesTheRowByRowRule) {
    for (uint32_t iteration = 0; iteration < 3000; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const int w = int(rng.below(14)), h = int(rng.below(14));
        int32_t c[4];
        for (int32_t &v : c) v = int32_t(rng.below(50)) - 18;
        BitmapPtr b(kv_allocbitmap(w, h, 3));
        kv_drawline(b.get(), c[0], c[1], c[2], c[3], 1, 2, 3);
        ASSERT_EQ(drawn(*b), reference_line(c[0], c[1], c[2], c[3], w, h));
    }
}

// Filled boxes and lines on rows from 0 to a few hundred pixels, placed across every edge,
// through the plain span kernel and the vector kernels of every target: exactly the pixels of
// the rule take the colour, every other byte keeps its value.
TEST_F(Draw, SpansMatchTheRuleOnEveryKernel) {
    for (uint32_t iteration = 0; iteration < 200; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const int w = int(rng.below(300)), h = int(rng.below(6));
        const bool box = rng.below(2) == 0;
        const int depth = box && rng.below(3) == 0 ? 1 : 3;
        int32_t c[4];
        for (int k = 0; k < 4; ++k) {
            c[k] = int32_t(rng.below(uint32_t((k % 2 ? h : w) + 40))) - 20;
        }
        const uint8_t colour[3] = {rng.byte(), rng.byte(), rng.byte()};
        BitmapPtr b = random_bitmap(w, h, depth, iteration);
        auto want = pixels(*b);
        points set;
        if (box) {
            for (int y = std::max(std::min(c[1], c[3]), 0);
                 y <= std::min(std::max(c[1], c[3]), h - 1); ++y) {
                set = set + row(y, std::max(std::min(c[0], c[2]), 0),
                                std::min(std::max(c[0], c[2]), w - 1));
            }
        } else {
            set = reference_line(c[0], c[1], c[2], c[3], w, h);
        }
        for (const auto &[x, y] : set) {
            for (int k = 0; k < depth; ++k) want[size_t((y * w + x) * depth + k)] = colour[k];
        }
        const auto before = pixels(*b);
        tamsa_test::each_kernel([&] {
            std::copy(before.begin(), before.end(), b->data);
            if (box) {
                kv_drawbox(b.get(), c[0], c[1], c[2], c[3], colour[0], colour[1], colour[2], 1);
            } else {
                kv_drawline(b.get(), c[0], c[1], c[2], c[3], colour[0], colour[1], colour[2]);
            }
            ASSERT_EQ(pixels(*b), want)
                << (box ? "box " : "line ") << c[0] << "," << c[1] << " " << c[2] << "," << c[3];
        });
    }
}

TEST_F(Draw, DrawKeepsTheLowByteOfEachColourValue) {
    BitmapPtr b(kv_allocbitmap(3, 2, 3));
    kv_drawline(b.get(), 0, 0, 2, 0, 0x1ff, -1, 256);
    kv_drawbox(b.get(), 0, 1, 2, 1, -255, 0x203, -256, 1);
    EXPECT_EQ(pixels(*b), (std::vector<uint8_t>{255, 255, 0, 255, 255, 0, 255, 255, 0,  //
                                                1, 3, 0, 1, 3, 0, 1, 3, 0}));
}

TEST_F(Draw, BoxOnOneBytePixelsWritesTheRed) {
    BitmapPtr b(kv_allocbitmap(5, 4, 1));
    kv_drawbox(b.get(), 3, 3, 1, 1, 77, 88, 99, 1);
    EXPECT_EQ(pixels(*b),
              (std::vector<uint8_t>{0, 0,  0,  0,  0,  //
                                    0, 77, 77, 77, 0, 0, 77, 77, 77, 0, 0, 77, 77, 77, 0}));
}

TEST_F(Draw, DrawRefusesWhatItCannotDrawSafely) {
    // Lines are written 3 bytes per pixel, so a 1-byte bitmap is left alone.
    BitmapPtr one = random_bitmap(6, 6, 1, 1);
    const auto before = pixels(*one);
    kv_drawline(one.get(), 0, 0, 5, 5, 1, 2, 3);
    EXPECT_EQ(pixels(*one), before);
    kv_drawline(nullptr, 0, 0, 5, 5, 1, 2, 3);
    kv_drawbox(nullptr, 0, 0, 5, 5, 1, 2, 3, 1);
    uint8_t buffer[108] = {};
    for (kv_bitmap bad : {kv_bitmap{buffer, 6, 6, 2}, kv_bitmap{nullptr, 6, 6, 3},
                          kv_bitmap{buffer, -6, 6, 3}, kv_bitmap{buffer, 6, -6, 1}}) {
        kv_drawline(&bad, 0, 0, 5, 5, 1, 2, 3);
        kv_drawbox(&bad, 0, 0, 5, 5, 1, 2, 3, 1);
    }
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 108), std::vector<uint8_t>(108, 0));
    // Empty bitmaps have no column or row to clamp to.
    for (auto [w, h] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{5, 0}}) {
        for (int32_t d : {1, 3}) {
            BitmapPtr e(kv_allocbitmap(w, h, d));
            kv_drawbox(e.get(), -1, -1, 3, 3, 1, 2, 3, 1);
            kv_drawline(e.get(), -1, -1, 3, 3, 1, 2, 3);
        }
    }
}

}  // namespace
