// The row kernels of the byte runs: a byte table applied in place, RGB pixels reduced to the
// colour cube, xor, repeating and thinning bytes. The plain kernels are the rules; the others
// give the same bytes where the pick functions hand them out. Private to the library; the
// colour correction of video/ shares the byte table.
#ifndef TAMSA_GFX_REMAP_ROW_H
#define TAMSA_GFX_REMAP_ROW_H

#include <cstdint>

namespace tamsa::gfx {

// ---- a 256-entry byte table, in place: bytes[i] = table[bytes[i]] ----

using lookup_row_fn = void (*)(uint8_t *bytes, uint64_t count, const uint8_t *table);

void lookup_row(uint8_t *bytes, uint64_t count, const uint8_t *table);
// Highway: 16 lookups of 16 entries, one per high nibble (remap_hwy.cpp).
lookup_row_fn lookup_row_hwy();
// AVX-512 VBMI: the table in four registers, two two-table byte permutes and a blend per 64
// bytes (remap_avx512vbmi.cpp).
void lookup_row_avx512vbmi(uint8_t *bytes, uint64_t count, const uint8_t *table);

// The kernel for this run: a vector one only where the table lies outside the run.
lookup_row_fn pick_lookup_row(const uint8_t *bytes, uint64_t count, const uint8_t *table);

// ---- RGB pixels to cube indexes or their pens ----

// destination[i] = the cube index of the 3 bytes at source + 3i, or pens[index] when pens is
// not null, for i below pixels.
using remap24_row_fn = void (*)(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                                uint64_t pixels);

void remap24_row(const uint8_t *source, uint8_t *destination, const uint8_t *pens, uint64_t pixels);
// Portable: every channel's share of the index from a table.
void remap24_row_fast(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                      uint64_t pixels);
// Highway: levels by multiply and shift in 16-bit lanes (remap_hwy.cpp).
remap24_row_fn remap24_row_hwy();
// AVX-512 VBMI: channels split by byte permutes, each channel's share looked up in a 128-entry
// table of its value halved (remap_avx512vbmi.cpp).
void remap24_row_avx512vbmi(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                            uint64_t pixels);

// The kernel for this run: fast ones only for a destination that is the source itself or meets
// it nowhere (a destination that is the source takes each output byte after the bytes of its
// pixel, and at or below them, also in blocks); vector ones only for pens outside the
// destination, since they read the pens once, up front.
remap24_row_fn pick_remap24_row(const uint8_t *source, const uint8_t *destination,
                                const uint8_t *pens, uint64_t pixels);

// The level of a channel value, 0..5, as multiply and shift: floor(max(v - 22, 0) / 42), which is
// (v + 20) / 42 - 1 or 0, and floor(s / 42) is (s * 1561) >> 16 for every s below 256 (the high
// half of a 16-bit product).
inline constexpr uint32_t kCubeLevelBias = 22;
inline constexpr uint32_t kCubeLevelFactor = 1561;
constexpr uint32_t cube_level_arithmetic(uint32_t value) {
    const uint32_t s = value > kCubeLevelBias ? value - kCubeLevelBias : 0;
    return (s * kCubeLevelFactor) >> 16;
}

// ---- xor with a byte ----

using xor_row_fn = void (*)(uint8_t *bytes, uint64_t count, uint8_t mask);
void xor_row(uint8_t *bytes, uint64_t count, uint8_t mask);
xor_row_fn xor_row_hwy();
xor_row_fn pick_xor_row();

// ---- every byte repeated factor times; every step-th byte ----

using repeat_row_fn = void (*)(const uint8_t *source, uint8_t *destination, uint64_t count,
                               uint32_t factor);
void repeat_row(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t factor);
// Highway, factor 2: each byte widened to a 16-bit lane holding it twice.
repeat_row_fn repeat2_row_hwy();
// Factors 1 and 2 only; the source and destination must not meet.
repeat_row_fn pick_repeat_row(const uint8_t *source, const uint8_t *destination, uint64_t count,
                              uint32_t factor);

using thin_row_fn = void (*)(const uint8_t *source, uint8_t *destination, uint64_t count,
                             uint32_t step);
void thin_row(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t step);
// Highway, step 2: the low bytes of 16-bit lanes.
thin_row_fn thin2_row_hwy();
thin_row_fn pick_thin_row(const uint8_t *source, const uint8_t *destination, uint64_t count,
                          uint32_t step);

}  // namespace tamsa::gfx

#endif
