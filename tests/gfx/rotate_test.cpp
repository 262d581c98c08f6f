#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

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

class Rotate : public LeakCheck {};

struct image {
    std::vector<uint8_t> bytes;
    int64_t width, height;
    int depth;
};

// The source as the bordered record must hold it at (left, top): anything outside is fill.
uint8_t bordered(const image &src, const uint8_t *fill, int64_t left, int64_t top, int64_t col,
                 int64_t row, int k) {
    col -= left;
    row -= top;
    if (col < 0 || col >= src.width || row < 0 || row >= src.height) return fill[k];
    return src.bytes[size_t((row * src.width + col) * src.depth + k)];
}

// Inverse mapping with bilinear weights, each product truncated, read from the unbordered
// source; a result of out_w x out_h around the centre of a bordered source of fw x fh.
std::vector<uint8_t> reference(const image &src, const uint8_t *fill, int64_t fw, int64_t fh,
                               int64_t out_w, int64_t out_h, float angle) {
    const int64_t left = (fw - src.width) / 2, top = (fh - src.height) / 2;
    const double phi = double(-angle) * std::numbers::pi * 2.0 / 360.0;
    const double c = std::cos(phi), s = std::sin(phi);
    std::vector<uint8_t> out;
    for (int64_t r = 0; r < out_h; ++r) {
        for (int64_t q = 0; q < out_w; ++q) {
            const double x = double(q - out_w / 2), y = double(out_h / 2 - r);
            const double u = x * c - y * s, v = x * s + y * c;
            const double fx = u - std::floor(u), fy = v - std::floor(v);
            const int64_t col = fw / 2 + int64_t(std::floor(u));
            const int64_t row = fh / 2 - int64_t(std::floor(v));
            for (int k = 0; k < src.depth; ++k) {
                const auto p = [&](int64_t dc, int64_t dr) {
                    return bordered(src, fill, left, top, col + dc, row + dr, k);
                };
                const int sum = int(p(0, -1) * ((1 - fx) * fy)) + int(p(1, -1) * (fx * fy)) +
                                int(p(0, 0) * ((1 - fx) * (1 - fy))) +
                                int(p(1, 0) * (fx * (1 - fy)));
                out.push_back(uint8_t(std::min(sum, 255)));
            }
        }
    }
    return out;
}

void expect_border(const kv_bitmap &b, const image &src, const uint8_t *fill, int64_t left,
                   int64_t top) {
    for (int64_t row = 0; row < b.height; ++row) {
        for (int64_t col = 0; col < b.width; ++col) {
            for (int k = 0; k < src.depth; ++k) {
                ASSERT_EQ(b.data[(row * b.width + col) * src.depth + k],
                          bordered(src, fill, left, top, col, row, k))
                    << "bordered source at " << col << "," << row;
            }
        }
    }
}

struct size_case {
    int32_t w, h;
    float angle;
    int32_t out_w, out_h;
    int32_t frame_w, frame_h, left, top;  // -1: not pinned
};

class RotateSizes : public LeakCheck, public ::testing::WithParamInterface<size_case> {};

