// A captured YUV frame converted to blue-first 24-bit pixels and resized in one pass, by
// nearest-neighbour sampling.
#include <cstring>

#include "gfx/scale_row.h"
#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/nearest.h"
#include "tamsa/internal/sizes.h"
#include "video/yuv_row.h"

namespace {

using tamsa::video::chroma_terms;
using tamsa::video::clamp_byte;
using tamsa::video::clamp_table;
using tamsa::video::kYuvTables;
using tamsa::video::terms_of;
using tamsa::video::yuv_tables;

// Where a row reads its planes: the luma row, and the chroma row, which starts at the luma
// row's offset divided by 4 (the chroma planes hold one byte per 4 luma bytes, rows or not).
struct source_row {
    const uint8_t *y;
    const uint8_t *v;
    const uint8_t *u;
};

// The sampling of every result row: the source column and chroma column of each result column,
// and for the vector kernels the gathers that collect them and the conversion that follows. The
// chroma is gathered once per run of `group` result pixels that share a chroma column.
struct row_sampling {
    const uint32_t *columns = nullptr;
    const uint32_t *chroma_columns = nullptr;
    uint32_t width = 0;
    uint32_t group = 1;
    tamsa::gfx::gather_plan luma, chroma;
    tamsa::gfx::gather_row_fn gather_luma = nullptr, gather_chroma = nullptr;
    tamsa::video::yuv_row_fn convert = nullptr;
};

using yuvscale_row_fn = void (*)(const source_row &src, uint8_t *out, const row_sampling &s);

// The rule as it reads: every result pixel looks its chroma up afresh.
void yuvscale_row(const source_row &src, uint8_t *out, const row_sampling &s) {
    const yuv_tables &t = kYuvTables;
    for (uint32_t x = 0; x < s.width; ++x) {
        const int32_t luma = t.luma[src.y[s.columns[x]]];
        const uint8_t v = src.v[s.chroma_columns[x]];
        const uint8_t u = src.u[s.chroma_columns[x]];
        *out++ = clamp_byte(luma + t.blue_u[u]);
        *out++ = clamp_byte(luma - t.green_v[v] - t.green_u[u]);
        *out++ = clamp_byte(luma + t.red_v[v]);
    }
}

// Neighbouring result pixels mostly share a chroma column, so the chroma terms are kept until
// the column changes; the clamps go through the clamp table.
void yuvscale_row_fast(const source_row &src, uint8_t *out, const row_sampling &s) {
    const yuv_tables &t = kYuvTables;
    uint32_t chroma = UINT32_MAX;
    chroma_terms c{};
    for (uint32_t x = 0; x < s.width; ++x, out += 3) {
        if (s.chroma_columns[x] != chroma) {
            chroma = s.chroma_columns[x];
            c = terms_of(t, src.v[chroma], src.u[chroma]);
        }
        const int32_t luma = t.luma[src.y[s.columns[x]]];
        out[0] = clamp_table[luma + c.blue];
        out[1] = clamp_table[luma + c.green];
        out[2] = clamp_table[luma + c.red];
    }
}

// Stretches of the row: the luma bytes of its pixels and the chroma bytes of its runs gathered
// into local buffers, then converted a run at a time; a last, shorter run is converted here.
void yuvscale_row_vector(const source_row &src, uint8_t *out, const row_sampling &s) {
    constexpr uint32_t kStretch = 1024;  // whole blocks of every gather plan, runs up to 8
    alignas(64) uint8_t y[kStretch], v[kStretch], u[kStretch];
    const uint32_t g = s.group;
    for (uint32_t x = 0; x < s.width; x += kStretch) {
        const uint32_t n = s.width - x < kStretch ? s.width - x : kStretch;
        const uint32_t runs = (n + g - 1) / g, whole = n / g;
        s.gather_luma(src.y, y, s.luma.slice(x, n));
        const tamsa::gfx::gather_plan chroma = s.chroma.slice(x / g, runs);
        s.gather_chroma(src.v, v, chroma);
        s.gather_chroma(src.u, u, chroma);
        uint8_t *o = out + 3 * uint64_t(x);
        s.convert(y, v, u, o, whole, g, kYuvTables);
        if (whole == runs) continue;
        const chroma_terms c = terms_of(kYuvTables, v[whole], u[whole]);
        for (uint32_t k = whole * g; k < n; ++k) {
            const int32_t luma = kYuvTables.luma[y[k]];
            o[3 * k] = clamp_table[luma + c.blue];
            o[3 * k + 1] = clamp_table[luma + c.green];
            o[3 * k + 2] = clamp_table[luma + c.red];
        }
    }
}

// The widest run, 8, 4, 2 or 1 result pixels from the first on, whose pixels all take the same
// chroma column.
uint32_t chroma_run(const uint32_t *chroma_columns, uint32_t width) {
    for (uint32_t g = 8; g > 1; g /= 2) {
        uint32_t x = 0;
        while (x < width && chroma_columns[x] == chroma_columns[x & ~(g - 1)]) ++x;
        if (x == width) return g;
    }
    return 1;
}

// The vector kernel is made of the gathers' and the conversion's kernels, which picking it
// prepares.
constexpr tamsa::kernels::kernel_set<yuvscale_row_fn> kYuvscaleRowKernels{
    .plain = yuvscale_row, .fast = yuvscale_row_fast, .vector = [] {
        return yuvscale_row_fn{yuvscale_row_vector};
    }};

// The row kernel; for the vector one, also its gathers (their plans built in the scratch that
// follows each column table; the chroma one after a table of each run's chroma column) and its
// conversion.
yuvscale_row_fn row_kernel(row_sampling &s, uint8_t *luma_scratch, uint8_t *chroma_scratch) {
    using tamsa::kernels::level;
    return tamsa::kernels::pick(kYuvscaleRowKernels, level::avx512vbmi, [&](level l) {
        if (l != level::vector) return true;
        s.gather_luma = tamsa::gfx::plan_gather_row(s.luma, luma_scratch);
        s.group = chroma_run(s.chroma_columns, s.width);
        const uint32_t runs = (s.width + s.group - 1) / s.group;
        auto *run_columns = reinterpret_cast<uint32_t *>(chroma_scratch);
        for (uint32_t r = 0; r < runs; ++r) run_columns[r] = s.chroma_columns[r * s.group];
        s.chroma.offsets = run_columns;
        s.chroma.pixels = runs;
        s.gather_chroma =
            tamsa::gfx::plan_gather_row(s.chroma, chroma_scratch + 4 * uint64_t(runs));
        s.convert = tamsa::kernels::pick(tamsa::video::yuvtorgb_kernels(s.group));
        return true;
    });
}

// A result byte costs about this many byte-table lookups.
constexpr int64_t kYuvscaleWeight = 2;

struct tables_guard {
    uint32_t *columns = nullptr;
    uint32_t *chroma_columns = nullptr;
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

