// A block placed on a destination bitmap, checked and clipped: what the plain and the scaled
// blits draw. Private to gfx/.
#ifndef TAMSA_GFX_PLACEMENT_H
#define TAMSA_GFX_PLACEMENT_H

#include <algorithm>
#include <cstdint>

#include "tamsa/internal/sizes.h"

namespace tamsa::gfx {

// Destination columns [x0, x1) and rows [y0, y1).
struct rect {
    int32_t x0, y0, x1, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
};

// A w x h block whose top-left pixel lands on (x, y), in a destination of width x height (both
// at least 0). The far edges are summed in 64 bits, so blocks reaching past the 32-bit range
// clip instead of wrapping; a negative size is empty.
inline rect clip_block(int32_t width, int32_t height, int32_t x, int32_t y, int32_t w, int32_t h) {
    rect r;
    r.x0 = std::max(x, 0);
    r.y0 = std::max(y, 0);
    r.x1 = int32_t(std::clamp<int64_t>(int64_t(x) + w, 0, width));
    r.y1 = int32_t(std::clamp<int64_t>(int64_t(y) + h, 0, height));
    return r;
}

struct placement {
    uint8_t *destination;
    int32_t destination_width;
    const uint8_t *source;
    int32_t source_width, source_height;
    int32_t depth;          // bytes per pixel of both sides
    int32_t x, y;           // where the block's top-left pixel lands
    int32_t width, height;  // the block's size on the destination (scaled: the target's)
    rect region;            // the part of the destination it covers
    bool apart;             // source and destination share no byte
};

// The placement of a source_width x source_height block of depth-byte pixels, drawn w x h at
// (x, y) on a usable destination of that depth. Its region may be empty.
inline placement place_block(const kv_bitmap &destination, const uint8_t *source,
                             int32_t source_width, int32_t source_height, int32_t depth, int32_t x,
                             int32_t y, int32_t w, int32_t h) {
    placement p;
    p.destination = destination.data;
    p.destination_width = destination.width;
    p.source = source;
    p.source_width = source_width;
    p.source_height = source_height;
    p.depth = depth;
    p.x = x;
    p.y = y;
    p.width = w;
    p.height = h;
    p.region = clip_block(destination.width, destination.height, x, y, w, h);
    const int64_t destination_bytes = int64_t(destination.width) * destination.height * depth;
    const int64_t source_bytes = int64_t(source_width) * source_height * depth;
    p.apart =
        !overlaps(destination.data, uint64_t(destination_bytes), source, uint64_t(source_bytes));
    return p;
}

}  // namespace tamsa::gfx

#endif
