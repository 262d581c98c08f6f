#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;
using tamsa_test::snapshot;
using tamsa_test::sweep_alloc_failures;

// Destination pixel (x, y) is source pixel (floor(x * sw / dw), floor(y * sh / dh)).
std::vector<uint8_t> reference_scale(const uint8_t *source, uint64_t sw, uint64_t sh, uint64_t dw,
                                     uint64_t dh, int depth) {
    std::vector<uint8_t> out;
    for (uint64_t y = 0; y < dh; ++y) {
        for (uint64_t x = 0; x < dw; ++x) {
            const uint8_t *p = source + ((y * sh / dh) * sw + x * sw / dw) * depth;
            out.insert(out.end(), p, p + depth);
        }
    }
    return out;
}

// Pixel (x, y) of the source, or black outside it.
std::vector<uint8_t> reference_cut(const kv_bitmap &b, int64_t x1, int64_t y1, int64_t x2,
                                   int64_t y2) {
    if (x1 > x2) std::swap(x1, x2);
    if (y1 > y2) std::swap(y1, y2);
    const int d = b.bytesperpixel;
    std::vector<uint8_t> out;
    for (int64_t y = y1; y <= y2; ++y) {
        for (int64_t x = x1; x <= x2; ++x) {
            for (int c = 0; c < d; ++c) {
                const bool inside = x >= 0 && x < b.width && y >= 0 && y < b.height;
                out.push_back(inside ? b.data[(y * b.width + x) * d + c] : 0);
            }
        }
    }
    return out;
}

// Runs the kernel of that depth; kv_scale24 for 3, kv_scale8 for 1.
void scale(int depth, const uint8_t *s, uint8_t *d, uint32_t sw, uint32_t sh, uint32_t dw,
           uint32_t dh) {
    (depth == 3 ? kv_scale24 : kv_scale8)(s, d, sw, sh, dw, dh);
}

// Scaling tests run at both depths, with the plain kernel and with the fast one.
using kernel_case = std::tuple<int, bool>;  // depth, plain
class Scale : public LeakCheck, public ::testing::WithParamInterface<kernel_case> {
   protected:
    void SetUp() override {
        LeakCheck::SetUp();
        tamsa::use_plain_kernels(plain());
    }
    void TearDown() override {
        tamsa::use_plain_kernels(false);
        LeakCheck::TearDown();
    }
    int depth() const { return std::get<0>(GetParam()); }
    bool plain() const { return std::get<1>(GetParam()); }

    // Source pixels labelled 1, 2, 3, ... in every byte, row after row.
    BitmapPtr labelled(int32_t w, int32_t h) const {
        BitmapPtr b(kv_allocrawbitmap(w, h, depth()));
        for (int32_t i = 0; i < w * h; ++i) std::memset(b->data + i * depth(), i + 1, depth());
        return b;
    }
    std::vector<uint8_t> labels(std::initializer_list<int> ids) const {
        std::vector<uint8_t> out;
        for (int id : ids) out.insert(out.end(), size_t(depth()), uint8_t(id));
        return out;
    }
};
INSTANTIATE_TEST_SUITE_P(Kernels, Scale,
                         ::testing::Combine(::testing::Values(3, 1), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) == 3 ? "Rgb" : "Grey") +
                                    (std::get<1>(info.param) ? "Plain" : "Fast");
                         });

