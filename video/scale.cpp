// A resized copy of a frame of one-byte pixels, by nearest-neighbour sampling.
#include <cstring>

#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"

namespace {

void scale_row(const uint8_t *source_row, const int32_t *columns, uint8_t *out, int32_t width) {
    for (int32_t x = 0; x < width; ++x) out[x] = source_row[columns[x]];
}

}  // namespace

extern "C" {

kv_bitmap *tamsa_scale_ll(const kv_bitmap *source, int32_t new_width, int32_t new_height) {
    // The source is read one byte per pixel whatever its depth says, which never reaches past
    // a buffer of width * height * depth bytes.
    const int64_t source_bytes = tamsa::bitmap_bytes(source);
    const int64_t result_bytes = tamsa::pixel_bytes(new_width, new_height, 1);
    if (source_bytes < 0 || result_bytes < 0) return nullptr;
    const int32_t width = source->width;
    const int32_t height = source->height;
    // A result with pixels needs a source pixel to sample.
    if (result_bytes > 0 && (width == 0 || height == 0)) return nullptr;
    // A column table for a row of more than 2^30 pixels would not fit in 32 bits.
    const uint64_t table_bytes = uint64_t(new_width) * 4;
    if (result_bytes > 0 && table_bytes > UINT32_MAX) return nullptr;

    kv_bitmap *result = kv_allocbitmap(new_width, new_height, 1);
    if (result == nullptr || result_bytes == 0) return result;
    // Without its column table the frame cannot be sampled: an all-zero frame would be a
    // failure passed off as success.
    auto *columns = static_cast<int32_t *>(PPCAllocVec(uint32_t(table_bytes), TAMSA_MEMF_CLEAR));
    if (columns == nullptr) {
        kv_freebitmap(result);
        return nullptr;
    }
    for (int32_t x = 0; x < new_width; ++x) {
        columns[x] = int32_t(tamsa::nearest_index(x, width, new_width));
    }

    const bool fast = !tamsa::plain_kernels();
    const size_t row_bytes = size_t(new_width);
    uint8_t *out = result->data;
    int64_t previous = -1;
    for (int32_t y = 0; y < new_height; ++y, out += row_bytes) {
        const uint32_t sy = tamsa::nearest_index(y, height, new_height);
        const uint8_t *source_row = source->data + int64_t(sy) * width;
        if (fast && sy == previous) {
            // An enlarged frame repeats source rows.
            std::memcpy(out, out - row_bytes, row_bytes);
        } else if (fast && new_width == width) {
            // Same width: the columns are the identity.
            std::memcpy(out, source_row, row_bytes);
        } else {
            scale_row(source_row, columns, out, new_width);
        }
        previous = sy;
    }
    PPCFreeVec(columns);
    return result;
}

}  // extern "C"
