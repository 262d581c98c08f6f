// Scaled blits: a block of 3-byte pixels stretched or shrunk by nearest-neighbour sampling to a
// target rectangle, clipped to the destination; copied, masked by a threshold, or added as a
// tinted light map.
#include <algorithm>
#include <cstring>

#include "gfx/placement.h"
#include "gfx/scaledblit_row.h"
#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/nearest.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::gfx {

void scaled_copy_row(uint8_t *d, const uint8_t *row, const column_run &columns, uint64_t pixels,
                     uint64_t) {
    for (uint64_t k = 0; k < pixels; ++k, d += 3) {
        const uint8_t *s = row + columns.offsets[k];
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
    }
}

// Only the first byte decides, compared as a signed value with the whole threshold.
void scaled_mask_row(uint8_t *d, const uint8_t *row, const column_run &columns, uint64_t pixels,
                     uint64_t, int32_t threshold) {
    for (uint64_t k = 0; k < pixels; ++k, d += 3) {
        const uint8_t *s = row + columns.offsets[k];
        if (int32_t(s[0]) > threshold) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    }
}

namespace {

inline uint8_t add_saturated(uint8_t d, uint8_t add) {
    const uint32_t sum = uint32_t(d) + add;
    return uint8_t(sum > 255 ? 255 : sum);
}

}  // namespace

void scaled_light_row(uint8_t *d, const uint8_t *row, const column_run &columns, uint64_t pixels,
                      uint64_t, const tint &t) {
    for (uint64_t k = 0; k < pixels; ++k, d += 3) {
        const uint8_t *s = row + columns.offsets[k];
        for (int c = 0; c < 3; ++c) d[c] = add_saturated(d[c], t.table[c][s[c]]);
    }
}

namespace {

// The windows of size bytes for groups of group pixels: where a group's samples all lie within
// size bytes from the first one's and the window stays inside the row, its offset, and per
// destination byte of the group (3 per pixel, table bytes in all) the window byte it takes and
// the window byte that starts its pixel; elsewhere kNoWindow, and kNoByte for every byte.
void windows_of(const uint32_t *offsets, uint64_t pixels, uint64_t row_bytes, uint32_t group,
                uint32_t size, uint32_t table, uint32_t *windows, uint8_t *bytes, uint8_t *firsts) {
    for (uint64_t g = 0; g < pixels / group; ++g) {
        const uint32_t *o = offsets + group * g;
        uint8_t *to = bytes + table * g;
        uint8_t *first = firsts + table * g;
        const bool fits =
            uint64_t(o[group - 1]) + 3 - o[0] <= size && uint64_t(o[0]) + size <= row_bytes;
        windows[g] = fits ? o[0] : kNoWindow;
        for (uint32_t i = 0; i < table; ++i) to[i] = first[i] = kNoByte;
        if (!fits) continue;
        for (uint32_t i = 0; i < group; ++i) {
            for (uint32_t k = 0; k < 3; ++k) {
                to[3 * i + k] = uint8_t(o[i] - o[0] + k);
                first[3 * i + k] = uint8_t(o[i] - o[0]);
            }
        }
    }
}

}  // namespace

void window_columns(const uint32_t *offsets, uint64_t pixels, uint64_t row_bytes, uint32_t *windows,
                    uint8_t *bytes, uint8_t *firsts, uint32_t *wide_windows, uint8_t *wide_bytes,
                    uint8_t *wide_firsts) {
    windows_of(offsets, pixels, row_bytes, 4, 16, 16, windows, bytes, firsts);
    windows_of(offsets, pixels, row_bytes, 16, 64, 64, wide_windows, wide_bytes, wide_firsts);
}

}  // namespace tamsa::gfx

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

// The byte offsets in a source row of the pixels that target columns first .. first + count - 1
// sample: column i takes source column floor(i * source / target). The plain way takes each
// from nearest_index; the fast one steps the same quotient by its integer part and remainder,
// which needs no division per column.
void build_columns(uint32_t first, uint32_t count, uint32_t source, uint32_t target, bool step,
                   uint32_t *out) {
    if (!step) {
        for (uint32_t k = 0; k < count; ++k) {
            out[k] = 3 * tamsa::nearest_index(first + k, source, target);
        }
        return;
    }
    tamsa::nearest_columns(out, first, count, source, target, 3);
}

// Columns are tabled in runs of this many.
constexpr uint32_t kRun = 1024;