    // One spare entry, as the recorder has always allocated them; a vector kernel's gather plan
    // follows each table in its block, and the chroma one a table of runs as well.
    const uint32_t width = uint32_t(dst_width);
    const uint64_t table_bytes = (uint64_t(width) + 1) * 4;
    const uint64_t plan_bytes = tamsa::gfx::gather_plan_bytes(width, 1);
    const uint64_t chroma_bytes = table_bytes + (plan_bytes == 0 ? 0 : table_bytes + plan_bytes);
    tables_guard tables;
    tables.columns =
        static_cast<uint32_t *>(PPCAllocVec(uint32_t(table_bytes + plan_bytes), TAMSA_MEMF_ANY));
    if (tables.columns == nullptr) return nullptr;
    tables.chroma_columns =
        static_cast<uint32_t *>(PPCAllocVec(uint32_t(chroma_bytes), TAMSA_MEMF_ANY));
    if (tables.chroma_columns == nullptr) return nullptr;
    // Every pixel of the result is written below, so it need not be cleared first.
    kv_bitmap *result = kv_allocrawbitmap(dst_width, dst_height, 3);
    if (result == nullptr) return nullptr;

    tamsa::nearest_columns(tables.columns, 0, width, uint32_t(src_width), width, 1);
    for (uint32_t x = 0; x < width; ++x) {
        tables.chroma_columns[x] = uint32_t(tamsa::scaled_chroma_offset(tables.columns[x]));
    }
    row_sampling s;
    s.columns = tables.columns;
    s.chroma_columns = tables.chroma_columns;
    s.width = width;
    s.luma.offsets = tables.columns;
    s.luma.pixels = width;
    s.luma.readable = uint32_t(src_width);
    s.chroma.offsets = tables.chroma_columns;
    s.chroma.pixels = width;
    s.chroma.readable = uint32_t(tamsa::scaled_chroma_offset(src_width - 1)) + 1;
    const yuvscale_row_fn row =
        row_kernel(s, reinterpret_cast<uint8_t *>(tables.columns) + table_bytes,
                   reinterpret_cast<uint8_t *>(tables.chroma_columns) + table_bytes);

    const auto source_at = [&](uint32_t sy) {
        const int64_t luma_start = int64_t(sy) * src_width;
        const int64_t chroma_start = tamsa::scaled_chroma_offset(luma_start);
        return source_row{y_plane + luma_start, v_plane + chroma_start, u_plane + chroma_start};
    };
    tamsa::bands::split(dst_height, int64_t(width) * 3 * kYuvscaleWeight,
                        [&](int64_t first, int64_t last) {
                            tamsa::nearest_rows(
                                result->data, size_t(width) * 3, uint32_t(src_height),
                                uint32_t(dst_height), uint32_t(first), uint32_t(last),
                                [&](uint8_t *out, uint32_t sy) { row(source_at(sy), out, s); },
                                [&](uint32_t sy) {
                                    const source_row next = source_at(sy);
                                    tamsa::prefetch_bytes(next.y, uint32_t(src_width));
                                    tamsa::prefetch_bytes(next.v, s.chroma.readable);
                                    tamsa::prefetch_bytes(next.u, s.chroma.readable);
                                });
                        });
    return result;
}

}  // extern "C"
