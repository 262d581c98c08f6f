#include <cstring>
#include <vector>

#include "video_support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::pixels;
using tamsa_test::Rng;
using tamsa_test::snapshot;
using video_test::bgr;
using video_test::integer_pixel;
using video_test::Plane;
using video_test::VideoTest;

// Planes of a src_width x src_height frame, exactly as large as the scaled conversion may read:
// the chroma of source pixel (x, y) is byte (y * width) / 4 + x / 4.
// With a shift, each plane starts that many bytes into its block (still ending at its end).
struct source_frame {
    source_frame(int32_t width, int32_t height, uint64_t seed, uint32_t shift = 0)
        : width(width),
          height(height),
          shift(shift),
          y(uint32_t(width * height) + shift),
          v(chroma_bytes(width, height) + shift),
          u(chroma_bytes(width, height) + shift) {
        Rng rng(seed);
        rng.fill(y.data(), y.size());
        rng.fill(v.data(), v.size());
        rng.fill(u.data(), u.size());
    }
    static uint32_t chroma_bytes(int32_t w, int32_t h) { return (h - 1) * w / 4 + (w - 1) / 4 + 1; }

    bgr pixel(int32_t sx, int32_t sy) const {
        const int32_t chroma = sy * width / 4 + sx / 4 + int32_t(shift);
        return integer_pixel(y[sy * width + sx + shift], u[chroma], v[chroma]);
    }
    BitmapPtr scaled(int32_t dst_width, int32_t dst_height) const {
        return BitmapPtr(fx_yuvscale_ll(y.data() + shift, v.data() + shift, u.data() + shift, width,
                                        height, dst_width, dst_height));
    }
    int32_t width, height;
    uint32_t shift;
    Plane y, v, u;
};

bgr pixel_at(const kv_bitmap &b, int32_t x, int32_t y) {
    const uint8_t *p = b.data + 3 * (y * b.width + x);
    return {p[0], p[1], p[2]};
}

// Result pixel (x, y) is source pixel (x * sw / dw, y * sh / dh), rounded down.
void expect_sampled(const source_frame &src, const kv_bitmap &result) {
    ASSERT_EQ(result.bytesperpixel, 3);
    for (int32_t y = 0; y < result.height; ++y) {
        const int32_t sy = int32_t(int64_t(y) * src.height / result.height);
        for (int32_t x = 0; x < result.width; ++x) {
            const int32_t sx = int32_t(int64_t(x) * src.width / result.width);
            ASSERT_EQ(pixel_at(result, x, y), src.pixel(sx, sy)) << "at " << x << ", " << y;
        }
    }
}

struct sampling_case {
    int32_t src_width, src_height, dst_width, dst_height;
    std::vector<int32_t> columns, rows;
};

class YuvScaleSampling : public VideoTest, public ::testing::WithParamInterface<sampling_case> {};

