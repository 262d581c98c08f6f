#include <cstring>
#include <tuple>

#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::snapshot;
using tamsa_test::sweep_alloc_failures;

class Bitmap : public LeakCheck {};

TEST_F(Bitmap, AllocHoldsSizesAndZeroedPixels) {
    BitmapPtr b(kv_allocbitmap(4, 2, 3));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->width, 4);
    EXPECT_EQ(b->height, 2);
    EXPECT_EQ(b->bytesperpixel, 3);
    EXPECT_EQ(pixels(*b), std::vector<uint8_t>(24, 0));
    // The record and its pixels both live in the bus, so they can cross the port.
    EXPECT_EQ(tamsa_bus_contains_block(tamsa_bus_address(b.get()), sizeof(kv_bitmap)), 1);
    EXPECT_EQ(tamsa_bus_contains_block(tamsa_bus_address(b->data), 24), 1);
}

TEST_F(Bitmap, AllocIsZeroEvenOverReusedMemory) {
    for (int i = 0; i < 3; ++i) {
        BitmapPtr raw(kv_allocrawbitmap(33, 7, 3));
        ASSERT_NE(raw, nullptr);
        std::memset(raw->data, 0xee, 33 * 7 * 3);
        raw.reset();
        BitmapPtr b(kv_allocbitmap(33, 7, 3));
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(pixels(*b), std::vector<uint8_t>(33 * 7 * 3, 0));
    }
}

TEST_F(Bitmap, PixelLayoutIsRowMajorWithoutGaps) {
    // Pixel (1, 1) of a 4-wide 3-byte bitmap starts at byte 15; its second byte is 16.
    BitmapPtr b(kv_allocbitmap(4, 2, 3));
    ASSERT_NE(b, nullptr);
    const uint32_t buffer = tamsa_bus_address(b->data);
    EXPECT_EQ(tamsa_bus_contains_block(buffer + 15, 9), 1);
    EXPECT_EQ(tamsa_bus_contains_block(buffer + 16, 9), 0) << "no padding after the last row";
}

using size_case = std::tuple<int32_t, int32_t, int32_t>;
class BitmapBadSizes : public LeakCheck, public ::testing::WithParamInterface<size_case> {};

TEST_P(BitmapBadSizes, FailWithNothingAllocated) {
    const auto [w, h, d] = GetParam();
    const auto before = snapshot();
    EXPECT_EQ(kv_allocbitmap(w, h, d), nullptr);
    EXPECT_EQ(kv_allocrawbitmap(w, h, d), nullptr);
    EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BitmapBadSizes,
    ::testing::Values(size_case{-1, 4, 3}, size_case{4, -1, 3}, size_case{INT32_MIN, 1, 1},
                      size_case{4, 4, 0}, size_case{4, 4, 2}, size_case{4, 4, 4},
                      size_case{4, 4, -3},
                      // products beyond 31 bits, and ones that would wrap 32 bits back to small
                      size_case{65536, 65536, 1}, size_case{32768, 32768, 3},
                      size_case{0x10000, 0x10000, 3}, size_case{46341, 46341, 1},
                      size_case{INT32_MAX, 2, 1}));

TEST_F(Bitmap, EmptySizesGiveValidEmptyBitmaps) {
    for (auto [w, h] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{5, 0}}) {
        BitmapPtr b(kv_allocbitmap(w, h, 3));
        ASSERT_NE(b, nullptr);
        EXPECT_NE(b->data, nullptr) << "an empty bitmap still owns a (0-byte) buffer";
        BitmapPtr c(kv_clonebitmap(b.get()));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->width, w);
        EXPECT_EQ(c->height, h);
        EXPECT_EQ(kv_copybitmap(b.get(), c.get()), 1);
    }
}

TEST_F(Bitmap, LargestAcceptedSizeIsChecked) {
    // 46340 x 46340 fits 31 bits as one byte per pixel; as three it does not.
    EXPECT_EQ(tamsa::pixel_bytes(46340, 46340, 1), int64_t(46340) * 46340);
    EXPECT_EQ(tamsa::pixel_bytes(46340, 46340, 3), -1);
    EXPECT_EQ(tamsa::pixel_bytes(INT32_MAX, 1, 1), int64_t(INT32_MAX));
}

