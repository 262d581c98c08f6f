#include <algorithm>
#include <map>

#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;
using tamsa_test::snapshot;
using tamsa_test::sweep_alloc_failures;

class Dither : public LeakCheck {};

struct table {
    const uint8_t *cells;
    int n;
};
// By type number, 1 to 7.
const table kTables[] = {{},
                         {&ClassicalScreen[0][0], 8},
                         {&Rectangular[0][0], 3},
                         {&Halftone[0][0], 6},
                         {&Bayer4[0][0], 4},
                         {&Bayer16[0][0], 16},
                         {&FourStars[0][0], 5},
                         {&BoxDither[0][0], 5}};

std::map<int, int> histogram(const table &t) {
    std::map<int, int> h;
    for (int i = 0; i < t.n * t.n; ++i) ++h[t.cells[i]];
    return h;
}

std::map<int, int> steps(int step, int count, int times) {
    std::map<int, int> h;
    for (int k = 1; k <= count; ++k) h[k * step] = times;
    return h;
}

// What the tables are known to hold, so that a mistyped entry shows.
TEST_F(Dither, TablesHoldTheirValues) {
    EXPECT_EQ(histogram(kTables[1]), steps(7, 32, 2));
    for (int r = 4; r < 8; ++r) {
        for (int c = 0; c < 8; ++c)
            EXPECT_EQ(ClassicalScreen[r][c], ClassicalScreen[r - 4][(c + 4) % 8]);
    }
    EXPECT_EQ(histogram(kTables[2]), (std::map<int, int>{{63, 1}, {126, 4}, {189, 2}, {252, 2}}));
    EXPECT_EQ(histogram(kTables[3]), steps(7, 36, 1));
    auto bayer16 = steps(1, 253, 1);
    bayer16[0] = 1;
    bayer16[254] = 2;
    EXPECT_EQ(histogram(kTables[5]), bayer16);
    EXPECT_EQ(histogram(kTables[6]), steps(10, 25, 1));
    for (int type : {4, 7}) {
        const auto h = histogram(kTables[type]);
        EXPECT_EQ(int(h.size()), kTables[type].n * kTables[type].n) << "values are distinct";
    }
    EXPECT_EQ(Bayer4[0][0], 40);
    EXPECT_EQ(Bayer4[3][3], 240);
    EXPECT_EQ(BoxDither[2][2], 250);
    EXPECT_EQ(BoxDither[0][2], 5);
}

// Every type at widths from 0 to a few hundred pixels, through the plain kernels and the vector
// kernels of every target.
TEST_F(Dither, MatchesTheRuleForEveryType) {
    for (uint64_t seed = 1; seed <= 140; ++seed) {
        Rng rng(seed);
        const int type = int(1 + seed % 7);
        const table t = kTables[type];
        const int w = int(rng.below(seed % 2 ? 80 : 400)), h = int(rng.below(seed % 2 ? 40 : 6));
        const int depth = rng.below(3) ? 3 : 1;
        BitmapPtr src = random_bitmap(w, h, depth, seed);
        std::vector<uint8_t> want;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                for (int k = 0; k < 3; ++k) {
                    const uint8_t v = src->data[(y * w + x) * depth + (depth == 3 ? k : 0)];
                    want.push_back(v >= t.cells[(y % t.n) * t.n + x % t.n] ? 255 : 0);
                }
            }
        }
        tamsa_test::each_kernel([&] {
            BitmapPtr r(kv_dither(src.get(), type));
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->width, w);
            EXPECT_EQ(r->bytesperpixel, 3);
            ASSERT_EQ(pixels(*r), want) << "seed " << seed;
        });
    }
}

TEST_F(Dither, EdgeCases) {
    BitmapPtr white(kv_allocbitmap(33, 33, 3));
    std::fill_n(white->data, 33 * 33 * 3, 255);
    BitmapPtr black(kv_allocbitmap(33, 33, 3));
    for (int type = 1; type <= 7; ++type) {
        BitmapPtr w(kv_dither(white.get(), type));
        EXPECT_EQ(pixels(*w), pixels(*white)) << "type " << type;
        BitmapPtr b(kv_dither(black.get(), type));
        for (int y = 0; y < 33; ++y) {
            for (int x = 0; x < 33; ++x) {
                // Bayer16 holds a threshold of 0 at row 8, column 8.
                const bool lit = type == 5 && x % 16 == 8 && y % 16 == 8;
                EXPECT_EQ(b->data[(y * 33 + x) * 3 + 1], lit ? 255 : 0) << type;
            }
        }
    }

    BitmapPtr grey(kv_allocbitmap(6, 6, 3));
    std::fill_n(grey->data, 6 * 6 * 3, 128);
    BitmapPtr g(kv_dither(grey.get(), 2));
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 6; ++x) {
            const bool edge_middle = (x % 3 == 1) != (y % 3 == 1);
            EXPECT_EQ(g->data[(y * 6 + x) * 3 + 2], edge_middle ? 0 : 255) << x << "," << y;
        }
    }

    for (const auto &[value, out] : {std::pair{40, 255}, std::pair{39, 0}}) {
        BitmapPtr one(kv_allocbitmap(1, 1, 3));
        one->data[0] = uint8_t(value);
        BitmapPtr r(kv_dither(one.get(), 4));
        EXPECT_EQ(r->data[0], out);
    }

    const auto before = snapshot();
    for (int type : {0, 8, -1, INT32_MIN}) EXPECT_EQ(kv_dither(grey.get(), type), nullptr);
    EXPECT_EQ(kv_dither(nullptr, 1), nullptr);
    kv_bitmap bad{grey->data, -6, 6, 3};
    EXPECT_EQ(kv_dither(&bad, 1), nullptr);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(Dither, AllocationFailures) {
    BitmapPtr src = random_bitmap(17, 9, 3, 6);
    EXPECT_EQ(sweep_alloc_failures([&] {
                  BitmapPtr r(kv_dither(src.get(), 5));
                  return r != nullptr;
              }),
              2u);
}

}  // namespace
