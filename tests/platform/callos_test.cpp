#include <vector>

#include "platform/ppc.h"
#include "support.h"

namespace {

using tamsa_test::LeakCheck;

// A colour map in the bus: the pen count, then 0x00RRGGBB per pen, all big-endian.
class ColourMap {
   public:
    explicit ColourMap(const std::vector<uint32_t> &colours)
        : block_(static_cast<uint8_t *>(PPCAllocVec(4 + 4 * uint32_t(colours.size()), 0))) {
        const uint32_t a = address();
        tamsa_bus_store32(a, uint32_t(colours.size()));
        for (size_t i = 0; i < colours.size(); ++i)
            tamsa_bus_store32(a + 4 + 4 * uint32_t(i), colours[i]);
    }
    ~ColourMap() { PPCFreeVec(block_); }
    uint32_t address() const { return tamsa_bus_address(block_); }

   private:
    uint8_t *block_;
};

uint32_t find_color(uint32_t base, uint32_t map, uint8_t r, uint8_t g, uint8_t b, int32_t limit) {
    PPCCallBlock call{};
    call.offset = TAMSA_FINDCOLOR_OFFSET;
    call.m68k_cachemode = PPCCACHEMODE_FLUSH;
    call.ppc_cachemode = PPCCACHEMODE_FLUSH;
    call.d[1] = uint32_t(r) << 24;
    call.d[2] = uint32_t(g) << 24;
    call.d[3] = uint32_t(b) << 24;
    call.d[4] = uint32_t(limit);
    call.a[3] = map;
    call.a[6] = base;
    return PPCCallOS(&call);
}

class CallOS : public LeakCheck {
   protected:
    void SetUp() override {
        LeakCheck::SetUp();
        base_ = tamsa_open_library(TAMSA_GRAPHICS_NAME, 39);
        ASSERT_NE(base_, 0u);
    }
    void TearDown() override {
        tamsa_close_library(base_);
        LeakCheck::TearDown();
    }
    uint32_t base_ = 0;
};

TEST_F(CallOS, FindColorAnswersTheNearestPen) {
    ColourMap map({0x000000, 0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x808080});
    EXPECT_EQ(find_color(base_, map.address(), 0, 0, 0, -1), 0u);
    EXPECT_EQ(find_color(base_, map.address(), 250, 10, 10, -1), 1u);
    EXPECT_EQ(find_color(base_, map.address(), 0, 200, 0, -1), 2u);
    EXPECT_EQ(find_color(base_, map.address(), 0, 0, 255, -1), 3u);
    EXPECT_EQ(find_color(base_, map.address(), 255, 255, 255, -1), 4u);
    EXPECT_EQ(find_color(base_, map.address(), 120, 130, 140, -1), 5u);
}

TEST_F(CallOS, FindColorReadsOnlyTheTopByteOfEachColour) {
    ColourMap map({0x000000, 0x330000});
    PPCCallBlock call{};
    call.offset = TAMSA_FINDCOLOR_OFFSET;
    call.d[1] = 0x33ffffffu;  // the low 24 bits are not part of the colour
    call.a[3] = map.address();
    call.a[6] = base_;
    call.d[4] = uint32_t(-1);
    EXPECT_EQ(PPCCallOS(&call), 1u);
}

TEST_F(CallOS, FindColorTiesGoToTheLowerPenAndTheLimitBoundsTheSearch) {
    ColourMap map({0x101010, 0x101010, 0xffffff});
    EXPECT_EQ(find_color(base_, map.address(), 16, 16, 16, -1), 0u);
    EXPECT_EQ(find_color(base_, map.address(), 255, 255, 255, -1), 2u);
    EXPECT_EQ(find_color(base_, map.address(), 255, 255, 255, 1), 0u) << "pen 2 is past the limit";
    EXPECT_EQ(find_color(base_, map.address(), 255, 255, 255, 2), 2u);
}

TEST_F(CallOS, BadColourMapsAnswerPenZero) {
    EXPECT_EQ(find_color(base_, 0, 255, 255, 255, -1), 0u);
    EXPECT_EQ(find_color(base_, uint32_t(tamsa_bus_size() - 2), 255, 255, 255, -1), 0u);
    // A pen count reaching past the colour map's block.
    auto *block = static_cast<uint8_t *>(PPCAllocVec(12, 0));
    ASSERT_NE(block, nullptr);
    const uint32_t map = tamsa_bus_address(block);
    tamsa_bus_store32(map + 4, 0x000000);
    tamsa_bus_store32(map + 8, 0xffffff);
    tamsa_bus_store32(map, 2);
    EXPECT_EQ(find_color(base_, map, 255, 255, 255, -1), 1u);
    tamsa_bus_store32(map, 3);
    EXPECT_EQ(find_color(base_, map, 255, 255, 255, -1), 0u);
    tamsa_bus_store32(map, 0);
    EXPECT_EQ(find_color(base_, map, 255, 255, 255, -1), 0u) << "no pens";
    PPCFreeVec(block);
}

TEST_F(CallOS, UnknownCallsAnswerZero) {
    ColourMap map({0x000000, 0xffffff});
    PPCCallBlock call{};
    call.offset = -30;
    call.a[3] = map.address();
    call.a[6] = base_;
    call.d[1] = 0xff000000u;
    EXPECT_EQ(PPCCallOS(&call), 0u) << "unknown offset";
    EXPECT_EQ(find_color(0x1234, map.address(), 255, 255, 255, -1), 0u) << "unknown base";
    EXPECT_EQ(PPCCallOS(nullptr), 0u);
}

TEST(Libraries, OpeningChecksTheVersion) {
    const uint32_t base = tamsa_open_library(TAMSA_GRAPHICS_NAME, 39);
    EXPECT_NE(base, 0u);
    tamsa_close_library(base);
    EXPECT_EQ(tamsa_open_library("nonexistent.library", 0), 0u);
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 38);
    EXPECT_EQ(tamsa_open_library(TAMSA_GRAPHICS_NAME, 39), 0u);
    const uint32_t older = tamsa_open_library(TAMSA_GRAPHICS_NAME, 38);
    EXPECT_NE(older, 0u);
    tamsa_close_library(older);  // left open, it would answer for the next test
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 40);
}

TEST(Libraries, ClosedLibraryAnswersNothing) {
    const uint32_t base = tamsa_open_library(TAMSA_GRAPHICS_NAME, 0);
    ASSERT_NE(base, 0u);
    ColourMap map({0x000000, 0xffffff});
    EXPECT_EQ(find_color(base, map.address(), 255, 255, 255, -1), 1u);
    tamsa_close_library(base);
    EXPECT_EQ(find_color(base, map.address(), 255, 255, 255, -1), 0u);
}

TEST(Libraries, GraphicsBaseIsOpenedOnFirstUse) {
    tamsa_set_graphics_base(0);
    const uint32_t base = tamsa_graphics_base();
    EXPECT_NE(base, 0u);
    EXPECT_EQ(tamsa_graphics_base(), base);
}

}  // namespace
