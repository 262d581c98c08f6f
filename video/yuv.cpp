// Planar YUV to blue-first 24-bit pixels: the integer conversion and the per-pixel double one.
#include <cstring>

#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/sizes.h"
#include "video/yuv_row.h"

namespace tamsa::video {

// The conversion as its rule reads: chroma looked up once per group, each term truncated before
// the sums, every channel clamped. Reads and writes in the rule's own order, so it is exact
// even when the output overlaps the planes.
void yuvtorgb_row(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                  uint64_t groups, uint32_t group, const yuv_tables &t) {
    for (uint64_t g = 0; g < groups; ++g) {
        const uint8_t vb = v[g];
        const uint8_t ub = u[g];
        const int32_t blue = t.blue_u[ub];
        const int32_t red = t.red_v[vb];
        const int32_t green = t.green_u[ub] + t.green_v[vb];
        for (uint32_t k = 0; k < group; ++k) {
            const int32_t luma = t.luma[*y++];
            *rgb++ = clamp_byte(luma + blue);
            *rgb++ = clamp_byte(luma - green);
            *rgb++ = clamp_byte(luma + red);
        }
    }
}

namespace {

inline void put_pixel(uint8_t *out, int32_t luma, const chroma_terms &c) {
    out[0] = clamp_table[luma + c.blue];
    out[1] = clamp_table[luma + c.green];
    out[2] = clamp_table[luma + c.red];
}

}  // namespace

// Clamps through one table lookup per channel, and for the captured layout (4 pixels to a
// chroma sample) converts a whole group into one 12-byte store. Only for outputs that do not
// overlap the planes.
void yuvtorgb_row_fast(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *rgb,
                       uint64_t groups, uint32_t group, const yuv_tables &t) {
    if (group == 4) {
        for (uint64_t g = 0; g < groups; ++g, y += 4, rgb += 12) {
            const chroma_terms c = terms_of(t, v[g], u[g]);
            uint8_t out[12];
            put_pixel(out, t.luma[y[0]], c);
            put_pixel(out + 3, t.luma[y[1]], c);
            put_pixel(out + 6, t.luma[y[2]], c);
            put_pixel(out + 9, t.luma[y[3]], c);
            std::memcpy(rgb, out, 12);
        }
        return;
    }
    for (uint64_t g = 0; g < groups; ++g) {
        const chroma_terms c = terms_of(t, v[g], u[g]);
        for (uint32_t k = 0; k < group; ++k, rgb += 3) put_pixel(rgb, t.luma[*y++], c);
    }
}

bool yuvtorgb_row_fast_ok(const uint8_t *y, const uint8_t *v, const uint8_t *u, const uint8_t *rgb,
                          uint64_t groups, uint32_t group) {
    const uint64_t pixels = groups * group;
    const uint64_t out_bytes = 3 * pixels;
    return !overlaps(rgb, out_bytes, y, pixels) && !overlaps(rgb, out_bytes, v, groups) &&
           !overlaps(rgb, out_bytes, u, groups);
}

}  // namespace tamsa::video

namespace {

using tamsa::video::clamp_byte;

// What an output byte costs in byte-table lookups, integer and double; bands start on whole
// cache lines of chroma.
constexpr int64_t kYuvWeight = 2;
constexpr int64_t kYuvDoubleWeight = 4;
constexpr int64_t kYuvGrain = 64;
using tamsa::video::yuv_tables;

// Pixels to convert, or 0 when there is nothing to do: a group of 0, an output too large for any
// buffer, or a missing plane.
int64_t checked_pixels(const uint8_t *y_plane, const uint8_t *v_plane, const uint8_t *u_plane,
                       const uint8_t *rgb, uint32_t count, uint32_t group) {
    const int64_t pixels = tamsa::yuv_pixels(count, group);
    if (y_plane == nullptr || v_plane == nullptr || u_plane == nullptr || rgb == nullptr) return 0;
    return pixels;
}

}  // namespace

extern "C" {

void fx_yuvtorgb_ll(const uint8_t *y_plane, const uint8_t *v_plane, const uint8_t *u_plane,
                    uint8_t *rgb, uint32_t count, uint32_t group) {
    const int64_t pixels = checked_pixels(y_plane, v_plane, u_plane, rgb, count, group);
    if (pixels == 0) return;
    const uint64_t groups = uint64_t(pixels) / group;
    const yuv_tables &tables = tamsa::video::kYuvTables;
    const bool apart =
        tamsa::video::yuvtorgb_row_fast_ok(y_plane, v_plane, u_plane, rgb, groups, group);
    const tamsa::video::yuv_row_fn row =
        tamsa::kernels::pick(tamsa::video::yuvtorgb_kernels(group), apart);
    // An output that meets the planes is converted in the rule's order, on one thread.
    if (!apart) return row(y_plane, v_plane, u_plane, rgb, groups, group, tables);
    tamsa::bands::split(int64_t(groups), int64_t(3) * group * kYuvWeight, kYuvGrain,
                        [&](int64_t first, int64_t last) {
                            row(y_plane + first * group, v_plane + first, u_plane + first,
                                rgb + 3 * first * group, uint64_t(last - first), group, tables);
                        });
}

void kv_yuv_to_rgb(const uint8_t *y_plane, const uint8_t *v_plane, const uint8_t *u_plane,
                   uint8_t *rgb, uint32_t count, uint32_t group) {
    const int64_t pixels = checked_pixels(y_plane, v_plane, u_plane, rgb, count, group);
    if (pixels == 0) return;
    const uint64_t groups = uint64_t(pixels) / group;
    // The studio-range luma of the integer conversion, so that both agree on black and white.
    const yuv_tables &tables = tamsa::video::kYuvTables;
    const auto convert = [&](uint64_t first, uint64_t last) {
        const uint8_t *y = y_plane + first * group;
        uint8_t *out = rgb + 3 * first * group;
        for (uint64_t g = first; g < last; ++g) {
            const double u = u_plane[g] - 128.0;
            const double v = v_plane[g] - 128.0;
            for (uint32_t k = 0; k < group; ++k) {
                const double luma = tables.luma[*y++];
                // Each sum is truncated once, at the end.
                *out++ = clamp_byte(int32_t(luma + 2.018 * u));
                *out++ = clamp_byte(int32_t((luma - 0.813 * v) - 0.391 * u));
                *out++ = clamp_byte(int32_t(luma + 1.596 * v));
            }
        }
    };
    // An output that meets the planes is converted in order, on one thread.
    if (!tamsa::video::yuvtorgb_row_fast_ok(y_plane, v_plane, u_plane, rgb, groups, group)) {
        return convert(0, groups);
    }
    tamsa::bands::split(
        int64_t(groups), int64_t(3) * group * kYuvDoubleWeight, kYuvGrain,
        [&](int64_t first, int64_t last) { convert(uint64_t(first), uint64_t(last)); });
}

void kv_yuvtorgb(const uint8_t *y_plane, const uint8_t *v_plane, const uint8_t *u_plane,
                 uint8_t *rgb, uint32_t count) {
    kv_yuv_to_rgb(y_plane, v_plane, u_plane, rgb, count, 4);
}

int32_t fx_minmax(int32_t value, int32_t low, int32_t high) {
    // The lower bound first: when low exceeds high, high wins.
    int32_t result = value;
    if (result < low) result = low;
    if (result > high) result = high;
    return result;
}

}  // extern "C"
