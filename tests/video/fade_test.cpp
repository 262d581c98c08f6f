#include <cstring>
#include <tuple>

#include "video_support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;
using video_test::Plane;
using video_test::VideoTest;

// ---- cross-fade ----

// The blend from its rule: the sum taken exactly, its low 32 bits read as a signed number,
// divided with truncation, the low 8 bits kept.
uint8_t blend(uint8_t first, uint8_t second, int32_t level) {
    const int64_t exact = int64_t(second) * level + int64_t(first) * (255 - int64_t(level));
    const auto sum = int32_t(uint32_t(uint64_t(exact)));
    return uint8_t(sum / 255);
}

using byte_case = std::tuple<uint8_t, uint8_t, int32_t, uint8_t>;  // first, second, level, result
class FadeBytes : public VideoTest, public ::testing::WithParamInterface<byte_case> {};

TEST_P(FadeBytes, BlendWithTruncationAndLowBits) {
    const auto [first, second, level, expected] = GetParam();
    BusBuffer a(3, first), b(3, second), target(3);
    both_kernels([&] {
        tamsa_fadeover_ll(a.data(), b.data(), target.data(), level, 1, 3, 1);
        EXPECT_EQ(target.bytes(), std::vector<uint8_t>(3, expected));
    });
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FadeBytes,
    ::testing::Values(byte_case{0, 255, 128, 128}, byte_case{255, 0, 128, 127},  // truncation
                      byte_case{37, 200, 0, 37}, byte_case{37, 200, 255, 200},
                      byte_case{90, 90, 77, 90}, byte_case{255, 255, 254, 255},
                      byte_case{0, 255, 256, 0},    // 256, low 8 bits
                      byte_case{255, 0, -1, 0},     // 256 again, from the other side
                      byte_case{255, 0, 256, 255},  // -255 / 255 = -1
                      byte_case{1, 0, 300, 0}));    // -45 / 255 truncates to 0, not -1

// Random buffers, levels inside and far outside 0..255, both kernels against the rule.
TEST_F(VideoTest, FadeMatchesTheRuleOnRandomBuffers) {
    const int32_t levels[] = {0,  1,    127,  128,      254,       255,      256,
                              -1, 1000, -999, 16843009, INT32_MAX, INT32_MIN};
    for (uint64_t iteration = 0; iteration < 60; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration);
        const int32_t a = 1 + int32_t(rng.below(40)), b = 1 + int32_t(rng.below(30));
        const uint32_t count = uint32_t(a * b * 3);
        const int32_t level =
            iteration < std::size(levels) ? levels[iteration] : int32_t(rng.below(256));
        Plane first(count), second(count);
        BusBuffer target(count);
        rng.fill(first.data(), count);
        rng.fill(second.data(), count);
        both_kernels([&] {
            tamsa_fadeover_ll(first.data(), second.data(), target.data(), level, a, b, 3);
            for (uint32_t i = 0; i < count; ++i) {
                ASSERT_EQ(target[i], blend(first[i], second[i], level)) << i;
            }
        });
    }
}

// Every kernel against the rule at odd widths, with each buffer misaligned by 0 to 63 bytes and
// ending where its block ends, so that a read or write past the row is caught.
TEST_F(VideoTest, FadeKernelsAgreeAtEveryWidthAndAlignment) {
    for (uint64_t iteration = 0; iteration < 300; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration + 1000);
        const uint32_t count = iteration < 70 ? uint32_t(iteration) : 1 + rng.below(400);
        const int32_t level =
            iteration % 3 == 0 ? int32_t(rng.below(256)) : int32_t(iteration % 256);
        const uint32_t shift[3] = {rng.below(64), rng.below(64), rng.below(64)};
        Plane first(count + shift[0]), second(count + shift[1]), target(count + shift[2]);
        rng.fill(first.data(), first.size());
        rng.fill(second.data(), second.size());
        const uint8_t *a = first.data() + shift[0], *b = second.data() + shift[1];
        uint8_t *t = target.data() + shift[2];
        std::vector<uint8_t> expected(count);
        for (uint32_t i = 0; i < count; ++i) expected[i] = blend(a[i], b[i], level);
        tamsa_test::each_kernel([&] {
            std::memset(target.data(), 0x5a, target.size());
            tamsa_fadeover_ll(a, b, t, level, int32_t(count), 1, 1);
            ASSERT_EQ(std::vector<uint8_t>(t, t + count), expected);
            for (uint32_t i = 0; i < shift[2]; ++i) ASSERT_EQ(target[i], 0x5a) << "before the row";
        });
    }
}

// The fast kernels replace the division by 255 with shifts: every pair of bytes at every level
// of 0..255 gives the rule's byte.
TEST_F(VideoTest, FadeKernelsAgreeOnEveryByteAtEveryLevel) {
    Plane first(65536), second(65536), target(65536);
    for (uint32_t i = 0; i < 65536; ++i) {
        first[i] = uint8_t(i);
        second[i] = uint8_t(i >> 8);
    }
    tamsa_test::each_kernel([&] {
        for (int32_t level = 0; level <= 255; ++level) {
            tamsa_fadeover_ll(first.data(), second.data(), target.data(), level, 256, 256, 1);
            for (uint32_t i = 0; i < 65536; ++i) {
                ASSERT_EQ(target[i], blend(first[i], second[i], level)) << level << " " << i;
            }
        }
    });
}

