// The part of a destination that a placed block covers, shared by the plain and scaled blits.
// Private to gfx/.
#ifndef TAMSA_GFX_RECT_H
#define TAMSA_GFX_RECT_H

#include <algorithm>
#include <cstdint>

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

}  // namespace tamsa::gfx

#endif
