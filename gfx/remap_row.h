// The row kernels of the byte runs: a byte table applied in place, RGB pixels reduced to the
// colour cube, xor, repeating and thinning bytes. The plain kernels are the rules; the others
// give the same bytes where the conditions beside their sets hold. Private to the library; the
// colour correction of video/ shares the byte table.
#ifndef TAMSA_GFX_REMAP_ROW_H
#define TAMSA_GFX_REMAP_ROW_H

#include <cstdint>

#include "kernels/choice.h"
#include "tamsa/internal/tools.h"

namespace tamsa::gfx {

// ---- a 256-entry byte table, in place: bytes[i] = table[bytes[i]] ----

using lookup_row_fn = void (*)(uint8_t *bytes, uint64_t count, const uint8_t *table);

void lookup_row(uint8_t *bytes, uint64_t count, const uint8_t *table);
// Highway: 16 lookups of 16 entries, one per high nibble (remap_hwy.cpp).
lookup_row_fn lookup_row_hwy();
// AVX-512 VBMI: the table in four registers, two two-table byte permutes and a blend per 64
// bytes (remap_avx512vbmi.cpp).
void lookup_row_avx512vbmi(uint8_t *bytes, uint64_t count, const uint8_t *table);

inline constexpr kernels::kernel_set<lookup_row_fn> lookup_row_kernels{
    .plain = lookup_row,
    .vector = TAMSA_VECTOR_KERNEL(lookup_row_hwy),
    .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(lookup_row_avx512vbmi)};
// The vector kernels hold the table in registers: a table inside the run would change under
// the rule's own writes.
bool lookup_row_fast_ok(const uint8_t *bytes, uint64_t count, const uint8_t *table);
// Every byte of the run through the table, in bands where the run is worth it (the byte-table
// remap and the frame correction).
void lookup(uint8_t *bytes, uint64_t count, const uint8_t *table);

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

inline constexpr kernels::kernel_set<remap24_row_fn> remap24_row_kernels{
    .plain = remap24_row,
    .fast = remap24_row_fast,
    .vector = TAMSA_VECTOR_KERNEL(remap24_row_hwy),
    .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(remap24_row_avx512vbmi)};
// How far this run may go: fast kernels only for a destination that is the source itself or
// meets it nowhere (a destination that is the source takes each output byte after the bytes of
// its pixel, and at or below them, also in blocks); vector ones only for pens outside the
// destination, since they read the pens once, up front.
kernels::level remap24_row_reach(const uint8_t *source, const uint8_t *destination,
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
inline constexpr kernels::kernel_set<xor_row_fn> xor_row_kernels{
    .plain = xor_row, .vector = TAMSA_VECTOR_KERNEL(xor_row_hwy)};

// ---- every byte repeated factor times; every step-th byte ----

using repeat_row_fn = void (*)(const uint8_t *source, uint8_t *destination, uint64_t count,
                               uint32_t factor);
void repeat_row(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t factor);
// Highway, factor 2: each byte widened to a 16-bit lane holding it twice.
repeat_row_fn repeat2_row_hwy();
inline constexpr kernels::kernel_set<repeat_row_fn> repeat_row_kernels{
    .plain = repeat_row, .vector = TAMSA_VECTOR_KERNEL(repeat2_row_hwy)};
// Factor 2, and a source and destination that do not meet.
bool repeat_row_fast_ok(const uint8_t *source, const uint8_t *destination, uint64_t count,
                        uint32_t factor);

using thin_row_fn = void (*)(const uint8_t *source, uint8_t *destination, uint64_t count,
                             uint32_t step);
void thin_row(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t step);
// Highway, step 2: the low bytes of 16-bit lanes.
thin_row_fn thin2_row_hwy();
inline constexpr kernels::kernel_set<thin_row_fn> thin_row_kernels{
    .plain = thin_row, .vector = TAMSA_VECTOR_KERNEL(thin2_row_hwy)};
// Step 2, and a destination that is the source itself or meets it nowhere.
bool thin_row_fast_ok(const uint8_t *source, const uint8_t *destination, uint64_t count,
                      uint32_t step);

// ---- 3-byte pixels with their first and third bytes exchanged (blue first to red first) ----

using swap13_row_fn = void (*)(const uint8_t *source, uint8_t *destination, uint64_t pixels);

void swap13_row(const uint8_t *source, uint8_t *destination, uint64_t pixels);
// Highway: the pixels' bytes split into three vectors and stored back interleaved in the other
// order (remap_hwy.cpp).
swap13_row_fn swap13_row_hwy();
inline constexpr kernels::kernel_set<swap13_row_fn> swap13_row_kernels{
    .plain = swap13_row, .vector = TAMSA_VECTOR_KERNEL(swap13_row_hwy)};
// swap13, the best of them, is in tamsa/internal/tools.h.

// ---- 3-byte pixels widened to 4, the fourth byte 0 (the frames RGB encoders take) ----

using pad4_row_fn = void (*)(const uint8_t *source, uint8_t *destination, uint64_t pixels);

void pad4_row(const uint8_t *source, uint8_t *destination, uint64_t pixels);
// Highway: the pixels' bytes split into three vectors and stored four-way with zeros.
pad4_row_fn pad4_row_hwy();
inline constexpr kernels::kernel_set<pad4_row_fn> pad4_row_kernels{
    .plain = pad4_row, .vector = TAMSA_VECTOR_KERNEL(pad4_row_hwy)};
// pad4, the best of them, is in tamsa/internal/tools.h.

}  // namespace tamsa::gfx

#endif