TEST_P(Scale, ColumnAndRowExamples) {
    const struct {
        int32_t sw, sh, dw, dh;
        std::initializer_list<int> expected;
    } cases[] = {
        {2, 1, 4, 1, {1, 1, 2, 2}},     // A, B to width 4
        {4, 1, 2, 1, {1, 3}},           // A, B, C, D to width 2
        {3, 1, 2, 1, {1, 2}},           // A, B, C to width 2
        {1, 3, 1, 2, {1, 2}},           // 3 rows to 2: rows 0 and 1
        {1, 2, 1, 5, {1, 1, 1, 2, 2}},  // 2 rows to 5: rows 0, 0, 0, 1, 1
        {2, 2, 3, 3, {1, 1, 2, 1, 1, 2, 3, 3, 4}},
        {3, 3, 1, 1, {1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " to " +
                     std::to_string(c.dw) + "x" + std::to_string(c.dh));
        BitmapPtr source = labelled(c.sw, c.sh);
        const auto expected = labels(c.expected);
        BusBuffer out(uint32_t(expected.size()), 0xcc);
        scale(depth(), source->data, out.data(), c.sw, c.sh, c.dw, c.dh);
        EXPECT_EQ(out.bytes(), expected);

        BitmapPtr copy(kv_scalecopybitmap(source.get(), c.dw, c.dh));
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(pixels(*copy), expected);
        ASSERT_EQ(kv_scalebitmap(source.get(), c.dw, c.dh), 1);
        EXPECT_EQ(pixels(*source), expected);
    }
}

TEST_P(Scale, SameSizeCopiesTheImage) {
    for (auto [w, h] : {std::pair{1, 1}, std::pair{7, 3}, std::pair{33, 17}}) {
        BitmapPtr source = random_bitmap(w, h, depth(), uint64_t(w));
        BusBuffer out(uint32_t(w * h * depth()), 0xcc);
        scale(depth(), source->data, out.data(), w, h, w, h);
        EXPECT_EQ(out.bytes(), pixels(*source));
    }
}

TEST_P(Scale, MatchesTheRuleOnRandomSizes) {
    for (uint64_t seed = 1; seed <= 150; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        const uint32_t sw = 1 + rng.below(40), sh = 1 + rng.below(30);
        const uint32_t dw = rng.below(90), dh = rng.below(70);
        BitmapPtr source = random_bitmap(int32_t(sw), int32_t(sh), depth(), seed);
        const auto expected = reference_scale(source->data, sw, sh, dw, dh, depth());
        BusBuffer out(uint32_t(expected.size()), 0xcc);
        scale(depth(), source->data, out.data(), sw, sh, dw, dh);
        EXPECT_EQ(out.bytes(), expected);
    }
}

TEST_P(Scale, IndexesAreExactWhereA32BitProductWouldOverflow) {
    // x * sw passes 2^32 from about column 61000 on.
    const uint32_t sw = 70001, dw = 69997;
    BitmapPtr source = random_bitmap(int32_t(sw), 2, depth(), 3);
    const auto expected = reference_scale(source->data, sw, 2, dw, 3, depth());
    BusBuffer out(uint32_t(expected.size()), 0xcc);
    scale(depth(), source->data, out.data(), sw, 2, dw, 3);
    EXPECT_TRUE(out.bytes() == expected);
}

TEST_P(Scale, NothingToSampleOrNoColumnTableWritesNothing) {
    BitmapPtr source = random_bitmap(4, 4, depth(), 9);
    BusBuffer out(uint32_t(16 * depth()), 0xcc);
    const std::vector<uint8_t> untouched(16 * size_t(depth()), 0xcc);
    scale(depth(), source->data, out.data(), 0, 4, 4, 4);
    scale(depth(), source->data, out.data(), 4, 0, 4, 4);
    scale(depth(), source->data, out.data(), 4, 4, 0, 4);
    scale(depth(), source->data, out.data(), 4, 4, 4, 0);
    scale(depth(), nullptr, out.data(), 4, 4, 4, 4);
    scale(depth(), source->data, out.data(), 0x80000000u, 1, 4, 4);  // beyond any record
    EXPECT_EQ(out.bytes(), untouched);
    tamsa_alloc_fail_nth(1);
    scale(depth(), source->data, out.data(), 4, 4, 4, 4);
    EXPECT_EQ(tamsa_alloc_fail_nth(0), 0u) << "the column table was asked for";
    EXPECT_EQ(out.bytes(), untouched);
}

class ScaleKernels : public LeakCheck {};

// Every kernel against the rule, at both depths: widths from 0 to a few hundred, at the ratios
// that take each path (halving, doubling, the same width, a little under and over 2:1, any),
// the source misaligned by 0 to 63 bytes and ending where its block ends, the result misaligned
// in a guarded buffer.
TEST_F(ScaleKernels, AgreeWithTheRuleAtEveryWidthRatioAndAlignment) {
    for (uint64_t iteration = 0; iteration < 360; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration + 500);
        const int depth = iteration % 2 ? 3 : 1;
        const uint32_t sw = 1 + rng.below(iteration < 40 ? 40 : 400);
        const uint32_t widths[6] = {sw / 2, 2 * sw, sw, sw * 20 / 39, sw * 20 / 41, rng.below(500)};
        const uint32_t dw = widths[iteration / 2 % 6];
        const uint32_t sh = 1 + rng.below(6), dh = rng.below(9);
        const uint32_t shift[2] = {rng.below(64), rng.below(64)};
        const uint32_t source_bytes = sw * sh * uint32_t(depth);
        BitmapPtr block = random_bitmap(int32_t(source_bytes + shift[0]), 1, 1, iteration);
        const uint8_t *source = block->data + shift[0];
        const auto expected = reference_scale(source, sw, sh, dw, dh, depth);
        BusBuffer out(uint32_t(expected.size()) + shift[1]);
        tamsa_test::each_kernel([&] {
            std::memset(out.data(), 0x5a, out.size());
            scale(depth, source, out.data() + shift[1], sw, sh, dw, dh);
            ASSERT_TRUE(std::vector<uint8_t>(out.data() + shift[1], out.data() + out.size()) ==
                        expected)
                << sw << "x" << sh << " to " << dw << "x" << dh << " at depth " << depth;
            for (uint32_t i = 0; i < shift[1]; ++i) ASSERT_EQ(out[i], 0x5a) << "before the result";
        });
    }
}

