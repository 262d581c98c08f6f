#include <cstring>
#include <tuple>

#include "video/yuv_row.h"
#include "video_support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::Rng;
using video_test::bgr;
using video_test::clamp;
using video_test::integer_pixel;
using video_test::Plane;
using video_test::VideoTest;

// ---- the conversion tables ----

struct table_case {
    const char *name;
    std::array<int32_t, 256> tamsa::video::yuv_tables::*table;
    int32_t at_0, at_127, at_128, at_255;
};

class YuvTables : public VideoTest, public ::testing::WithParamInterface<table_case> {};

// Column 127 is where truncation toward zero and rounding down part ways.
TEST_P(YuvTables, HoldTheTruncatedTerms) {
    const table_case &c = GetParam();
    const auto tables = tamsa::video::make_yuv_tables();
    const auto &t = tables.*c.table;
    EXPECT_EQ(t[0], c.at_0);
    EXPECT_EQ(t[127], c.at_127);
    EXPECT_EQ(t[128], c.at_128);
    EXPECT_EQ(t[255], c.at_255);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, YuvTables,
    ::testing::Values(table_case{"luma", &tamsa::video::yuv_tables::luma, -18, 129, 130, 278},
                      table_case{"red_v", &tamsa::video::yuv_tables::red_v, -204, -1, 0, 202},
                      table_case{"green_v", &tamsa::video::yuv_tables::green_v, -104, 0, 0, 103},
                      table_case{"blue_u", &tamsa::video::yuv_tables::blue_u, -258, -2, 0, 256},
                      table_case{"green_u", &tamsa::video::yuv_tables::green_u, -50, 0, 0, 49}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- single pixels ----

struct pixel_case {
    uint8_t y, u, v;
    bgr integer;  // fx_yuvtorgb_ll
    bgr precise;  // kv_yuv_to_rgb
};

class YuvPixel : public VideoTest, public ::testing::WithParamInterface<pixel_case> {};

TEST_P(YuvPixel, ConvertsBlueFirst) {
    const pixel_case &c = GetParam();
    for (uint32_t group : {1u, 4u}) {
        SCOPED_TRACE("group " + std::to_string(group));
        BusBuffer y(group, c.y), v(1, c.v), u(1, c.u), rgb(3 * group);
        both_kernels([&] {
            fx_yuvtorgb_ll(y.data(), v.data(), u.data(), rgb.data(), group, group);
            for (uint32_t p = 0; p < group; ++p) {
                EXPECT_EQ(bgr({rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2]}), c.integer);
            }
        });
        kv_yuv_to_rgb(y.data(), v.data(), u.data(), rgb.data(), group, group);
        EXPECT_EQ(bgr({rgb[0], rgb[1], rgb[2]}), c.precise);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, YuvPixel,
    ::testing::Values(pixel_case{16, 128, 128, {0, 0, 0}, {0, 0, 0}},
                      // 1.164 * 219 = 254.916, truncated
                      pixel_case{235, 128, 128, {254, 254, 254}, {254, 254, 254}},
                      pixel_case{255, 128, 128, {255, 255, 255}, {255, 255, 255}},
                      pixel_case{0, 128, 128, {0, 0, 0}, {0, 0, 0}},
                      // a saturated red lands in the third byte
                      pixel_case{81, 90, 240, {0, 0, 253}, {0, 0, 253}},
                      // blue 386 clamped; the double form truncates green only once: 80.3
                      pixel_case{128, 255, 128, {255, 81, 130}, {255, 80, 130}}));

// ---- counts and groups ----

// Random planes of exactly the size a conversion of `pixels` in groups of `group` reads, so
// that a read or write past them is caught.
struct frame {
    frame(uint32_t pixels, uint32_t group, uint64_t seed)
        : y(pixels), v(pixels / group), u(pixels / group), rgb(3 * pixels) {
        Rng rng(seed);
        rng.fill(y.data(), y.size());
        rng.fill(v.data(), v.size());
        rng.fill(u.data(), u.size());
    }
    // Pixel p of the integer conversion, from the rule.
    bgr expected(uint32_t p, uint32_t group) const {
        return integer_pixel(y[p], u[p / group], v[p / group]);
    }
    bgr got(uint32_t p) const { return {rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2]}; }
    Plane y, v, u;
    BusBuffer rgb;
};

using count_case = std::tuple<uint32_t, uint32_t, uint32_t>;  // count, group, pixels converted
class YuvCount : public VideoTest, public ::testing::WithParamInterface<count_case> {};

// Whole groups are converted, at least one: the test for the end comes after each group.
TEST_P(YuvCount, ConvertsWholeGroups) {
    const auto [count, group, pixels] = GetParam();
    frame f(pixels, group, count * 31 + group);
    both_kernels([&] {
        std::memset(f.rgb.data(), 0, f.rgb.size());
        fx_yuvtorgb_ll(f.y.data(), f.v.data(), f.u.data(), f.rgb.data(), count, group);
        for (uint32_t p = 0; p < pixels; ++p) ASSERT_EQ(f.got(p), f.expected(p, group)) << p;
    });
}

INSTANTIATE_TEST_SUITE_P(Counts, YuvCount,
                         ::testing::Values(count_case{0, 4, 4}, count_case{5, 4, 8},
                                           count_case{8, 4, 8}, count_case{0, 1, 1},
                                           count_case{1, 1, 1}, count_case{7, 3, 9},
                                           count_case{2, 5, 5}, count_case{33, 2, 34}));

// Seeded fuzz over odd counts and groups: both kernels against the rule.
TEST_F(VideoTest, YuvToRgbMatchesTheRuleOnRandomFrames) {
    for (uint64_t iteration = 0; iteration < 300; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const uint32_t group = 1 + rng.below(9);
        const uint32_t count = rng.below(400);
        const uint32_t pixels = std::max<uint32_t>(1, (count + group - 1) / group) * group;
        frame f(pixels, group, iteration);
        both_kernels([&] {
            std::memset(f.rgb.data(), 0, f.rgb.size());
            fx_yuvtorgb_ll(f.y.data(), f.v.data(), f.u.data(), f.rgb.data(), count, group);
            for (uint32_t p = 0; p < pixels; ++p) ASSERT_EQ(f.got(p), f.expected(p, group)) << p;
        });
    }
}

// Every kernel against the rule: groups of 1, 2, 4 and 8 (the vector kernels) and others,
// counts from 0 to a few hundred pixels, every plane and the output misaligned by 0 to 63 bytes,
// the planes ending where their blocks end, the output in a guarded buffer.
TEST_F(VideoTest, YuvKernelsAgreeAtEveryCountGroupAndAlignment) {
    const uint32_t groups[] = {1, 2, 4, 8, 3, 5};
    for (uint64_t iteration = 0; iteration < 360; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration + 900);
        const uint32_t group = groups[iteration % 6];
        const uint32_t count = iteration < 120 ? uint32_t(iteration) : rng.below(700);
        const uint32_t pixels = std::max<uint32_t>(1, (count + group - 1) / group) * group;
        uint32_t shift[4];
        for (uint32_t &s : shift) s = rng.below(64);
        Plane y(pixels + shift[0]), v(pixels / group + shift[1]), u(pixels / group + shift[2]);
        rng.fill(y.data(), y.size());
        rng.fill(v.data(), v.size());
        rng.fill(u.data(), u.size());
        const uint8_t *yp = y.data() + shift[0], *vp = v.data() + shift[1],
                      *up = u.data() + shift[2];
        BusBuffer rgb(3 * pixels + shift[3]);
        tamsa_test::each_kernel([&] {
            std::memset(rgb.data(), 0x5a, rgb.size());
            fx_yuvtorgb_ll(yp, vp, up, rgb.data() + shift[3], count, group);
            for (uint32_t p = 0; p < pixels; ++p) {
                const uint8_t *got = rgb.data() + shift[3] + 3 * p;
                ASSERT_EQ(bgr({got[0], got[1], got[2]}),
                          integer_pixel(yp[p], up[p / group], vp[p / group]))
                    << "pixel " << p << " of " << pixels << " in groups of " << group;
            }
            for (uint32_t i = 0; i < shift[3]; ++i) ASSERT_EQ(rgb[i], 0x5a) << "before the output";
        });
    }
}