TEST_P(RotateSizes, ResultAndBorderedSource) {
    const size_case t = GetParam();
    for (int depth : {3, 1}) {
        BitmapPtr b = random_bitmap(t.w, t.h, depth, 7);
        const image src{pixels(*b), t.w, t.h, depth};
        const uint8_t fill[3] = {0x12, 0x34, 0x56};  // a 1-byte source is bordered with red
        BitmapPtr r(kv_rotatebitmap(b.get(), 0x712, 0x634, 0x556, t.angle));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->width, t.out_w);
        EXPECT_EQ(r->height, t.out_h);
        EXPECT_EQ(r->bytesperpixel, depth);
        if (t.frame_w >= 0) {
            EXPECT_EQ(b->width, t.frame_w);
            EXPECT_EQ(b->height, t.frame_h);
            EXPECT_EQ((b->width - t.w) / 2, t.left);
            EXPECT_EQ((b->height - t.h) / 2, t.top);
        }
        expect_border(*b, src, fill, (b->width - t.w) / 2, (b->height - t.h) / 2);
        EXPECT_EQ(pixels(*r),
                  reference(src, fill, b->width, b->height, r->width, r->height, t.angle));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RotateSizes,
    ::testing::Values(size_case{100, 50, 0.f, 100, 50, 102, 52, 1, 1},
                      size_case{100, 50, 30.f, 112, 94, 146, 140, 23, 45},
                      size_case{100, 50, 45.f, 106, 106, -1, -1, -1, -1},
                      size_case{100, 50, 90.f, 50, 100, -1, -1, -1, -1},
                      size_case{100, 50, -90.f, 50, 100, -1, -1, -1, -1},
                      size_case{100, 50, 360.f, 100, 50, 102, 52, 1, 1},
                      size_case{100, 50, 720.f, 100, 50, 102, 52, 1, 1},
                      size_case{3, 3, 0.f, 4, 4, 6, 6, 1, 1},
                      size_case{4, 2, 90.f, 2, 4, -1, -1, -1, -1},
                      // empty sources still get a border of one pixel all round
                      size_case{0, 0, 30.f, 0, 0, 2, 2, 1, 1},
                      size_case{0, 5, 0.f, 0, 6, 2, 8, 1, 1}));

TEST_F(Rotate, ZeroDegreesKeepsEveryPixel) {
    for (int depth : {3, 1}) {
        BitmapPtr b = random_bitmap(100, 50, depth, 3);
        const auto before = pixels(*b);
        BitmapPtr r(kv_rotatebitmap(b.get(), 1, 2, 3, 0.f));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(pixels(*r), before);
    }
}

TEST_F(Rotate, ThreeByThreeGetsAFillColumnAndRow) {
    BitmapPtr b = random_bitmap(3, 3, 3, 5);
    const auto src = pixels(*b);
    BitmapPtr r(kv_rotatebitmap(b.get(), 9, 8, 7, 0.f));
    ASSERT_NE(r, nullptr);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            for (int k = 0; k < 3; ++k) {
                const uint8_t want = x < 3 && y < 3 ? src[(y * 3 + x) * 3 + k] : 9 - k;
                EXPECT_EQ(r->data[(y * 4 + x) * 3 + k], want) << x << "," << y;
            }
        }
    }
}

// A quarter turn of 4 x 2 samples one row or column of the border and drops one source column;
// the weights fall a hair short of 1, so values may come out one less.
TEST_F(Rotate, QuarterTurnsOfFourByTwo) {
    const auto near = [](uint8_t got, int want) { return got == want || got == want - 1; };
    for (float angle : {90.f, -90.f}) {
        SCOPED_TRACE(angle);
        BitmapPtr b(kv_allocrawbitmap(4, 2, 1));
        for (int i = 0; i < 8; ++i) b->data[i] = uint8_t(10 + 20 * i);
        const auto src = pixels(*b);
        BitmapPtr r(kv_rotatebitmap(b.get(), 250, 0, 0, angle));
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(r->width, 2);
        ASSERT_EQ(r->height, 4);
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 2; ++x) {
                const uint8_t got = r->data[y * 2 + x];
                // 90: the top row is border, row y holds source column 4 - y, source row 0 left.
                // -90: the left column is border, the right one holds source row 1 left to right.
                const bool border = angle > 0 ? y == 0 : x == 0;
                const int want = border ? 250 : angle > 0 ? src[x * 4 + 4 - y] : src[4 + y];
                EXPECT_TRUE(near(got, want))
                    << x << "," << y << ": " << int(got) << " for " << want;
            }
        }
    }
}