TEST_P(Scale, BitmapScalersKeepDepthAndRecord) {
    BitmapPtr source = random_bitmap(13, 7, depth(), 4);
    const auto before = pixels(*source);
    const auto expected = reference_scale(source->data, 13, 7, 20, 5, depth());

    BitmapPtr copy(kv_scalecopybitmap(source.get(), 20, 5));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->width, 20);
    EXPECT_EQ(copy->height, 5);
    EXPECT_EQ(copy->bytesperpixel, depth());
    EXPECT_EQ(pixels(*copy), expected);
    EXPECT_EQ(pixels(*source), before) << "the source of a copy stays as it was";

    kv_bitmap *const record = source.get();
    ASSERT_EQ(kv_scalebitmap(record, 20, 5), 1);
    EXPECT_EQ(source.get(), record);
    EXPECT_EQ(record->width, 20);
    EXPECT_EQ(record->height, 5);
    EXPECT_EQ(record->bytesperpixel, depth()) << "a 1-byte bitmap is scaled at its own depth";
    EXPECT_EQ(tamsa_bus_contains_block(tamsa_bus_address(record->data), 100 * depth()), 1);
    EXPECT_EQ(pixels(*record), expected);
}

TEST_P(Scale, EmptySizes) {
    BitmapPtr source = random_bitmap(6, 4, depth(), 8);
    for (auto [w, h] : {std::pair{0, 0}, std::pair{0, 3}, std::pair{5, 0}}) {
        BitmapPtr copy(kv_scalecopybitmap(source.get(), w, h));
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->width, w);
        EXPECT_EQ(copy->height, h);
        BitmapPtr empty(kv_allocbitmap(w, h, depth()));
        BitmapPtr again(kv_scalecopybitmap(empty.get(), 0, h));
        EXPECT_NE(again, nullptr) << "empty to empty";
        EXPECT_EQ(kv_scalecopybitmap(empty.get(), 2, 2), nullptr) << "no pixel to sample";
        EXPECT_EQ(kv_scalebitmap(empty.get(), 2, 2), 0);
        EXPECT_EQ(empty->width, w);
    }
    ASSERT_EQ(kv_scalebitmap(source.get(), 0, 9), 1);
    EXPECT_EQ(source->width, 0);
    EXPECT_EQ(source->height, 9);
}

