#include <cstring>
#include <map>
#include <numeric>

#include "video_support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using video_test::VideoTest;

// The correction table, read back through a 16 x 16 frame that holds every byte value once.
std::vector<uint8_t> correction(int32_t contrast, int32_t brightness, int16_t invert) {
    BitmapPtr ramp(kv_allocbitmap(16, 16, 1));
    std::iota(ramp->data, ramp->data + 256, 0);
    tamsa_correct_ll(ramp.get(), contrast, brightness, invert);
    return pixels(*ramp);
}

struct table_case {
    int32_t contrast, brightness;
    int16_t invert;
    std::map<int, uint8_t> entries;
};

class CorrectTable : public VideoTest, public ::testing::WithParamInterface<table_case> {};

TEST_P(CorrectTable, HoldsTheExpectedEntries) {
    const table_case &c = GetParam();
    const std::vector<uint8_t> table = correction(c.contrast, c.brightness, c.invert);
    for (const auto &[i, value] : c.entries) EXPECT_EQ(int(table[i]), int(value)) << "entry " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CorrectTable,
    ::testing::Values(
        table_case{100, 0, 0, {{0, 0}, {1, 1}, {127, 127}, {200, 200}, {255, 255}}},
        table_case{100, 0, 1, {{0, 255}, {1, 254}, {200, 55}, {255, 0}}},
        table_case{0, 20, 0, {{0, 148}, {128, 148}, {255, 148}}},
        table_case{0, 20, 1, {{0, 107}, {255, 107}}},
        table_case{
            50,
            0,
            0,
            {{0, 64}, {1, 64}, {2, 65}, {3, 65}, {252, 190}, {253, 190}, {254, 191}, {255, 191}}},
        table_case{-100, 0, 0, {{0, 255}, {1, 255}, {2, 254}, {255, 1}}},
        // -0.7 and 0.4 both truncate to 0 before the brightness is added
        table_case{110, 10, 0, {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {11, 10}, {12, 10}}},
        // any non-zero invert flag inverts
        table_case{100, 0, -1, {{0, 255}, {255, 0}}},
        // settings far outside the sender's range saturate, they never wrap
        table_case{INT32_MAX, 0, 0, {{0, 0}, {127, 0}, {128, 128}, {129, 255}, {255, 255}}},
        table_case{INT32_MIN, 0, 0, {{0, 255}, {127, 255}, {128, 128}, {129, 0}, {255, 0}}},
        table_case{INT32_MAX, INT32_MIN, 0, {{0, 0}, {128, 0}, {255, 255}}},
        table_case{INT32_MIN, INT32_MAX, 0, {{0, 255}, {128, 255}, {255, 0}}},
        table_case{100, INT32_MAX, 0, {{0, 255}, {255, 255}}},
        table_case{100, INT32_MIN, 1, {{0, 255}, {255, 255}}}));

// Every byte goes through the one table: a 3-byte frame is corrected channel by channel, just
// as the same bytes in a 1-byte frame are.
TEST_F(VideoTest, CorrectTreatsEveryByteAlike) {
    const BitmapPtr rgb = random_bitmap(13, 7, 3, 21);
    BitmapPtr grey(kv_allocbitmap(39, 7, 1));
    std::memcpy(grey->data, rgb->data, 13 * 7 * 3);
    tamsa_correct_ll(rgb.get(), 75, -12, 1);
    tamsa_correct_ll(grey.get(), 75, -12, 1);
    EXPECT_EQ(pixels(*rgb), pixels(*grey));
    const std::vector<uint8_t> table = correction(75, -12, 1);
    const BitmapPtr original = random_bitmap(13, 7, 3, 21);
    for (size_t k = 0; k < 13 * 7 * 3; ++k) ASSERT_EQ(rgb->data[k], table[original->data[k]]) << k;
}

// Empty frames and records that describe no valid buffer are left alone.
TEST_F(VideoTest, CorrectLeavesBadAndEmptyFramesAlone) {
    uint8_t bytes[16];
    std::memset(bytes, 7, sizeof bytes);
    for (kv_bitmap frame :
         {kv_bitmap{bytes, 0, 4, 1}, kv_bitmap{bytes, 4, 0, 3}, kv_bitmap{bytes, -4, -4, 1},
          kv_bitmap{bytes, 4, 4, 2}, kv_bitmap{nullptr, 4, 4, 1}}) {
        tamsa_correct_ll(&frame, 100, 0, 1);
    }
    tamsa_correct_ll(nullptr, 100, 0, 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 16), std::vector<uint8_t>(16, 7));
}

}  // namespace