// The vector kernels replace the tables with arithmetic: every term equals its table on every
// byte, and every kernel converts every (Y, U, V) there is, in groups of 1, 2, 4 and 8, as the
// rule does.
TEST_F(VideoTest, YuvKernelsAgreeOnEveryPixel) {
    using namespace tamsa::video;
    for (int i = 0; i < 256; ++i) {
        const auto b = uint8_t(i);
        EXPECT_EQ(yuv_term_value(kLumaTerm, b), kYuvTables.luma[i]) << i;
        EXPECT_EQ(yuv_term_value(kRedVTerm, b), kYuvTables.red_v[i]) << i;
        EXPECT_EQ(yuv_term_value(kGreenVTerm, b), kYuvTables.green_v[i]) << i;
        EXPECT_EQ(yuv_term_value(kBlueUTerm, b), kYuvTables.blue_u[i]) << i;
        EXPECT_EQ(yuv_term_value(kGreenUTerm, b), kYuvTables.green_u[i]) << i;
    }
    // Pixel p is Y = p & 255 with U = p >> 16 and V = (p >> 8) & 255, so every group of up to
    // 256 pixels shares its chroma.
    const uint32_t pixels = 1u << 24;
    Plane y(pixels);
    std::vector<uint8_t> expected(3 * size_t(pixels));
    for (uint32_t p = 0; p < pixels; ++p) {
        y[p] = uint8_t(p);
        const bgr e = integer_pixel(uint8_t(p), uint8_t(p >> 16), uint8_t(p >> 8));
        std::copy(e.begin(), e.end(), expected.begin() + 3 * size_t(p));
    }
    BitmapPtr rgb(kv_allocrawbitmap(int32_t(pixels), 1, 3));
    for (uint32_t group : {1u, 2u, 4u, 8u}) {
        SCOPED_TRACE("groups of " + std::to_string(group));
        Plane v(pixels / group), u(pixels / group);
        for (uint32_t g = 0; g < pixels / group; ++g) {
            u[g] = uint8_t(g * group >> 16);
            v[g] = uint8_t(g * group >> 8);
        }
        tamsa_test::each_kernel([&] {
            std::memset(rgb->data, 0, 3 * size_t(pixels));
            fx_yuvtorgb_ll(y.data(), v.data(), u.data(), rgb->data, pixels, group);
            ASSERT_TRUE(std::memcmp(rgb->data, expected.data(), expected.size()) == 0);
        });
    }
}