// The target may be either source: every source byte is read before its target byte is
// written. A target shifted against a source sees its own results, in the rule's order.
TEST_F(VideoTest, FadeIntoASourceBlendsInOrder) {
    for (int32_t shift : {0, 1, -1, 7, -33}) {
        for (bool into_first : {true, false}) {
            SCOPED_TRACE("shift " + std::to_string(shift) + (into_first ? " first" : " second"));
            constexpr uint32_t kCount = 301;
            std::vector<uint8_t> results[2];
            for (bool plain : {true, false}) {
                BusBuffer shared(kCount + 80), other(kCount);
                Rng rng(uint64_t(shift + 100));
                rng.fill(shared.data(), shared.size());
                rng.fill(other.data(), other.size());
                uint8_t *source = shared.data() + 40;
                uint8_t *target = source + shift;
                // The rule, one byte at a time, on a copy.
                std::vector<uint8_t> expected = shared.bytes();
                for (uint32_t i = 0; i < kCount; ++i) {
                    const uint8_t s = expected[40 + i];
                    expected[40 + shift + i] =
                        into_first ? blend(s, other[i], 100) : blend(other[i], s, 100);
                }
                tamsa::use_plain_kernels(plain);
                if (into_first) {
                    tamsa_fadeover_ll(source, other.data(), target, 100, 1, 1, kCount);
                } else {
                    tamsa_fadeover_ll(other.data(), source, target, 100, kCount, 1, 1);
                }
                EXPECT_EQ(shared.bytes(), expected);
                results[plain] = shared.bytes();
            }
            EXPECT_EQ(results[0], results[1]);
        }
    }
}

using count_case = std::tuple<int32_t, int32_t, int32_t, uint32_t>;  // factors, bytes blended
class FadeCount : public VideoTest, public ::testing::WithParamInterface<count_case> {};

// The factors' product is the length; a product of 0 or less, or one beyond 32 bits, blends
// nothing.
TEST_P(FadeCount, BlendsTheProductOfTheFactors) {
    const auto [a, b, c, blended] = GetParam();
    BusBuffer first(64, 0), second(64, 255), target(64, 7);
    tamsa_fadeover_ll(first.data(), second.data(), target.data(), 255, a, b, c);
    for (uint32_t i = 0; i < 64; ++i) ASSERT_EQ(target[i], i < blended ? 255 : 7) << i;
}

INSTANTIATE_TEST_SUITE_P(Factors, FadeCount,
                         ::testing::Values(count_case{2, 3, 5, 30}, count_case{-2, -3, 5, 30},
                                           count_case{64, 1, 1, 64}, count_case{0, 9, 9, 0},
                                           count_case{-2, 3, 5, 0}, count_case{1, 1, -1, 0},
                                           // 2^32 + 64: wraps to 64 in 32 bits
                                           count_case{65536, 65536, 1, 0},
                                           count_case{67108864, 64, 1, 0},
                                           count_case{46341, 46341, 1, 0},
                                           count_case{INT32_MIN, INT32_MIN, INT32_MIN, 0},
                                           count_case{INT32_MIN, -1, 1, 0}));

// ---- deinterlace ----

struct rows_case {
    int32_t width, height, depth;
    std::vector<int32_t> source_rows;  // the source of every row afterwards
};

class Deinterlace : public VideoTest, public ::testing::WithParamInterface<rows_case> {};

// Rows at the record's own depth, in a buffer with guard bytes, so that rows taken as too
// long would show as writes past it.
TEST_P(Deinterlace, DoublesTheEvenRows) {
    const rows_case &c = GetParam();
    const uint32_t row_bytes = uint32_t(c.width * c.depth);
    BusBuffer data(row_bytes * uint32_t(c.height));
    Rng(uint64_t(c.height)).fill(data.data(), data.size());
    const std::vector<uint8_t> before = data.bytes();
    kv_bitmap frame{data.data(), c.width, c.height, c.depth};
    tamsa_deinterlace_ll(&frame);
    for (int32_t r = 0; r < c.height; ++r) {
        const auto from = before.begin() + c.source_rows[size_t(r)] * row_bytes;
        EXPECT_EQ(
            std::vector<uint8_t>(data.data() + r * row_bytes, data.data() + (r + 1) * row_bytes),
            std::vector<uint8_t>(from, from + row_bytes))
            << "row " << r;
    }
    EXPECT_EQ(frame.width, c.width);
    EXPECT_EQ(frame.height, c.height);
}

INSTANTIATE_TEST_SUITE_P(Frames, Deinterlace,
                         ::testing::Values(rows_case{5, 1, 3, {0}}, rows_case{5, 2, 3, {0, 0}},
                                           rows_case{5, 5, 3, {0, 0, 2, 2, 4}},
                                           rows_case{7, 4, 3, {0, 0, 2, 2}},
                                           rows_case{5, 5, 1, {0, 0, 2, 2, 4}},
                                           rows_case{1, 2, 1, {0, 0}}));

TEST_F(VideoTest, DeinterlaceLeavesBadAndEmptyFramesAlone) {
    uint8_t bytes[24];
    std::memset(bytes, 0, sizeof bytes);
    bytes[0] = 9;
    for (kv_bitmap frame : {kv_bitmap{bytes, 0, 4, 3}, kv_bitmap{bytes, 4, -2, 3},
                            kv_bitmap{bytes, 4, 2, 0}, kv_bitmap{nullptr, 4, 2, 3}}) {
        tamsa_deinterlace_ll(&frame);
    }
    tamsa_deinterlace_ll(nullptr);
    EXPECT_EQ(bytes[4 * 3], 0) << "row 1 is untouched";
}

}  // namespace