TEST_P(Scale, BadRequestsFailWithTheBitmapUnchanged) {
    BitmapPtr source = random_bitmap(6, 4, depth(), 8);
    const auto before = pixels(*source);
    uint8_t *const data = source->data;
    const auto mark = snapshot();
    for (auto [w, h] : {std::pair{-1, 3}, std::pair{3, -1}, std::pair{INT32_MIN, INT32_MIN},
                        std::pair{65536, 65536}, std::pair{46341, 46341}}) {
        EXPECT_EQ(kv_scalecopybitmap(source.get(), w, h), nullptr) << w << "x" << h;
        EXPECT_EQ(kv_scalebitmap(source.get(), w, h), 0) << w << "x" << h;
    }
    EXPECT_EQ(snapshot(), mark);
    EXPECT_EQ(source->data, data);
    EXPECT_EQ(source->width, 6);
    EXPECT_EQ(pixels(*source), before);
}

TEST_P(Scale, EveryAllocationFailureLeavesNothingAllocated) {
    BitmapPtr source = random_bitmap(9, 5, depth(), 2);
    const auto before = pixels(*source);
    const auto expected = reference_scale(source->data, 9, 5, 4, 11, depth());
    EXPECT_EQ(sweep_alloc_failures([&] {
                  BitmapPtr copy(kv_scalecopybitmap(source.get(), 4, 11));
                  return copy != nullptr && pixels(*copy) == expected;
              }),
              3u);  // record, pixels, column table
    EXPECT_EQ(pixels(*source), before);

    kv_bitmap *const record = source.get();
    EXPECT_EQ(sweep_alloc_failures([&] {
                  uint8_t *const data = record->data;
                  if (kv_scalebitmap(record, 4, 11) == 0) {
                      EXPECT_EQ(record->data, data);
                      EXPECT_EQ(record->width, 9);
                      EXPECT_EQ(record->height, 5);
                      EXPECT_EQ(pixels(*record), before);
                      return false;
                  }
                  return pixels(*record) == expected;
              }),
              2u);  // pixels, column table
}

class Cut : public LeakCheck {};

TEST_F(Cut, CornersInAnyOrderGiveTheSameRectangle) {
    BitmapPtr b = random_bitmap(8, 6, 3, 1);
    const auto expected = reference_cut(*b, 2, 3, 5, 4);
    for (auto [x1, y1, x2, y2] : {std::tuple{5, 4, 2, 3}, std::tuple{2, 3, 5, 4},
                                  std::tuple{5, 3, 2, 4}, std::tuple{2, 4, 5, 3}}) {
        BitmapPtr cut(kv_cutbitmap(b.get(), x1, y1, x2, y2));
        ASSERT_NE(cut, nullptr);
        EXPECT_EQ(cut->width, 4);
        EXPECT_EQ(cut->height, 2);
        EXPECT_EQ(cut->bytesperpixel, 3);
        EXPECT_EQ(pixels(*cut), expected);
    }
}