// An output laid over its own luma plane is converted in the rule's order by both kernels.
TEST_F(VideoTest, YuvToRgbOverItsOwnPlaneGivesTheSameBytesWithBothKernels) {
    for (uint32_t shift : {0u, 1u, 5u, 17u}) {
        SCOPED_TRACE("luma at output + " + std::to_string(shift));
        std::vector<uint8_t> results[2];
        for (bool plain : {true, false}) {
            BusBuffer shared(3 * 41 + 64), v(11), u(11);
            Rng rng(shift);
            rng.fill(shared.data(), shared.size());
            rng.fill(v.data(), v.size());
            rng.fill(u.data(), u.size());
            tamsa::use_plain_kernels(plain);
            fx_yuvtorgb_ll(shared.data() + shift, v.data(), u.data(), shared.data(), 41, 4);
            results[plain] = shared.bytes();
        }
        EXPECT_EQ(results[0], results[1]);
    }
}

struct nothing_case {
    const char *name;
    uint32_t count, group;
    bool null_plane;
};

class YuvNothing : public VideoTest, public ::testing::WithParamInterface<nothing_case> {};

// A group of 0 would never end; an output beyond 31 bits cannot exist; a missing plane has
// nothing to read.
TEST_P(YuvNothing, WritesNoByte) {
    const nothing_case &c = GetParam();
    BusBuffer y(16, 100), v(4, 128), u(4, 128), rgb(48, 0x5a);
    const uint8_t *luma = c.null_plane ? nullptr : y.data();
    fx_yuvtorgb_ll(luma, v.data(), u.data(), rgb.data(), c.count, c.group);
    kv_yuv_to_rgb(luma, v.data(), u.data(), rgb.data(), c.count, c.group);
    EXPECT_EQ(rgb.bytes(), std::vector<uint8_t>(48, 0x5a));
}

