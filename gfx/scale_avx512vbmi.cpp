// The nearest-neighbour gather with AVX-512 VBMI: a 64-byte block of the result is one byte
// permute over the two 64-byte halves of its 128-byte window (vpermt2b), which Highway 1.0.3
// does not offer. Built with its own flags; picked only where the CPU runs it.
#include <immintrin.h>

#include "gfx/scale_row.h"
#include "kernels/avx512_bytes.h"

namespace tamsa::gfx {
void gather_row_avx512vbmi(const uint8_t *row, uint8_t *out, const gather_plan &plan) {
    const uint64_t bytes = uint64_t(plan.pixels) * plan.depth;
    for (uint64_t k = 0, b = 0; k < bytes; k += 64, ++b) {
        const uint32_t base = plan.bases[b];
        const uint64_t available = plan.readable - base;
        const __m512i low = avx512::load_bytes(row + base, available);
        const __m512i high = available > 64 ? avx512::load_bytes(row + base + 64, available - 64)
                                            : _mm512_setzero_si512();
        const __m512i lanes = _mm512_loadu_si512(plan.lanes + k);
        const __m512i result = _mm512_permutex2var_epi8(low, lanes, high);
        avx512::store_bytes(out + k, bytes - k, result);
    }
}

}  // namespace tamsa::gfx