// Random sizes (rows up to a few hundred pixels), angles, depths and fills (black in a third of
// the cases) against the reference, through the plain kernel and the vector kernels of every
// target; the resampling step also on its own into odd-sized destinations, which it fills whole.
TEST_F(Rotate, MatchesTheReference) {
    for (uint64_t seed = 1; seed <= 150; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        const bool wide = seed % 5 == 0;
        const int32_t w = int32_t(rng.below(wide ? 300 : 24)), h = int32_t(rng.below(24));
        const int depth = rng.below(2) ? 3 : 1;
        const float angle = seed % 7 == 0 ? float(int32_t(rng.below(9)) * 45)
                                          : float(int32_t(rng.below(144000)) - 72000) / 100.f;
        uint8_t fill[3] = {rng.byte(), rng.byte(), rng.byte()};
        if (seed % 3 == 0) fill[0] = fill[1] = fill[2] = 0;
        BitmapPtr start = random_bitmap(w, h, depth, seed);
        const image src{pixels(*start), w, h, depth};
        tamsa_test::each_kernel([&] {
            BitmapPtr b(kv_clonebitmap(start.get()));
            BitmapPtr r(kv_rotatebitmap(b.get(), fill[0], fill[1], fill[2], angle));
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->width % 2 + r->height % 2, 0);
            const int64_t left = (b->width - w) / 2, top = (b->height - h) / 2;
            ASSERT_GE(std::min(left, top), 1);
            ASSERT_GE(std::min(b->width - w - left, b->height - h - top), 1);
            expect_border(*b, src, fill, left, top);
            ASSERT_EQ(pixels(*r),
                      reference(src, fill, b->width, b->height, r->width, r->height, angle));

            BitmapPtr odd(kv_allocrawbitmap(r->width + 1, r->height + 1, depth));
            tamsa::CalculateImage(b.get(), odd.get(), angle);
            ASSERT_EQ(pixels(*odd),
                      reference(src, fill, b->width, b->height, odd->width, odd->height, angle));
        });
    }
}

// Results wider than 2560 pixels are made in strips of columns: strips that end at odd columns,
// a last strip of a few columns, both depths and a coloured fill, against the reference.
TEST_F(Rotate, WideResultsMatchTheReference) {
    struct wide_case {
        int32_t w, h, depth;
        float angle;
        uint8_t fill[3];
    } cases[] = {
        {3001, 23, 3, 7.f, {}},
        {2603, 17, 1, -3.5f, {9, 9, 9}},
        {19, 2611, 3, 91.f, {0x20, 0x80, 0xe0}},
        {3075, 9, 3, 180.f, {}},
    };
    for (const wide_case &t : cases) {
        SCOPED_TRACE(std::to_string(t.w) + "x" + std::to_string(t.h) + " at " +
                     std::to_string(t.angle));
        BitmapPtr start = random_bitmap(t.w, t.h, t.depth, uint64_t(t.w) + uint64_t(t.h));
        const image src{pixels(*start), t.w, t.h, t.depth};
        tamsa_test::each_kernel([&] {
            BitmapPtr b(kv_clonebitmap(start.get()));
            BitmapPtr r(kv_rotatebitmap(b.get(), t.fill[0], t.fill[1], t.fill[2], t.angle));
            ASSERT_NE(r, nullptr);
            ASSERT_GT(r->width, 2560);
            ASSERT_EQ(pixels(*r),
                      reference(src, t.fill, b->width, b->height, r->width, r->height, t.angle));
        });
    }
}

// Whole frames at the sizes rotation is timed at, odd ones too, through the vector kernels of
// every target: the plain kernel's bytes, with black fills and coloured ones.
TEST_F(Rotate, VectorKernelsMatchPlainOnFrames) {
    struct frame_case {
        int32_t w, h, depth;
        float angle;
        uint8_t fill[3];
    } cases[] = {
        {640, 480, 3, 30.f, {}},
        {1364, 768, 3, 30.f, {}},
        {1920, 1080, 3, 30.f, {}},
        {1001, 601, 3, 30.f, {}},
        {640, 480, 3, 30.f, {0x5a, 0x5a, 0x5a}},
        {1364, 768, 3, -12.5f, {0xff, 0xff, 0xff}},
        {1001, 601, 3, 30.f, {0x20, 0x80, 0xe0}},  // channels of the fill worked out apart
        {1920, 1080, 1, 30.f, {}},
        {1001, 601, 1, 200.f, {7, 7, 7}},
        {1919, 1079, 3, 61.f, {}},
    };
    for (const frame_case &t : cases) {
        SCOPED_TRACE(std::to_string(t.w) + "x" + std::to_string(t.h) + "x" +
                     std::to_string(t.depth) + " at " + std::to_string(t.angle));
        BitmapPtr start = random_bitmap(t.w, t.h, t.depth, uint64_t(t.w) * 31 + t.h);
        std::vector<uint8_t> plain;
        tamsa_test::each_kernel([&] {
            BitmapPtr b(kv_clonebitmap(start.get()));
            BitmapPtr r(kv_rotatebitmap(b.get(), t.fill[0], t.fill[1], t.fill[2], t.angle));
            ASSERT_NE(r, nullptr);
            std::vector<uint8_t> got = pixels(*r);
            if (plain.empty()) {  // the plain kernel runs first
                plain = std::move(got);
                return;
            }
            ASSERT_EQ(got.size(), plain.size());
            const auto diff = std::mismatch(got.begin(), got.end(), plain.begin());
            EXPECT_EQ(diff.first, got.end()) << "first differing byte " << diff.first - got.begin();
        });
    }
}

