#include <vector>

#include "video_support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;
using tamsa_test::snapshot;
using video_test::VideoTest;

// The source is read one byte per pixel with rows of width bytes, whatever its depth.
uint8_t source_byte(const kv_bitmap &source, int64_t x, int64_t y) {
    return source.data[y * source.width + x];
}

void expect_sampled(const kv_bitmap &source, const kv_bitmap &result) {
    ASSERT_EQ(result.bytesperpixel, 1);
    for (int32_t y = 0; y < result.height; ++y) {
        const int64_t sy = int64_t(y) * source.height / result.height;
        for (int32_t x = 0; x < result.width; ++x) {
            const int64_t sx = int64_t(x) * source.width / result.width;
            ASSERT_EQ(result.data[y * result.width + x], source_byte(source, sx, sy))
                << "at " << x << ", " << y;
        }
    }
}

struct sampling_case {
    int32_t width, height, new_width, new_height;
    std::vector<int32_t> columns, rows;
};

class ScaleSampling : public VideoTest, public ::testing::WithParamInterface<sampling_case> {};

TEST_P(ScaleSampling, TakesTheListedSourcePixels) {
    const sampling_case &c = GetParam();
    const BitmapPtr source = random_bitmap(c.width, c.height, 1, 11);
    both_kernels([&] {
        const BitmapPtr result(tamsa_scale_ll(source.get(), c.new_width, c.new_height));
        ASSERT_NE(result, nullptr);
        ASSERT_EQ(result->width, c.new_width);
        ASSERT_EQ(result->height, c.new_height);
        for (size_t y = 0; y < c.rows.size(); ++y) {
            for (size_t x = 0; x < c.columns.size(); ++x) {
                EXPECT_EQ(result->data[y * c.columns.size() + x],
                          source_byte(*source, c.columns[x], c.rows[y]))
                    << "at " << x << ", " << y;
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Examples, ScaleSampling,
                         ::testing::Values(sampling_case{4, 1, 2, 1, {0, 2}, {0}},
                                           sampling_case{2, 1, 4, 1, {0, 0, 1, 1}, {0}},
                                           sampling_case{5, 1, 3, 1, {0, 1, 3}, {0}},
                                           sampling_case{3, 4, 3, 2, {0, 1, 2}, {0, 2}},
                                           sampling_case{1, 2, 2, 4, {0, 0}, {0, 0, 1, 1}}));

TEST_F(VideoTest, ScaleToTheSameSizeCopies) {
    const BitmapPtr source = random_bitmap(17, 9, 1, 2);
    both_kernels([&] {
        const BitmapPtr result(tamsa_scale_ll(source.get(), 17, 9));
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(pixels(*result), pixels(*source));
    });
}

TEST_F(VideoTest, ScaleMatchesTheRuleOnRandomSizes) {
    for (uint64_t iteration = 0; iteration < 200; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const int32_t depth = rng.below(2) == 0 ? 1 : 3;
        const BitmapPtr source =
            random_bitmap(1 + int32_t(rng.below(40)), 1 + int32_t(rng.below(20)), depth, iteration);
        const auto new_width = 1 + int32_t(rng.below(45));
        const auto new_height = 1 + int32_t(rng.below(25));
        both_kernels([&] {
            const BitmapPtr result(tamsa_scale_ll(source.get(), new_width, new_height));
            ASSERT_NE(result, nullptr);
            expect_sampled(*source, *result);
        });
    }
}

// Where the column table cannot be had, the call fails as a whole rather than hand back an
// unsampled frame.
TEST_F(VideoTest, ScaleFailingAnyAllocationLeavesNothing) {
    const BitmapPtr source = random_bitmap(6, 5, 1, 4);
    const uint32_t allocations = tamsa_test::sweep_alloc_failures([&] {
        const BitmapPtr result(tamsa_scale_ll(source.get(), 11, 3));
        return result != nullptr;
    });
    EXPECT_EQ(allocations, 3u) << "the record, its pixels and the column table";
}

struct edge_case {
    const char *name;
    kv_bitmap source;
    int32_t new_width, new_height;
    bool made;  // an (empty) bitmap comes back
};

class ScaleEdges : public VideoTest, public ::testing::WithParamInterface<edge_case> {};

TEST_P(ScaleEdges, MakeAnEmptyBitmapOrNothing) {
    const edge_case &c = GetParam();
    uint8_t bytes[64] = {};
    kv_bitmap source = c.source;
    if (source.data != nullptr) source.data = bytes;
    const auto before = snapshot();
    const BitmapPtr result(tamsa_scale_ll(&source, c.new_width, c.new_height));
    if (!c.made) {
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(snapshot(), before);
        return;
    }
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->width, c.new_width);
    EXPECT_EQ(result->height, c.new_height);
}

// A non-null data field in a case stands for a real buffer.
uint8_t *const kData = reinterpret_cast<uint8_t *>(1);

INSTANTIATE_TEST_SUITE_P(
    Cases, ScaleEdges,
    ::testing::Values(edge_case{"no_columns", {kData, 4, 4, 1}, 0, 3, true},
                      edge_case{"no_rows", {kData, 4, 4, 1}, 3, 0, true},
                      edge_case{"wide_but_empty", {kData, 4, 4, 1}, INT32_MAX, 0, true},
                      edge_case{"empty_from_empty", {nullptr, 0, 0, 1}, 0, 0, true},
                      edge_case{"pixels_from_an_empty_source", {kData, 0, 4, 1}, 2, 2, false},
                      edge_case{"negative_source_width", {kData, -4, 4, 1}, 2, 2, false},
                      edge_case{"negative_new_width", {kData, 4, 4, 1}, -2, 2, false},
                      edge_case{"negative_new_height", {kData, 4, 4, 1}, 0, -2, false},
                      edge_case{"source_depth_2", {kData, 4, 4, 2}, 2, 2, false},
                      edge_case{"source_without_pixels", {nullptr, 4, 4, 1}, 2, 2, false},
                      edge_case{"result_beyond_31_bits", {kData, 4, 4, 1}, 50000, 50000, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(VideoTest, ScaleOfANullSourceMakesNothing) {
    EXPECT_EQ(tamsa_scale_ll(nullptr, 2, 2), nullptr);
}

}  // namespace
