#include <algorithm>

#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;
using tamsa_test::snapshot;
using tamsa_test::sweep_alloc_failures;

class Smooth : public LeakCheck {};

// Passes of the rule over a copy: inner pixels only, each pass reading the one before.
std::vector<uint8_t> reference(std::vector<uint8_t> img, int w, int h, int d, int passes) {
    for (int p = 0; p < passes; ++p) {
        const std::vector<uint8_t> in = img;
        const auto at = [&](int x, int y, int k) { return int(in[size_t((y * w + x) * d + k)]); };
        for (int y = 1; y + 1 < h; ++y) {
            for (int x = 1; x + 1 < w; ++x) {
                for (int k = 0; k < d; ++k) {
                    const int s =
                        at(x - 1, y, k) + at(x + 1, y, k) + at(x, y - 1, k) + at(x, y + 1, k);
                    img[size_t((y * w + x) * d + k)] = uint8_t((at(x, y, k) + s / 4) / 2);
                }
            }
        }
    }
    return img;
}

BitmapPtr white_dot(int size) {
    BitmapPtr b(kv_allocbitmap(size, size, 3));
    const int centre = (size / 2 * size + size / 2) * 3;
    for (int k = 0; k < 3; ++k) b->data[centre + k] = 255;
    return b;
}

uint8_t channel(const kv_bitmap &b, int x, int y, int k) {
    return b.data[(y * b.width + x) * 3 + k];
}

TEST_F(Smooth, WhiteDotOnBlack) {
    BitmapPtr five = white_dot(5);
    ASSERT_EQ(kv_smoothbitmap(five.get(), 1), 1);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(channel(*five, 2, 2, k), 127);
        for (auto [x, y] : {std::pair{1, 2}, std::pair{3, 2}, std::pair{2, 1}, std::pair{2, 3}}) {
            EXPECT_EQ(channel(*five, x, y, k), 31);
        }
        for (auto [x, y] : {std::pair{1, 1}, std::pair{3, 3}, std::pair{0, 2}, std::pair{2, 4}}) {
            EXPECT_EQ(channel(*five, x, y, k), 0);
        }
    }
    ASSERT_EQ(kv_smoothbitmap(five.get(), 1), 1);
    EXPECT_EQ(channel(*five, 2, 2, 0), 79);

    for (const auto &[passes, centre] : {std::pair{1, 127}, std::pair{2, 63}}) {
        BitmapPtr three = white_dot(3);
        ASSERT_EQ(kv_smoothbitmap(three.get(), passes), 1);
        EXPECT_EQ(channel(*three, 1, 1, 2), centre);
        EXPECT_EQ(pixels(*three)[0], 0);
    }
}

// The record ends with the buffer of the last pass: its own after an even number of passes,
// the second one after none or an odd number.
TEST_F(Smooth, KeepsTheBufferOfTheLastPass) {
    for (int passes = 0; passes <= 3; ++passes) {
        BitmapPtr b = random_bitmap(6, 5, 3, 1);
        const uint8_t *own = b->data;
        ASSERT_EQ(kv_smoothbitmap(b.get(), passes), 1);
        EXPECT_EQ(b->data == own, passes > 0 && passes % 2 == 0) << passes << " passes";
    }
}

TEST_F(Smooth, LeavesFlatAndNarrowBitmapsAsTheyAre) {
    for (const auto &[w, h, fill] : {std::tuple{7, 6, 0x5b}, std::tuple{2, 9, -1},
                                     std::tuple{9, 2, -1}, std::tuple{0, 3, -1}}) {
        BitmapPtr b = random_bitmap(w, h, 3, 5);
        if (fill >= 0) std::fill_n(b->data, w * h * 3, uint8_t(fill));
        const auto before = pixels(*b);
        ASSERT_EQ(kv_smoothbitmap(b.get(), 5), 1);
        EXPECT_EQ(pixels(*b), before) << w << "x" << h;
    }
}