// Calls row(destination run, source row, columns, pixels) over the region. A source that may
// share bytes with the destination is sampled in the documented order, rows top to bottom and
// columns left to right; otherwise the region goes in bands of rows, and each band by runs of
// columns, each tabled once for all its rows. With repeat, a destination row whose source row
// is the one of the row above in its band is a copy of that row's run (the copy blit, on
// buffers apart). weight: what a destination byte costs in byte-table lookups.
template <class Row>
void sample(const placement &t, bool repeat, int64_t weight, Row row) {
    // Every size here is above 0, so unsigned arithmetic holds them all.
    const auto source_width = uint32_t(t.source_width), source_height = uint32_t(t.source_height);
    const auto target_width = uint32_t(t.width), target_height = uint32_t(t.height);
    const auto first = uint32_t(int64_t(t.region.x0) - t.x);
    const auto count = uint32_t(t.region.x1 - t.region.x0);
    const uint64_t row_bytes = uint64_t(source_width) * 3;
    const bool fast = tamsa::kernels::allowed() != tamsa::kernels::level::plain;
    // The rows of y0 .. y1 - 1 of the region, each table on this thread's stack.
    const auto rows = [&](int64_t y0, int64_t y1, bool runs_first) {
        uint32_t offsets[kRun], windows[kRun / 4], wide_windows[kRun / 16];
        uint8_t bytes[4 * kRun], firsts[4 * kRun], wide_bytes[4 * kRun], wide_firsts[4 * kRun];
        const tamsa::gfx::column_run columns{offsets,      windows,    bytes,      firsts,
                                             wide_windows, wide_bytes, wide_firsts};
        const auto table = [&](uint32_t start, uint32_t length) {
            build_columns(first + start, length, source_width, target_width, fast, offsets);
            if (fast) {
                tamsa::gfx::window_columns(offsets, length, row_bytes, windows, bytes, firsts,
                                           wide_windows, wide_bytes, wide_firsts);
            }
        };
        const auto run = [&](uint32_t start, uint32_t length, int64_t n, int64_t &previous_v) {
            const uint32_t v =
                tamsa::nearest_index(uint32_t(n - t.y), source_height, target_height);
            uint8_t *d = t.destination + (n * t.destination_width + t.region.x0 + start) * 3;
            if (repeat && int64_t(v) == previous_v) {
                std::memcpy(d, d - int64_t(t.destination_width) * 3, size_t(length) * 3);
            } else {
                row(d, t.source + uint64_t(v) * row_bytes, columns, length, row_bytes);
            }
            previous_v = v;
        };
        if (runs_first) {
            for (uint32_t start = 0; start < count; start += kRun) {
                const uint32_t length = std::min(kRun, count - start);
                table(start, length);
                int64_t previous_v = -1;
                for (int64_t n = y0; n < y1; ++n) run(start, length, n, previous_v);
            }
            return;
        }
        for (int64_t n = y0; n < y1; ++n) {
            for (uint32_t start = 0; start < count; start += kRun) {
                const uint32_t length = std::min(kRun, count - start);
                table(start, length);
                int64_t no_repeat = -1;
                run(start, length, n, no_repeat);
            }
        }
    };
    if (!t.apart) return rows(t.region.y0, t.region.y1, false);
    tamsa::bands::split(
        t.region.y1 - t.region.y0, int64_t(count) * 3 * weight,
        [&](int64_t y0, int64_t y1) { rows(t.region.y0 + y0, t.region.y0 + y1, true); });
}

// The light map's fixed size.
constexpr int32_t kLightSize = 256;

// table[e] = (tint * e) / 255 on 32-bit words, low byte kept.
void build_tint(uint8_t *table, int32_t tint) {
    for (uint32_t e = 0; e < 256; ++e) table[e] = uint8_t(int32_t(uint32_t(tint) * e) / 255);
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
    const tamsa::gfx::scaled_copy_row_fn row =
        tamsa::kernels::pick(tamsa::gfx::scaled_copy_row_kernels, t.apart);
    sample(t, tamsa::kernels::allowed(t.apart) != tamsa::kernels::level::plain, 1, row);
}

void kv_scaledmaskblit(kv_bitmap *destination, int32_t source_width, int32_t source_height,
                       const uint8_t *source, int32_t x, int32_t y, int32_t target_width,
                       int32_t target_height, int32_t threshold) {
    placement t;
    if (!aim(destination, source_width, source_height, source, x, y, target_width, target_height,
             t)) {
        return;
    }
    const tamsa::gfx::scaled_mask_row_fn row =
        tamsa::kernels::pick(tamsa::gfx::scaled_mask_row_kernels, t.apart);
    sample(t, false, 1,
           [row, threshold](uint8_t *d, const uint8_t *s, const tamsa::gfx::column_run &columns,
                            uint64_t pixels, uint64_t row_bytes) {
               row(d, s, columns, pixels, row_bytes, threshold);
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
        tamsa::gfx::tint light{{tables[0], tables[1], tables[2]}, {red, green, blue}, {}};
        for (size_t i = 0; i < sizeof light.spelled; ++i) {
            light.spelled[i] = uint8_t(light.value[i % 3]);
        }
        const tamsa::gfx::scaled_light_row_fn row =
            tamsa::kernels::pick(tamsa::gfx::scaled_light_row_kernels,
                                 tamsa::gfx::scaled_light_row_fast_ok(t.apart, light));
        sample(t, false, 2,
               [row, &light](uint8_t *d, const uint8_t *s, const tamsa::gfx::column_run &columns,
                             uint64_t pixels,
                             uint64_t row_bytes) { row(d, s, columns, pixels, row_bytes, light); });
    }
    for (uint8_t *table : tables) {
        if (table != nullptr) PPCFreeVec(table);
    }
}

}  // extern "C"