TEST_F(Bitmap, FreeIgnoresNullAndRecordsWithoutBuffer) {
    kv_freebitmap(nullptr);
    auto *record = static_cast<kv_bitmap *>(PPCAllocVec(sizeof(kv_bitmap), TAMSA_MEMF_CLEAR));
    ASSERT_NE(record, nullptr);
    record->width = 10;
    record->height = 10;
    record->bytesperpixel = 3;
    kv_freebitmap(record);  // data is 0: only the record goes; the fixture checks it went
}

TEST_F(Bitmap, CloneCopiesPixelsIntoANewBuffer) {
    for (int32_t d : {1, 3}) {
        BitmapPtr src = random_bitmap(7, 5, d, 11);
        BitmapPtr c(kv_clonebitmap(src.get()));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->width, 7);
        EXPECT_EQ(c->height, 5);
        EXPECT_EQ(c->bytesperpixel, d);
        EXPECT_NE(c->data, src->data);
        EXPECT_EQ(pixels(*c), pixels(*src));
        c->data[0] ^= 0xff;
        EXPECT_NE(pixels(*c), pixels(*src)) << "the clone must not share the source's pixels";
    }
}

TEST_F(Bitmap, CloneRejectsNullAndMalformedRecords) {
    EXPECT_EQ(kv_clonebitmap(nullptr), nullptr);
    kv_bitmap bad{nullptr, 4, 4, 3};
    EXPECT_EQ(kv_clonebitmap(&bad), nullptr) << "no buffer behind a non-empty size";
    uint8_t buffer[48] = {};
    kv_bitmap negative{buffer, -4, 4, 3};
    EXPECT_EQ(kv_clonebitmap(&negative), nullptr);
    kv_bitmap depth{buffer, 4, 4, 2};
    EXPECT_EQ(kv_clonebitmap(&depth), nullptr);
}

TEST_F(Bitmap, CopyNeedsTheSameWidthHeightAndDepth) {
    BitmapPtr a = random_bitmap(4, 2, 3, 1);
    BitmapPtr b = random_bitmap(2, 4, 3, 2);  // same 24 bytes, other shape
    const auto a_before = pixels(*a);
    const auto b_before = pixels(*b);
    EXPECT_EQ(kv_copybitmap(a.get(), b.get()), 0);
    EXPECT_EQ(pixels(*a), a_before);
    EXPECT_EQ(pixels(*b), b_before);
    EXPECT_EQ(b->width, 2);
    EXPECT_EQ(b->height, 4);

    BitmapPtr c = random_bitmap(4, 2, 1, 3);
    EXPECT_EQ(kv_copybitmap(a.get(), c.get()), 0) << "depths differ";
    BitmapPtr d = random_bitmap(4, 3, 3, 4);
    EXPECT_EQ(kv_copybitmap(a.get(), d.get()), 0) << "heights differ";

    BitmapPtr e = random_bitmap(4, 2, 3, 5);
    uint8_t *const e_data = e->data;
    EXPECT_EQ(kv_copybitmap(a.get(), e.get()), 1);
    EXPECT_EQ(pixels(*e), a_before);
    EXPECT_EQ(e->data, e_data) << "only the pixel bytes change";
    EXPECT_EQ(kv_copybitmap(a.get(), a.get()), 1);
    EXPECT_EQ(pixels(*a), a_before);
}

TEST_F(Bitmap, CopyRejectsNullRecords) {
    BitmapPtr a = random_bitmap(2, 2, 1, 1);
    EXPECT_EQ(kv_copybitmap(nullptr, a.get()), 0);
    EXPECT_EQ(kv_copybitmap(a.get(), nullptr), 0);
}

TEST_F(Bitmap, EveryAllocationFailureLeavesNothingAllocated) {
    for (int32_t d : {1, 3}) {
        EXPECT_EQ(sweep_alloc_failures([d] {
                      BitmapPtr b(kv_allocbitmap(16, 9, d));
                      return b != nullptr;
                  }),
                  2u);
        EXPECT_EQ(sweep_alloc_failures([d] {
                      BitmapPtr b(kv_allocrawbitmap(16, 9, d));
                      return b != nullptr;
                  }),
                  2u);
        BitmapPtr src = random_bitmap(16, 9, d, 7);
        EXPECT_EQ(sweep_alloc_failures([&src] {
                      BitmapPtr b(kv_clonebitmap(src.get()));
                      return b != nullptr && pixels(*b) == pixels(*src);
                  }),
                  2u);
    }
}

}  // namespace