TEST_F(Smooth, NegativePassesChangeNothing) {
    BitmapPtr b = random_bitmap(5, 5, 3, 2);
    const uint8_t *own = b->data;
    const auto before = pixels(*b);
    EXPECT_EQ(kv_smoothbitmap(b.get(), -1), 0);
    EXPECT_EQ(kv_smoothbitmap(b.get(), INT32_MIN), 0);
    EXPECT_EQ(b->data, own);
    EXPECT_EQ(pixels(*b), before);
    EXPECT_EQ(kv_smoothbitmap(nullptr, 1), 0);
    kv_bitmap bad{b->data, 5, 5, 4};
    EXPECT_EQ(kv_smoothbitmap(&bad, 1), 0);
}

// Widths from 0 to a few hundred pixels, both depths, through the plain kernels and the vector
// kernels of every target.
TEST_F(Smooth, EveryKernelMatchesTheReference) {
    for (uint64_t seed = 1; seed <= 80; ++seed) {
        Rng rng(seed);
        const int w = int(rng.below(seed % 2 ? 50 : 300)), h = int(rng.below(12));
        const int passes = int(rng.below(6));
        const int depth = rng.below(2) ? 3 : 1;
        const auto src = pixels(*random_bitmap(w, h, depth, seed));
        const auto want = reference(src, w, h, depth, passes);
        tamsa_test::each_kernel([&] {
            BitmapPtr b = random_bitmap(w, h, depth, seed);
            ASSERT_EQ(kv_smoothbitmap(b.get(), passes), 1);
            EXPECT_EQ(b->bytesperpixel, depth);
            ASSERT_EQ(pixels(*b), want) << "seed " << seed;
        });
    }
}

// The vector kernels smooth in bytes, with averages in place of the sums and divisions: on every
// kernel, for every pair of sums l + r and u + d (at centre 0 and at centre 255, which between
// them tell every quarter from its neighbours), and for every centre with every quarter.
TEST_F(Smooth, ByteArithmeticMatchesTheRuleForEverySum) {
    constexpr int32_t kSums = 511 * 511;
    constexpr int32_t kWidth = 3 * kSums + 2;
    BitmapPtr start(kv_allocbitmap(kWidth, 3, 3));
    uint8_t *above = start->data, *mid = above + kWidth * 3, *below = mid + kWidth * 3;
    const auto split = [](int32_t sum, uint8_t &a, uint8_t &b) {
        a = uint8_t(std::min(sum, 255));
        b = uint8_t(sum - a);
    };
    // Combination j sits on channel k of pixel 3j + 1 and of the pixels around it.
    const auto place = [&](int32_t j, int k, uint8_t l, uint8_t r, uint8_t u, uint8_t d,
                           uint8_t c) {
        const int32_t centre = (3 * j + 1) * 3 + k;
        mid[centre - 3] = l, mid[centre] = c, mid[centre + 3] = r;
        above[centre] = u, below[centre] = d;
    };
    for (int32_t j = 0; j < kSums; ++j) {
        uint8_t l, r, u, d;
        split(j / 511, l, r);
        split(j % 511, u, d);
        place(j, 0, l, r, u, d, 0);
        place(j, 1, l, r, u, d, 255);
        if (j < 65536) place(j, 2, uint8_t(j), uint8_t(j), uint8_t(j), uint8_t(j), uint8_t(j >> 8));
    }
    const auto want = reference(pixels(*start), kWidth, 3, 3, 1);
    tamsa_test::each_kernel([&] {
        BitmapPtr b(kv_clonebitmap(start.get()));
        ASSERT_EQ(kv_smoothbitmap(b.get(), 1), 1);
        ASSERT_EQ(pixels(*b), want);
    });
}

TEST_F(Smooth, AllocationFailures) {
    BitmapPtr b = random_bitmap(8, 7, 3, 3);
    const auto before = pixels(*b);
    const auto want = reference(before, 8, 7, 3, 3);
    EXPECT_EQ(sweep_alloc_failures([&] {
                  const bool ok = kv_smoothbitmap(b.get(), 3) == 1;
                  EXPECT_EQ(pixels(*b), ok ? want : before);
                  return ok;
              }),
              2u);
}

}  // namespace
