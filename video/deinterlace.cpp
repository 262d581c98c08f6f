// Deinterlacing in place, by doubling the even rows.
#include <cstring>

#include "kernels/bands.h"
#include "tamsa/internal/sizes.h"

extern "C" {

void tamsa_deinterlace_ll(kv_bitmap *frame) {
    // Rows at the record's own depth: a frame of one-byte pixels read as three-byte ones would
    // be copied past its buffer.
    const int64_t bytes = tamsa::bitmap_bytes(frame);
    if (bytes <= 0) return;
    const size_t row_bytes = size_t(frame->width) * size_t(frame->bytesperpixel);
    const int32_t pairs = frame->height / 2;
    tamsa::bands::split(pairs, int64_t(row_bytes), [&](int64_t first, int64_t last) {
        for (int64_t i = first; i < last; ++i) {
            uint8_t *even = frame->data + size_t(2 * i) * row_bytes;
            std::memcpy(even + row_bytes, even, row_bytes);
        }
    });
}

}  // extern "C"
