// A captured YUV frame converted to blue-first 24-bit pixels and resized in one pass, by
// nearest-neighbour sampling.
#include <cstring>

#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"
#include "video/yuv_tables.h"

namespace {

using tamsa::video::chroma_terms;
using tamsa::video::clamp_byte;
using tamsa::video::clamp_table;
using tamsa::video::terms_of;
using tamsa::video::yuv_tables;

// Where a row reads its planes: the luma row, and the chroma row, which starts at the luma
// row's offset divided by 4 (the chroma planes hold one byte per 4 luma bytes, rows or not).
struct source_row {
    const uint8_t *y;
    const uint8_t *v;
    const uint8_t *u;
};

// The rule as it reads: every result pixel looks its chroma up afresh.
void yuvscale_row(const source_row &src, const int32_t *columns, const int32_t *chroma_columns,
                  uint8_t *out, int32_t width, const yuv_tables &t) {
    for (int32_t x = 0; x < width; ++x) {
        const int32_t luma = t.luma[src.y[columns[x]]];
        const uint8_t v = src.v[chroma_columns[x]];
        const uint8_t u = src.u[chroma_columns[x]];
        *out++ = clamp_byte(luma + t.blue_u[u]);
        *out++ = clamp_byte(luma - t.green_v[v] - t.green_u[u]);
        *out++ = clamp_byte(luma + t.red_v[v]);
    }
}

// Neighbouring result pixels mostly share a chroma column, so the chroma terms are kept until
// the column changes; the clamps go through the clamp table.
void yuvscale_row_fast(const source_row &src, const int32_t *columns, const int32_t *chroma_columns,
                       uint8_t *out, int32_t width, const yuv_tables &t) {
    int32_t chroma = -1;
    chroma_terms c{};
    for (int32_t x = 0; x < width; ++x, out += 3) {
        if (chroma_columns[x] != chroma) {
            chroma = chroma_columns[x];
            c = terms_of(t, src.v[chroma], src.u[chroma]);
        }
        const int32_t luma = t.luma[src.y[columns[x]]];
        out[0] = clamp_table[luma + c.blue];
        out[1] = clamp_table[luma + c.green];
        out[2] = clamp_table[luma + c.red];
    }
}

struct tables_guard {
    int32_t *columns = nullptr;
    int32_t *chroma_columns = nullptr;
    ~tables_guard() {
        PPCFreeVec(chroma_columns);
        PPCFreeVec(columns);
    }
};

}  // namespace

extern "C" {

kv_bitmap *fx_yuvscale_ll(const uint8_t *y_plane, const uint8_t *v_plane, const uint8_t *u_plane,
                          int32_t src_width, int32_t src_height, int32_t dst_width,
                          int32_t dst_height) {
    const int64_t source_bytes = tamsa::pixel_bytes(src_width, src_height, 1);
    const int64_t result_bytes = tamsa::pixel_bytes(dst_width, dst_height, 3);
    if (source_bytes < 0 || result_bytes < 0) return nullptr;
    // A result with pixels needs a source pixel to sample.
    if (result_bytes > 0 &&
        (source_bytes == 0 || y_plane == nullptr || v_plane == nullptr || u_plane == nullptr)) {
        return nullptr;
    }
    if (result_bytes == 0) return kv_allocbitmap(dst_width, dst_height, 3);

    // One spare entry, as the recorder has always allocated them.
    const uint32_t table_bytes = uint32_t(dst_width + 1) * 4;
    tables_guard tables;
    tables.columns = static_cast<int32_t *>(PPCAllocVec(table_bytes, TAMSA_MEMF_ANY));
    if (tables.columns == nullptr) return nullptr;
    tables.chroma_columns = static_cast<int32_t *>(PPCAllocVec(table_bytes, TAMSA_MEMF_ANY));
    if (tables.chroma_columns == nullptr) return nullptr;
    kv_bitmap *result = kv_allocbitmap(dst_width, dst_height, 3);
    if (result == nullptr) return nullptr;

    for (int32_t x = 0; x < dst_width; ++x) {
        tables.columns[x] = int32_t(tamsa::nearest_index(x, src_width, dst_width));
        tables.chroma_columns[x] = int32_t(tamsa::scaled_chroma_offset(tables.columns[x]));
    }
    const yuv_tables conversion = tamsa::video::make_yuv_tables();
    const bool fast = !tamsa::plain_kernels();
    const size_t row_bytes = size_t(dst_width) * 3;

    uint8_t *out = result->data;
    int64_t previous = -1;
    for (int32_t y = 0; y < dst_height; ++y, out += row_bytes) {
        const uint32_t sy = tamsa::nearest_index(y, src_height, dst_height);
        // An enlarged frame repeats source rows; a repeated row converts to the same bytes.
        if (fast && sy == previous) {
            std::memcpy(out, out - row_bytes, row_bytes);
            continue;
        }
        previous = sy;
        const int64_t luma_start = int64_t(sy) * src_width;
        const int64_t chroma_start = tamsa::scaled_chroma_offset(luma_start);
        const source_row src{y_plane + luma_start, v_plane + chroma_start, u_plane + chroma_start};
        (fast ? yuvscale_row_fast : yuvscale_row)(src, tables.columns, tables.chroma_columns, out,
                                                  dst_width, conversion);
    }
    return result;
}

}  // extern "C"
