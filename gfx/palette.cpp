// Palettes: one pen of the screen's colour map for each colour of the 6 x 6 x 6 cube, asked of
// the graphics library once, so that remapping pixels needs no call across.
#include "gfx/gfx.h"
#include "platform/ppc.h"

namespace {

constexpr uint32_t kPaletteBytes = 300;
constexpr uint32_t kLevels = 6;
constexpr uint32_t kLevelStep = 51;  // level n stands for the 8-bit value n * 51

// FindColor takes its colours left-aligned: the 8-bit value in the top byte.
constexpr uint32_t left_aligned(uint32_t level) {
    return level * kLevelStep << 24;
}

}  // namespace

namespace tamsa {

uint32_t pen_lookup(uint32_t graphics_base, uint32_t colourmap, uint32_t red, uint32_t green,
                    uint32_t blue, int32_t limit) {
    // Every field FindColor does not take stays 0.
    PPCCallBlock call{};
    call.offset = TAMSA_FINDCOLOR_OFFSET;
    call.m68k_cachemode = PPCCACHEMODE_FLUSH;
    call.ppc_cachemode = PPCCACHEMODE_FLUSH;
    call.d[1] = red;
    call.d[2] = green;
    call.d[3] = blue;
    call.d[4] = uint32_t(limit);
    call.a[3] = colourmap;
    call.a[6] = graphics_base;
    return PPCCallOS(&call);
}

}  // namespace tamsa

extern "C" {

uint8_t *kv_allocpalette(uint32_t colourmap) {
    // Without the library every pen would read as 0: that is no palette.
    const uint32_t base = tamsa_graphics_base();
    if (base == 0) return nullptr;
    auto *palette = static_cast<uint8_t *>(PPCAllocVec(kPaletteBytes, TAMSA_MEMF_ANY));
    if (palette == nullptr) return nullptr;

    // Blue changes fastest, so the pen of levels (r, g, b) lands at r * 36 + g * 6 + b.
    uint8_t *pen = palette;
    for (uint32_t r = 0; r < kLevels; ++r) {
        for (uint32_t g = 0; g < kLevels; ++g) {
            for (uint32_t b = 0; b < kLevels; ++b) {
                *pen++ = uint8_t(tamsa::pen_lookup(base, colourmap, left_aligned(r),
                                                   left_aligned(g), left_aligned(b), -1));
            }
        }
    }
    return palette;
}

void kv_freepalette(uint8_t *palette) {
    if (palette != nullptr) PPCFreeVec(palette);
}

}  // extern "C"
