// A resized copy of a frame of one-byte pixels, by nearest-neighbour sampling.
#include "gfx/scale_row.h"
#include "kernels/bands.h"
#include "tamsa/internal/nearest.h"
#include "tamsa/internal/sizes.h"

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
    // A column table for a row of more than 2^30 pixels would not fit in 32 bits; a vector
    // kernel's plan follows the table in the same block where there is room.
    const uint64_t table_bytes = uint64_t(new_width) * 4;
    if (result_bytes > 0 && table_bytes > UINT32_MAX) return nullptr;
    uint64_t bytes = table_bytes + tamsa::gfx::gather_plan_bytes(uint32_t(new_width), 1);
    if (bytes > UINT32_MAX) bytes = table_bytes;

    // Every pixel of the result is written below, so it need not be cleared first.
    kv_bitmap *result = kv_allocrawbitmap(new_width, new_height, 1);
    if (result == nullptr || result_bytes == 0) return result;
    // Without its column table the frame cannot be sampled: an all-zero frame would be a
    // failure passed off as success.
    auto *columns = static_cast<uint32_t *>(PPCAllocVec(uint32_t(bytes), TAMSA_MEMF_ANY));
    if (columns == nullptr) {
        kv_freebitmap(result);
        return nullptr;
    }
    tamsa::nearest_columns(columns, 0, uint32_t(new_width), uint32_t(width), uint32_t(new_width),
                           1);
    tamsa::gfx::gather_plan plan;
    plan.offsets = columns;
    plan.pixels = uint32_t(new_width);
    plan.readable = uint32_t(width);
    uint8_t *scratch =
        bytes > table_bytes ? reinterpret_cast<uint8_t *>(columns) + table_bytes : nullptr;
    const tamsa::gfx::gather_row_fn row = tamsa::gfx::plan_gather_row(plan, scratch);
    const auto source_row = [&](uint32_t sy) { return source->data + size_t(sy) * size_t(width); };
    tamsa::bands::split(new_height, new_width, [&](int64_t first, int64_t last) {
        tamsa::nearest_rows(
            result->data, size_t(new_width), uint32_t(height), uint32_t(new_height),
            uint32_t(first), uint32_t(last),
            [&](uint8_t *out, uint32_t sy) { row(source_row(sy), out, plan); },
            [&](uint32_t sy) { tamsa::prefetch_bytes(source_row(sy), size_t(width)); });
    });
    PPCFreeVec(columns);
    return result;
}

}  // extern "C"
