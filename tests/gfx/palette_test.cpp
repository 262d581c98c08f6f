#include <algorithm>
#include <cstring>
#include <vector>

#include "gfx/gfx.h"
#include "platform/ppc.h"
#include "support.h"

namespace {

using tamsa_test::LeakCheck;
using tamsa_test::Rng;
using tamsa_test::sweep_alloc_failures;

// Records every call block sent to the graphics library and answers with answer(call).
struct CallLog {
    std::vector<PPCCallBlock> calls;
    uint32_t (*answer)(const PPCCallBlock &) = [](const PPCCallBlock &) { return 0u; };

    static uint32_t hook(const PPCCallBlock *call, void *context) {
        auto *log = static_cast<CallLog *>(context);
        log->calls.push_back(*call);
        return log->answer(*call);
    }
};

class Palette : public LeakCheck {
   protected:
    void SetUp() override {
        LeakCheck::SetUp();
        base_ = tamsa_graphics_base();
        ASSERT_NE(base_, 0u);
    }
    void TearDown() override {
        tamsa_set_callos_hook(0, nullptr, nullptr);
        LeakCheck::TearDown();
    }
    void observe(CallLog &log) { tamsa_set_callos_hook(base_, CallLog::hook, &log); }

    uint32_t base_ = 0;
};

struct palette_deleter {
    void operator()(uint8_t *p) const { kv_freepalette(p); }
};
using PalettePtr = std::unique_ptr<uint8_t, palette_deleter>;

constexpr uint32_t kColourMap = 0x00123450u;  // passed on, never looked into

TEST_F(Palette, AsksForEachCubeColourBlueFastestWithExactlyTheFindColorFields) {
    CallLog log;
    observe(log);
    PalettePtr palette(kv_allocpalette(kColourMap));
    ASSERT_NE(palette, nullptr);
    ASSERT_EQ(log.calls.size(), 216u);

    const uint32_t value[6] = {0x00000000u, 0x33000000u, 0x66000000u,
                               0x99000000u, 0xcc000000u, 0xff000000u};
    for (uint32_t n = 0; n < 216; ++n) {
        SCOPED_TRACE("call " + std::to_string(n));
        const PPCCallBlock &call = log.calls[n];
        PPCCallBlock expected{};
        expected.offset = -1008;
        expected.m68k_cachemode = 1;
        expected.ppc_cachemode = 1;
        expected.d[1] = value[n / 36];
        expected.d[2] = value[n / 6 % 6];
        expected.d[3] = value[n % 6];
        expected.d[4] = 0xffffffffu;
        expected.a[3] = kColourMap;
        expected.a[6] = base_;
        EXPECT_EQ(std::memcmp(&call, &expected, sizeof call), 0)
            << "d1-d3 " << std::hex << call.d[1] << " " << call.d[2] << " " << call.d[3];
    }
}

TEST_F(Palette, PensLandAtTheirCubeIndexAndOnlyTheLowByteIsKept) {
    CallLog log;
    log.answer = [](const PPCCallBlock &call) -> uint32_t {
        const uint32_t rgb = call.d[1] >> 8 | call.d[2] >> 16 | call.d[3] >> 24;
        switch (rgb) {
            case 0x000000:
                return 0x00000011u;
            case 0x0000ff:
                return 0xffffff22u;
            case 0x00ff00:
                return 0x80000033u;
            case 0xff0000:
                return 0x00010044u;
            case 0xffffff:
                return 0x7fffff12u;
            default:
                return 0xabcdef77u;
        }
    };
    observe(log);
    PalettePtr palette(kv_allocpalette(kColourMap));
    ASSERT_NE(palette, nullptr);
    const uint8_t *p = palette.get();
    EXPECT_EQ(p[0], 0x11) << "black";
    EXPECT_EQ(p[5], 0x22) << "pure blue";
    EXPECT_EQ(p[30], 0x33) << "pure green";
    EXPECT_EQ(p[180], 0x44) << "pure red";
    EXPECT_EQ(p[215], 0x12) << "white";
    for (int i = 0; i < 216; ++i) {
        if (i != 0 && i != 5 && i != 30 && i != 180 && i != 215) {
            EXPECT_EQ(p[i], 0x77) << i;
        }
    }
}

TEST_F(Palette, PenLookupPassesItsArgumentsUnchangedAndReturnsTheWholeAnswer) {
    CallLog log;
    log.answer = [](const PPCCallBlock &) { return 0xfedcba98u; };
    const uint32_t fake_base = 0x00c0ffeeu;
    tamsa_set_callos_hook(fake_base, CallLog::hook, &log);
    EXPECT_EQ(tamsa::pen_lookup(fake_base, 0x1000u, 0x12345678u, 0x9abcdef0u, 0x0badf00du, 7),
              0xfedcba98u);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].d[1], 0x12345678u);
    EXPECT_EQ(log.calls[0].d[2], 0x9abcdef0u);
    EXPECT_EQ(log.calls[0].d[3], 0x0badf00du);
    EXPECT_EQ(log.calls[0].d[4], 7u);
    EXPECT_EQ(log.calls[0].a[3], 0x1000u);
    EXPECT_EQ(log.calls[0].a[6], fake_base);
}

// Through the stand-in FindColor: a colour map holding the 216 cube colours in a shuffled
// order gives back, for each cube colour, the pen that holds it.
TEST_F(Palette, FindsThePenOfEachCubeColourInARealColourMap) {
    std::vector<uint32_t> order(216);
    for (uint32_t i = 0; i < 216; ++i) order[i] = i;
    Rng rng(42);
    for (uint32_t i = 215; i > 0; --i) std::swap(order[i], order[rng.below(i + 1)]);

    auto *map = static_cast<uint8_t *>(PPCAllocVec(4 + 4 * 216, TAMSA_MEMF_ANY));
    ASSERT_NE(map, nullptr);
    const uint32_t address = tamsa_bus_address(map);
    tamsa_bus_store32(address, 216);
    std::vector<uint8_t> pen_of(216);
    for (uint32_t pen = 0; pen < 216; ++pen) {
        const uint32_t cube = order[pen];
        const uint32_t r = cube / 36 * 51, g = cube / 6 % 6 * 51, b = cube % 6 * 51;
        tamsa_bus_store32(address + 4 + 4 * pen, r << 16 | g << 8 | b);
        pen_of[cube] = uint8_t(pen);
    }
    PalettePtr palette(kv_allocpalette(address));
    ASSERT_NE(palette, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(palette.get(), palette.get() + 216), pen_of);
    palette.reset();
    PPCFreeVec(map);
}

TEST_F(Palette, AnAllocationFailureMakesNoLibraryCall) {
    CallLog log;
    observe(log);
    EXPECT_EQ(sweep_alloc_failures([] {
                  PalettePtr palette(kv_allocpalette(kColourMap));
                  return palette != nullptr;
              }),
              1u);
    EXPECT_EQ(log.calls.size(), 216u) << "only the run that had its memory called the library";
    kv_freepalette(nullptr);
}

TEST_F(Palette, WithoutTheGraphicsLibraryThereIsNoPalette) {
    tamsa_set_graphics_base(0);
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, -1);  // nothing can open it now
    EXPECT_EQ(kv_allocpalette(kColourMap), nullptr);
    tamsa_library_set_version(TAMSA_GRAPHICS_NAME, 40);
    tamsa_set_graphics_base(0);
    EXPECT_NE(tamsa_graphics_base(), 0u);
}

}  // namespace
