#include <cstring>
#include <iterator>
#include <tuple>

#include "gfx/gfx.h"
#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;
using tamsa_test::snapshot;
using tamsa_test::sweep_alloc_failures;

class Shear : public LeakCheck {};
class Transpose : public LeakCheck {};

struct shear_case {
    int32_t w, h, first_row, last_row, first_shift, last_shift;
    std::vector<int32_t> shifts;  // per row, worked out by hand
};

void PrintTo(const shear_case &c, std::ostream *os) {
    *os << c.w << "x" << c.h << " rows " << c.first_row << ".." << c.last_row << " shifts "
        << c.first_shift << ".." << c.last_shift;
}

class ShearBands : public LeakCheck, public ::testing::WithParamInterface<shear_case> {};

TEST_P(ShearBands, ShiftsRowsAndFillsTheRest) {
    const shear_case t = GetParam();
    const int32_t grow = *std::max_element(t.shifts.begin(), t.shifts.end());
    tamsa_test::each_kernel([&] {
        for (int depth : {3, 1}) {
            BitmapPtr b = random_bitmap(t.w, t.h, depth, 9);
            const auto src = pixels(*b);
            const uint8_t *old = b->data;
            ASSERT_EQ(kv_shearbitmap(b.get(), t.first_row, t.last_row, t.first_shift, t.last_shift,
                                     0x1a0, 0x2b0, 0x3c0),
                      1);
            const uint8_t fill[3] = {0xa0, 0xb0, 0xc0};  // a 1-byte bitmap is filled with red
            EXPECT_NE(b->data, old);
            ASSERT_GE(grow, 0);
            ASSERT_EQ(b->width, t.w + std::max({grow, t.first_shift, t.last_shift, 0}));
            ASSERT_EQ(b->height, t.h);
            for (int32_t y = 0; y < t.h; ++y) {
                for (int32_t x = 0; x < b->width; ++x) {
                    const int32_t sx = x - t.shifts[y];
                    for (int k = 0; k < depth; ++k) {
                        const uint8_t want =
                            sx >= 0 && sx < t.w ? src[(y * t.w + sx) * depth + k] : fill[k];
                        ASSERT_EQ(b->data[(y * b->width + x) * depth + k], want) << x << "," << y;
                    }
                }
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ShearBands,
    ::testing::Values(shear_case{4, 3, 0, 2, 0, 4, {0, 2, 4}},
                      shear_case{3, 4, 0, 3, 10, 0, {10, 7, 4, 0}},
                      shear_case{5, 3, 0, 2, 0, 0, {0, 0, 0}},
                      // rows outside the band stay put even with a first shift
                      shear_case{2, 10, 2, 5, 3, 9, {0, 0, 3, 4, 6, 9, 0, 0, 0, 0}},
                      shear_case{3, 3, 2, 0, 0, 6, {0, 0, 0}},   // empty band: only wider
                      shear_case{3, 3, 1, 1, 5, 2, {0, 5, 0}},   // one-row band: first shift
                      shear_case{3, 3, 0, 2, -3, 4, {0, 2, 4}},  // negative shifts count as 0
                      shear_case{3, 2, 0, 1, -3, -4, {0, 0}},
                      // a band of 2^32 - 1 rows wraps the percentages; shifts stay in the row
                      shear_case{1, 3, INT32_MIN, INT32_MAX, 5, 0, {5, 5, 5}},
                      shear_case{0, 2, 0, 1, 0, 2, {0, 2}},
                      // fills longer than the widest vector, at every kernel
                      shear_case{150, 3, 0, 2, 0, 131, {0, 65, 131}}));

TEST_F(Shear, InterpolRoundsTowardTheStartAndWraps) {
    EXPECT_EQ(tamsa::interpol(10, 0, 33), 7);
    EXPECT_EQ(tamsa::interpol(0, 10, 33), 3);
    EXPECT_EQ(tamsa::interpol(-7, 93, 0), -7);
    EXPECT_EQ(tamsa::interpol(-7, 93, 100), 93);
    EXPECT_EQ(tamsa::interpol(INT32_MIN, INT32_MAX, 100), INT32_MAX);  // (-1 * 100) / 100 + a
    EXPECT_EQ(tamsa::maxval(-5, -9), -5);
}

TEST_F(Shear, RefusesAWidthBeyondItsRecord) {
    uint8_t pixel[3] = {};
    for (const auto &[w, h, shift] : {std::tuple{1000, 1, INT32_MAX - 10},
                                      std::tuple{1000, 1000, 3000000}, std::tuple{-1, 1, 0}}) {
        kv_bitmap b{pixel, w, h, 3};
        const auto before = snapshot();
        EXPECT_EQ(kv_shearbitmap(&b, 0, 0, shift, 0, 0, 0, 0), 0);
        EXPECT_EQ(b.width, w);
        EXPECT_EQ(b.data, pixel);
        EXPECT_EQ(snapshot(), before);
    }
    EXPECT_EQ(kv_shearbitmap(nullptr, 0, 0, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(kv_transposebitmap(nullptr), 0);
}

TEST_F(Transpose, ReflectsAcrossTheDiagonal) {
    for (const auto &[w, h, depth] : {std::tuple{3, 2, 3}, std::tuple{1, 5, 3}, std::tuple{7, 1, 1},
                                      std::tuple{0, 4, 3}, std::tuple{37, 45, 1}}) {
        BitmapPtr b = random_bitmap(w, h, depth, 4);
        const auto src = pixels(*b);
        ASSERT_EQ(kv_transposebitmap(b.get()), 1);
        ASSERT_EQ(b->width, h);
        ASSERT_EQ(b->height, w);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                EXPECT_EQ(0, std::memcmp(b->data + (x * h + y) * depth,
                                         src.data() + (y * w + x) * depth, size_t(depth)));
            }
        }
        if (w == 1) {
            EXPECT_EQ(pixels(*b), src) << "a column becomes a row in the same order";
        }
        ASSERT_EQ(kv_transposebitmap(b.get()), 1);
        EXPECT_EQ(b->width, w);
        EXPECT_EQ(pixels(*b), src);
    }
}

// Sizes from 1 to a few hundred, both depths, through the plain kernels and the vector kernels of
// every target, against the rule; first heights that end in a part band of 16 rows and more, of
// 4 to 15 and of fewer than 4.
TEST_F(Transpose, EveryKernelReflects) {
    const std::tuple<int32_t, int32_t, int> fixed[] = {{41, 56, 3}, {37, 44, 3}, {23, 70, 3}};
    for (uint64_t seed = 1; seed <= 40 + std::size(fixed); ++seed) {
        Rng rng(seed);
        int32_t w = int32_t(1 + rng.below(seed % 2 ? 90 : 300));
        int32_t h = int32_t(1 + rng.below(seed % 2 ? 90 : 40));
        int depth = rng.below(2) ? 3 : 1;
        if (seed > 40) std::tie(w, h, depth) = fixed[seed - 41];
        BitmapPtr start = random_bitmap(w, h, depth, seed);
        std::vector<uint8_t> want(pixels(*start).size());
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                std::memcpy(&want[size_t((x * h + y) * depth)], start->data + (y * w + x) * depth,
                            size_t(depth));
            }
        }
        tamsa_test::each_kernel([&] {
            BitmapPtr b(kv_clonebitmap(start.get()));
            ASSERT_EQ(kv_transposebitmap(b.get()), 1);
            ASSERT_EQ(pixels(*b), want) << "seed " << seed << ", " << w << "x" << h;
        });
    }
}

TEST_F(Shear, AllocationFailures) {
    // The source's clone makes two allocations, the new buffer one.
    BitmapPtr src = random_bitmap(9, 5, 3, 1);
    EXPECT_EQ(sweep_alloc_failures([&] {
                  BitmapPtr b(kv_clonebitmap(src.get()));
                  return b != nullptr && kv_shearbitmap(b.get(), 0, 4, 1, 6, 0, 0, 0) == 1;
              }),
              3u);
    EXPECT_EQ(sweep_alloc_failures([&] {
                  BitmapPtr b(kv_clonebitmap(src.get()));
                  return b != nullptr && kv_transposebitmap(b.get()) == 1;
              }),
              3u);
    // A failure leaves the bitmap as it was.
    const auto before = pixels(*src);
    for (int op = 0; op < 2; ++op) {
        tamsa_alloc_fail_nth(1);
        EXPECT_EQ(op == 0 ? kv_shearbitmap(src.get(), 0, 4, 1, 6, 0, 0, 0)
                          : kv_transposebitmap(src.get()),
                  0);
        EXPECT_EQ(src->width, 9);
        EXPECT_EQ(pixels(*src), before);
    }
}

}  // namespace