TEST_F(Cut, SinglePixelsAndBlackOutside) {
    BitmapPtr b = random_bitmap(8, 6, 3, 2);
    const uint8_t *p00 = b->data;
    const uint8_t *p33 = b->data + (3 * 8 + 3) * 3;

    BitmapPtr one(kv_cutbitmap(b.get(), 3, 3, 3, 3));
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(pixels(*one), std::vector<uint8_t>(p33, p33 + 3));

    BitmapPtr edge(kv_cutbitmap(b.get(), -1, 0, 0, 0));
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->width, 2);
    EXPECT_EQ(edge->height, 1);
    EXPECT_EQ(pixels(*edge), (std::vector<uint8_t>{0, 0, 0, p00[0], p00[1], p00[2]}));

    // Column x = width and row y = height lie outside.
    BitmapPtr corner(kv_cutbitmap(b.get(), 7, 5, 8, 6));
    ASSERT_NE(corner, nullptr);
    const uint8_t *p75 = b->data + (5 * 8 + 7) * 3;
    std::vector<uint8_t> expected(12, 0);
    std::copy(p75, p75 + 3, expected.begin());
    EXPECT_EQ(pixels(*corner), expected);

    BitmapPtr outside(kv_cutbitmap(b.get(), -20, 100, -10, 103));
    ASSERT_NE(outside, nullptr);
    EXPECT_EQ(pixels(*outside), std::vector<uint8_t>(11 * 4 * 3, 0));
}

TEST_F(Cut, CuttingTheWholeImageCopiesIt) {
    for (int32_t d : {3, 1}) {
        BitmapPtr b = random_bitmap(11, 7, d, 3);
        BitmapPtr cut(kv_cutbitmap(b.get(), 10, 6, 0, 0));
        ASSERT_NE(cut, nullptr);
        EXPECT_EQ(cut->bytesperpixel, d) << "a 1-byte bitmap is cut at its own depth";
        EXPECT_EQ(pixels(*cut), pixels(*b));
    }
}

TEST_F(Cut, MatchesTheRuleOnRandomRectangles) {
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        const int32_t d = seed % 3 ? 3 : 1;
        const auto w = int32_t(rng.below(12)), h = int32_t(rng.below(9));
        BitmapPtr b = random_bitmap(w, h, d, seed);
        auto coordinate = [&rng](int32_t size) {
            return int32_t(rng.below(uint32_t(size) + 9)) - 4;
        };
        const int32_t x1 = coordinate(w), y1 = coordinate(h), x2 = coordinate(w),
                      y2 = coordinate(h);
        BitmapPtr cut(kv_cutbitmap(b.get(), x1, y1, x2, y2));
        ASSERT_NE(cut, nullptr);
        EXPECT_EQ(cut->width, std::abs(x2 - x1) + 1);
        EXPECT_EQ(cut->height, std::abs(y2 - y1) + 1);
        EXPECT_EQ(pixels(*cut), reference_cut(*b, x1, y1, x2, y2));
    }
}

TEST_F(Cut, RejectsRecordsAndRectanglesItCannotMake) {
    BitmapPtr b = random_bitmap(4, 4, 3, 4);
    const auto mark = snapshot();
    EXPECT_EQ(kv_cutbitmap(nullptr, 0, 0, 1, 1), nullptr);
    kv_bitmap depth2{b->data, 4, 4, 2};
    EXPECT_EQ(kv_cutbitmap(&depth2, 0, 0, 1, 1), nullptr);
    kv_bitmap negative{b->data, -4, 4, 3};
    EXPECT_EQ(kv_cutbitmap(&negative, 0, 0, 1, 1), nullptr);
    // Widths that leave 32 bits, or 31 bits of buffer.
    EXPECT_EQ(kv_cutbitmap(b.get(), INT32_MIN, 0, INT32_MAX, 0), nullptr);
    EXPECT_EQ(kv_cutbitmap(b.get(), 0, INT32_MAX, 0, INT32_MIN), nullptr);
    EXPECT_EQ(kv_cutbitmap(b.get(), 0, 0, 65535, 65535), nullptr);
    EXPECT_EQ(snapshot(), mark);
}

TEST_F(Cut, EveryAllocationFailureLeavesNothingAllocated) {
    BitmapPtr b = random_bitmap(9, 5, 3, 5);
    const auto expected = reference_cut(*b, -2, 1, 10, 3);
    EXPECT_EQ(sweep_alloc_failures([&] {
                  BitmapPtr cut(kv_cutbitmap(b.get(), -2, 1, 10, 3));
                  return cut != nullptr && pixels(*cut) == expected;
              }),
              2u);
}

}  // namespace