TEST_F(Rotate, RefusesWhatItCannotHold) {
    uint8_t pixel[3] = {1, 2, 3};
    struct {
        int32_t w, h, depth;
        float angle;
    } cases[] = {
        {46340, 46340, 1, 0.f},  // the result fits 31 bits, the bordered source does not
        {40000, 40000, 1, 45.f}, {INT32_MAX, 1, 1, 0.f}, {1, 1, 3, NAN},
        {1, 1, 3, INFINITY},     {1, 1, 2, 0.f},         {-1, 1, 3, 0.f},
    };
    for (const auto &c : cases) {
        kv_bitmap b{pixel, c.w, c.h, c.depth};
        const auto before = snapshot();
        EXPECT_EQ(kv_rotatebitmap(&b, 0, 0, 0, c.angle), nullptr) << c.w << "x" << c.h;
        EXPECT_EQ(b.data, pixel);
        EXPECT_EQ(b.width, c.w);
        EXPECT_EQ(snapshot(), before);
    }
    EXPECT_EQ(kv_rotatebitmap(nullptr, 0, 0, 0, 0.f), nullptr);
    int32_t w = 0, h = 0;
    // 2^31 x 2^31 at 45 degrees spans 3037000500: the 32-bit results wrap.
    tamsa::CalculateBoundary(&w, &h, INT32_MAX, INT32_MAX, 45.f);
    EXPECT_EQ(w, int32_t(3037000500 - (int64_t(1) << 32)));
}

TEST_F(Rotate, FrameIsAtLeastOnePixelForSmallTargets) {
    BitmapPtr b = random_bitmap(10, 7, 3, 2);
    const image src{pixels(*b), 10, 7, 3};
    const uint8_t fill[3] = {4, 5, 6};
    ASSERT_EQ(tamsa::CreateFrame(b.get(), 4, 5, 6, 1, 1, 0.f), 0);
    EXPECT_EQ(b->width, 12);
    EXPECT_EQ(b->height, 9);
    expect_border(*b, src, fill, 1, 1);
}

TEST_F(Rotate, AllocationFailures) {
    EXPECT_EQ(sweep_alloc_failures([] {
                  BitmapPtr b(kv_allocrawbitmap(31, 17, 3));
                  if (b == nullptr) return false;
                  std::memset(b->data, 0x40, 31 * 17 * 3);
                  BitmapPtr r(kv_rotatebitmap(b.get(), 0x40, 0x40, 0x40, 30.f));
                  return r != nullptr && r->width == 36 && r->height == 32;
              }),
              5u);
    // A failed border leaves the source as it was; a failed result leaves it bordered.
    for (const auto &[nth, width] : {std::pair{1u, 31}, std::pair{2u, 50}, std::pair{3u, 50}}) {
        BitmapPtr b = random_bitmap(31, 17, 3, 1);
        tamsa_alloc_fail_nth(nth);
        EXPECT_EQ(kv_rotatebitmap(b.get(), 0, 0, 0, 30.f), nullptr);
        EXPECT_EQ(b->width, width) << "failing allocation " << nth;
    }
}

}  // namespace