TEST_P(YuvScaleSampling, TakesTheListedSourcePixels) {
    const sampling_case &c = GetParam();
    const source_frame src(c.src_width, c.src_height, 5);
    both_kernels([&] {
        const BitmapPtr result = src.scaled(c.dst_width, c.dst_height);
        ASSERT_NE(result, nullptr);
        ASSERT_EQ(result->width, c.dst_width);
        ASSERT_EQ(result->height, c.dst_height);
        for (size_t y = 0; y < c.rows.size(); ++y) {
            for (size_t x = 0; x < c.columns.size(); ++x) {
                EXPECT_EQ(pixel_at(*result, int32_t(x), int32_t(y)),
                          src.pixel(c.columns[x], c.rows[y]))
                    << "at " << x << ", " << y;
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Examples, YuvScaleSampling,
    ::testing::Values(sampling_case{8, 1, 4, 1, {0, 2, 4, 6}, {0}},  // chroma columns 0, 0, 1, 1
                      sampling_case{4, 1, 8, 1, {0, 0, 1, 1, 2, 2, 3, 3}, {0}},
                      sampling_case{5, 1, 3, 1, {0, 1, 3}, {0}},
                      sampling_case{4, 4, 4, 2, {0, 1, 2, 3}, {0, 2}},
                      sampling_case{3, 2, 3, 5, {0, 1, 2}, {0, 0, 0, 1, 1}}));

// Rows of 10 pixels: the chroma of row 1 starts at byte 2 of each plane, that of row 2 at 5.
TEST_F(VideoTest, YuvScaleChromaRowsStartAtTheLumaOffsetOverFour) {
    const source_frame src(10, 3, 9);
    const BitmapPtr result = src.scaled(10, 3);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(pixel_at(*result, 0, 1), integer_pixel(src.y[10], src.u[2], src.v[2]));
    EXPECT_EQ(pixel_at(*result, 0, 2), integer_pixel(src.y[20], src.u[5], src.v[5]));
    EXPECT_EQ(pixel_at(*result, 9, 2), integer_pixel(src.y[29], src.u[7], src.v[7]));
}

// At the source's own size, with rows of whole chroma groups, it is the plain conversion.
TEST_F(VideoTest, YuvScaleAtTheSameSizeIsTheConversionInGroupsOfFour) {
    for (auto [w, h] : {std::pair{4, 1}, std::pair{8, 3}, std::pair{12, 5}, std::pair{640, 4}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const source_frame src(w, h, uint64_t(w * h));
        BusBuffer rgb(uint32_t(3 * w * h));
        fx_yuvtorgb_ll(src.y.data(), src.v.data(), src.u.data(), rgb.data(), uint32_t(w * h), 4);
        both_kernels([&] {
            const BitmapPtr result = src.scaled(w, h);
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(pixels(*result), rgb.bytes());
        });
    }
}

TEST_F(VideoTest, YuvScaleMatchesTheRuleOnRandomSizes) {
    for (uint64_t iteration = 0; iteration < 200; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const source_frame src(1 + int32_t(rng.below(37)), 1 + int32_t(rng.below(19)), iteration);
        const auto dst_width = 1 + int32_t(rng.below(41));
        const auto dst_height = 1 + int32_t(rng.below(23));
        both_kernels([&] {
            const BitmapPtr result = src.scaled(dst_width, dst_height);
            ASSERT_NE(result, nullptr);
            expect_sampled(src, *result);
        });
    }
}

// Every kernel against the rule on rows up to past the 1024 pixels a vector kernel gathers at a
// time: halving, doubling, the same width, a quarter, any width, with the planes misaligned by 0
// to 63 bytes and ending where their blocks end.
TEST_F(VideoTest, YuvScaleKernelsAgreeAtEveryWidthRatioAndAlignment) {
    for (uint64_t iteration = 0; iteration < 60; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration + 300);
        const auto width = 1 + int32_t(rng.below(iteration < 20 ? 100 : 1400));
        const source_frame src(width, 1 + int32_t(rng.below(4)), iteration, rng.below(64));
        const int32_t widths[5] = {width / 2, 2 * width, width, width / 4,
                                   1 + int32_t(rng.below(1500))};
        const int32_t dst_width = std::max(1, widths[iteration % 5]);
        const auto dst_height = 1 + int32_t(rng.below(5));
        both_kernels([&] {
            const BitmapPtr result = src.scaled(dst_width, dst_height);
            ASSERT_NE(result, nullptr);
            expect_sampled(src, *result);
        });
    }
}

TEST_F(VideoTest, YuvScaleFailingAnyAllocationLeavesNothing) {
    const source_frame src(9, 7, 3);
    const uint32_t allocations = tamsa_test::sweep_alloc_failures([&] {
        const BitmapPtr result = src.scaled(13, 5);
        return result != nullptr;
    });
    EXPECT_EQ(allocations, 4u) << "two column tables, the record and its pixels";
}

struct edge_case {
    const char *name;
    int32_t src_width, src_height, dst_width, dst_height;
    bool planes;
    bool made;  // an (empty) bitmap comes back
};

class YuvScaleEdges : public VideoTest, public ::testing::WithParamInterface<edge_case> {};

// Empty results need no source; results with pixels need one; bad sizes make nothing.
TEST_P(YuvScaleEdges, MakeAnEmptyBitmapOrNothing) {
    const edge_case &c = GetParam();
    BusBuffer plane(64, 128);
    const uint8_t *p = c.planes ? plane.data() : nullptr;
    const auto before = snapshot();
    const BitmapPtr result(
        fx_yuvscale_ll(p, p, p, c.src_width, c.src_height, c.dst_width, c.dst_height));
    if (!c.made) {
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(snapshot(), before);
        return;
    }
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->width, c.dst_width);
    EXPECT_EQ(result->height, c.dst_height);
    EXPECT_EQ(result->bytesperpixel, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, YuvScaleEdges,
    ::testing::Values(edge_case{"no_columns", 8, 8, 0, 5, false, true},
                      edge_case{"no_rows", 8, 8, 5, 0, false, true},
                      edge_case{"empty_from_empty", 0, 0, 0, 0, false, true},
                      edge_case{"wide_but_empty", 8, 8, INT32_MAX, 0, false, true},
                      edge_case{"pixels_from_an_empty_source", 0, 4, 2, 2, true, false},
                      edge_case{"pixels_without_planes", 8, 8, 2, 2, false, false},
                      edge_case{"negative_source_width", -8, 8, 2, 2, true, false},
                      edge_case{"negative_source_height", 8, -1, 2, 2, true, false},
                      edge_case{"negative_result_width", 8, 8, -2, 2, true, false},
                      edge_case{"negative_result_height", 8, 8, 0, -2, true, false},
                      edge_case{"result_beyond_31_bits", 8, 8, 30000, 30000, true, false},
                      edge_case{"source_beyond_31_bits", 65536, 65536, 2, 2, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
