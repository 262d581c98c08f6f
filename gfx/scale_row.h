// The row kernels of nearest-neighbour sampling: one result row gathered from one source row
// through a column table. The plain gather_row is the rule; the others give the same bytes
// where plan_gather_row hands them out. Private to the library; the scalers of gfx/ and video/
// share it.
#ifndef TAMSA_GFX_SCALE_ROW_H
#define TAMSA_GFX_SCALE_ROW_H

#include <cstdint>

#include "kernels/choice.h"

namespace tamsa::gfx {

// A result row: pixel i copies the depth bytes at byte offsets[i] of the source row, of which
// no kernel reads past byte readable. A vector kernel also follows a plan: the row's bytes in
// blocks of `block`, block b copied out of the 2 * block source bytes from bases[b] on (those
// below readable), result byte k from byte lanes[k] of that window.
struct gather_plan {
    const uint32_t *offsets = nullptr;
    uint32_t pixels = 0;
    uint32_t depth = 1;
    uint32_t readable = 0;
    uint32_t block = 0;  // 0: no vector plan; else a power of 2
    uint32_t block_shift = 0;
    const uint32_t *bases = nullptr;
    const uint8_t *lanes = nullptr;

    // The plan of pixels first .. first + count - 1 alone; first * depth must be a multiple of
    // the block.
    gather_plan slice(uint32_t first, uint32_t count) const {
        gather_plan p = *this;
        p.offsets += first;
        p.pixels = count;
        if (block != 0) {
            p.bases += (uint64_t(first) * depth) >> block_shift;
            p.lanes += uint64_t(first) * depth;
        }
        return p;
    }
};

using gather_row_fn = void (*)(const uint8_t *row, uint8_t *out, const gather_plan &plan);

void gather_row(const uint8_t *row, uint8_t *out, const gather_plan &plan);
// Portable: whole pixels moved with memcpy, 3-byte pixels as 4-byte words where the source has
// a byte after them.
void gather_row_fast(const uint8_t *row, uint8_t *out, const gather_plan &plan);
// The columns are the source row itself.
void copy_row(const uint8_t *row, uint8_t *out, const gather_plan &plan);
// Highway, 16-byte blocks out of 32-byte windows (scale_hwy.cpp).
gather_row_fn gather_row_hwy();
// AVX-512 VBMI, 64-byte blocks out of 128-byte windows through two-table byte permutes
// (scale_avx512vbmi.cpp).
void gather_row_avx512vbmi(const uint8_t *row, uint8_t *out, const gather_plan &plan);

// Scratch bytes a vector plan of a row of `pixels` pixels of depth bytes needs.
uint64_t gather_plan_bytes(uint32_t pixels, uint32_t depth);

inline constexpr kernels::kernel_set<gather_row_fn> gather_row_kernels{
    .plain = gather_row,
    .fast = gather_row_fast,
    .vector = TAMSA_VECTOR_KERNEL(gather_row_hwy),
    .avx512vbmi = TAMSA_AVX512VBMI_KERNEL(gather_row_avx512vbmi)};
// Where the columns are the source row itself.
inline constexpr kernels::kernel_set<gather_row_fn> gather_copy_kernels{.plain = gather_row,
                                                                        .fast = copy_row};

// The kernel for plan (offsets, pixels, depth and readable set). When it is a vector kernel, its
// plan is built in scratch (gather_plan_bytes of it, 4-byte aligned) and recorded in plan; a
// copy is picked when the columns are the source row, and the portable kernel when there is no
// scratch or some block's sources spread beyond one window.
gather_row_fn plan_gather_row(gather_plan &plan, uint8_t *scratch);

}  // namespace tamsa::gfx

#endif