INSTANTIATE_TEST_SUITE_P(Cases, YuvNothing,
                         ::testing::Values(nothing_case{"group_0", 10, 0, false},
                                           nothing_case{"group_0_count_0", 0, 0, false},
                                           nothing_case{"count_beyond_31_bits", UINT32_MAX, 4,
                                                        false},
                                           nothing_case{"huge_group", 1, UINT32_MAX, false},
                                           nothing_case{"no_luma_plane", 16, 4, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- the double-precision conversion ----

// Luma scaled as in the integer conversion; each channel truncated once, after the sum.
bgr precise_pixel(uint8_t y, uint8_t u_byte, uint8_t v_byte) {
    const double luma = video_test::term(y - 16, 1.164);
    const double u = u_byte - 128.0, v = v_byte - 128.0;
    return {clamp(int64_t(luma + 2.018 * u)), clamp(int64_t(luma - 0.813 * v - 0.391 * u)),
            clamp(int64_t(luma + 1.596 * v))};
}

TEST_F(VideoTest, YuvToRgbInDoublesFollowsItsRuleAndStaysNearTheIntegerOne) {
    for (uint64_t iteration = 0; iteration < 100; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const uint32_t group = 1 + rng.below(6);
        const uint32_t count = 1 + rng.below(300);
        const uint32_t pixels = (count + group - 1) / group * group;
        frame f(pixels, group, iteration);
        BusBuffer integer(3 * pixels);
        fx_yuvtorgb_ll(f.y.data(), f.v.data(), f.u.data(), integer.data(), count, group);
        kv_yuv_to_rgb(f.y.data(), f.v.data(), f.u.data(), f.rgb.data(), count, group);
        for (uint32_t p = 0; p < pixels; ++p) {
            ASSERT_EQ(f.got(p), precise_pixel(f.y[p], f.u[p / group], f.v[p / group])) << p;
            // Truncating once instead of per term moves blue and red by at most 1, green by 2.
            const int max_difference[3] = {1, 2, 1};
            for (int ch = 0; ch < 3; ++ch) {
                EXPECT_LE(std::abs(f.rgb[3 * p + ch] - integer[3 * p + ch]), max_difference[ch]);
            }
        }
    }
}

TEST_F(VideoTest, YuvToRgbWithoutGroupIsGroupFour) {
    frame f(12, 4, 7);
    BusBuffer four(36);
    kv_yuv_to_rgb(f.y.data(), f.v.data(), f.u.data(), four.data(), 9, 4);
    kv_yuvtorgb(f.y.data(), f.v.data(), f.u.data(), f.rgb.data(), 9);
    EXPECT_EQ(f.rgb.bytes(), four.bytes());
}

// ---- clamping ----

using minmax_case = std::tuple<int32_t, int32_t, int32_t, int32_t>;
class MinMax : public VideoTest, public ::testing::WithParamInterface<minmax_case> {};

TEST_P(MinMax, ClampsLowThenHigh) {
    const auto [value, low, high, expected] = GetParam();
    EXPECT_EQ(fx_minmax(value, low, high), expected);
}

INSTANTIATE_TEST_SUITE_P(Values, MinMax,
                         ::testing::Values(minmax_case{300, 0, 255, 255},
                                           minmax_case{-3, 0, 255, 0}, minmax_case{77, 0, 255, 77},
                                           // low above high: high wins
                                           minmax_case{5, 10, 0, 0}, minmax_case{20, 10, 0, 0},
                                           minmax_case{INT32_MIN, -1, INT32_MAX, -1},
                                           minmax_case{INT32_MAX, INT32_MIN, 7, 7}));

}  // namespace
