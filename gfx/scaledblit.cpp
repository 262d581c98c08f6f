// Scaled blits: a block of 3-byte pixels stretched or shrunk by nearest-neighbour sampling to a
// target rectangle, clipped to the destination; copied, masked by a threshold, or added as a
// tinted light map.
#include "gfx/placement.h"
#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"

namespace {

using tamsa::gfx::placement;

// Destinations are written 3 bytes per pixel, so others are refused rather than overrun; a
// source without pixels has nothing to sample.
bool aim(const kv_bitmap *destination, int32_t source_width, int32_t source_height,
         const uint8_t *source, int32_t x, int32_t y, int32_t target_width, int32_t target_height,
         placement &out) {
    if (tamsa::bitmap_bytes(destination) < 0 || destination->bytesperpixel != 3) return false;
    if (tamsa::pixel_bytes(source_width, source_height, 3) <= 0 || source == nullptr) {
        return false;
    }
    if (target_width <= 0 || target_height <= 0) return false;
    out = tamsa::gfx::place_block(*destination, source, source_width, source_height, 3, x, y,
                                  target_width, target_height);
    return !out.region.empty();
}

// Calls pixel(destination pixel, sampled source pixel) over the region, rows top to bottom and
// columns left to right. The plain walk takes every source column from nearest_index; the fast
// one steps the same floor(i * source / target) by its quotient and remainder, which needs no
// division per pixel and no table.
template <class Pixel>
void sample(const placement &t, bool fast, Pixel pixel) {
    // Every size here is above 0, so unsigned arithmetic holds them all.
    const auto source_width = uint32_t(t.source_width), source_height = uint32_t(t.source_height);
    const auto target_width = uint32_t(t.width), target_height = uint32_t(t.height);
    const uint32_t first = uint32_t(int64_t(t.region.x0) - t.x);
    const uint32_t count = uint32_t(t.region.x1 - t.region.x0);
    const uint32_t step = source_width / target_width;
    const uint32_t step_rest = source_width % target_width;
    const uint32_t first_rest = uint32_t(uint64_t(first) * source_width % target_width);
    const uint32_t first_u = tamsa::nearest_index(first, source_width, target_width);
    for (int64_t n = t.region.y0; n < t.region.y1; ++n) {
        const uint32_t v = tamsa::nearest_index(uint32_t(n - t.y), source_height, target_height);
        const uint8_t *row = t.source + uint64_t(v) * source_width * 3;
        uint8_t *d = t.destination + (n * t.destination_width + t.region.x0) * 3;
        if (fast) {
            uint32_t u = first_u;
            uint32_t rest = first_rest;
            for (uint32_t k = 0; k < count; ++k, d += 3) {
                pixel(d, row + size_t(u) * 3);
                u += step;
                rest += step_rest;  // both below target_width, so the sum fits
                if (rest >= target_width) {
                    rest -= target_width;
                    ++u;
                }
            }
        } else {
            for (uint32_t k = 0; k < count; ++k, d += 3) {
                const uint32_t u = tamsa::nearest_index(first + k, source_width, target_width);
                pixel(d, row + size_t(u) * 3);
            }
        }
    }
}

inline void copy_pixel(uint8_t *d, const uint8_t *s) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
}

// The light map's fixed size.
constexpr int32_t kLightSize = 256;

// table[e] = (tint * e) / 255 on 32-bit words, low byte kept.
void build_tint(uint8_t *table, int32_t tint) {
    for (uint32_t e = 0; e < 256; ++e) table[e] = uint8_t(int32_t(uint32_t(tint) * e) / 255);
}

inline uint8_t add_saturated(uint8_t d, uint8_t add) {
    const uint32_t sum = uint32_t(d) + add;
    return uint8_t(sum > 255 ? 255 : sum);
}

}  // namespace

extern "C" {

void kv_scaledblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                   const uint8_t *source, int32_t x, int32_t y, int32_t target_width,
                   int32_t target_height) {
    placement t;
    if (!aim(destination, source_width, source_height, source, x, y, target_width, target_height,
             t)) {
        return;
    }
    sample(t, !tamsa::plain_kernels(), copy_pixel);
}

void kv_scaledmaskblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                       const uint8_t *source, int32_t x, int32_t y, int32_t target_width,
                       int32_t target_height, int32_t threshold) {
    placement t;
    if (!aim(destination, source_width, source_height, source, x, y, target_width, target_height,
             t)) {
        return;
    }
    // Only the first byte decides, compared as a signed value with the whole threshold.
    sample(t, !tamsa::plain_kernels(), [threshold](uint8_t *d, const uint8_t *s) {
        if (int32_t(s[0]) > threshold) copy_pixel(d, s);
    });
}

void kv_scaledlightblit(kv_bitmap *destination, const uint8_t *light_map, int32_t x, int32_t y,
                        int32_t target_width, int32_t target_height, int32_t red, int32_t green,
                        int32_t blue) {
    placement t;
    if (!aim(destination, kLightSize, kLightSize, light_map, x, y, target_width, target_height,
             t)) {
        return;
    }
    // All three tables before any pixel: a missing one draws nothing.
    uint8_t *tables[3] = {};
    for (auto &table : tables) {
        table = static_cast<uint8_t *>(PPCAllocVec(256, TAMSA_MEMF_ANY));
        if (table == nullptr) break;
    }
    if (tables[2] != nullptr) {
        build_tint(tables[0], red);
        build_tint(tables[1], green);
        build_tint(tables[2], blue);
        sample(t, !tamsa::plain_kernels(), [&tables](uint8_t *d, const uint8_t *s) {
            d[0] = add_saturated(d[0], tables[0][s[0]]);
            d[1] = add_saturated(d[1], tables[1][s[1]]);
            d[2] = add_saturated(d[2], tables[2][s[2]]);
        });
    }
    for (uint8_t *table : tables) {
        if (table != nullptr) PPCFreeVec(table);
    }
}

}  // extern "C"
