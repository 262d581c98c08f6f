// The span kernel's vector form, compiled once per target Highway builds for.
#include <cstring>

#include "gfx/draw_row.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gfx/draw_hwy.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "kernels/export_hwy.h"
#include "kernels/rows_hwy-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tamsa::gfx::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
// The vector kernels' shared helpers (kernels/rows_hwy-inl.h).
using namespace kernels::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// One lane per vector gains nothing over the portable kernel.
void span_row_vector(uint8_t *d, uint64_t pixels, const uint8_t *colour, int32_t depth) {
    span_row_fast(d, pixels, colour, depth);
}
#else
// Three vectors hold a whole number of 3-byte pixels, so the colour's pattern repeats every
// three stores; the last part stores only its own bytes. Spans shorter than a vector take the
// plain kernel.
void span_row_vector(uint8_t *HWY_RESTRICT d, uint64_t pixels, const uint8_t *HWY_RESTRICT colour,
                     int32_t depth) {
    const hn::ScalableTag<uint8_t> d8;
    const size_t n = hn::Lanes(d8);
    if (pixels < n) return span_row(d, pixels, colour, depth);
    if (depth == 3) {
        // 16 pixels spelled out, then copied up to three vectors (3n bytes, a multiple of 48).
        uint8_t seed[48];
        for (size_t p = 0; p < 16; ++p) {
            seed[3 * p] = colour[0];
            seed[3 * p + 1] = colour[1];
            seed[3 * p + 2] = colour[2];
        }
        HWY_ALIGN uint8_t
            pattern[3 * HWY_MAX_BYTES < sizeof seed ? sizeof seed : 3 * HWY_MAX_BYTES];
        for (size_t k = 0; k < 3 * n; k += sizeof seed) std::memcpy(pattern + k, seed, sizeof seed);
        const auto a = hn::Load(d8, pattern), b = hn::Load(d8, pattern + n),
                   c = hn::Load(d8, pattern + 2 * n);
        for_each_vector(pixels, n, [&](uint64_t i, size_t m) {
            uint8_t *p = d + 3 * i;
            const size_t bytes = 3 * m;
            store_lanes(a, d8, p, bytes < n ? bytes : n);
            if (bytes > n) store_lanes(b, d8, p + n, bytes - n < n ? bytes - n : n);
            if (bytes > 2 * n) store_lanes(c, d8, p + 2 * n, bytes - 2 * n);
        });
        return;
    }
    const auto v = hn::Set(d8, colour[0]);
    for_each_vector(pixels, n, [&](uint64_t i, size_t m) { store_lanes(v, d8, d + i, m); });
}

#endif

}  // namespace
}  // namespace tamsa::gfx::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tamsa::gfx {

TAMSA_HWY_EXPORT(span_row_vector, span_row_hwy);

}  // namespace tamsa::gfx
#endif
