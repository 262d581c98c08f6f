// Full-range YUV (levels 0..255, as XCOLORRANGE=FULL clips and grey cameras give them) to
// blue-first pixels by the BT.601 rule, for the tamsa command and the Python module. The
// library's conversion is studio range and its tables stay so; these clips are converted here,
// per pixel, each channel within half a level of the exact rule. Not installed.
#ifndef TAMSA_INTERNAL_FULL_RANGE_H
#define TAMSA_INTERNAL_FULL_RANGE_H

#include <array>
#include <cstdint>

namespace tamsa {

namespace full_range_detail {

// The rule: R = Y + 2(1 - Kr)(V - 128), B = Y + 2(1 - Kb)(U - 128) and G from the rest, with
// Kr 0.299 and Kb 0.114. Terms in 1/65536 of a level, each rounded once.
inline constexpr double kKr = 0.299, kKb = 0.114, kKg = 1.0 - kKr - kKb;
inline constexpr int32_t kOne = 1 << 16;

constexpr int32_t term(int32_t offset, double constant) {
    const double x = double(offset) * constant * kOne;
    return int32_t(x < 0 ? x - 0.5 : x + 0.5);
}

struct tables {
    std::array<int32_t, 256> red_v, green_u, green_v, blue_u;
};

constexpr tables make_tables() {
    tables t{};
    for (int32_t i = 0; i < 256; ++i) {
        t.red_v[size_t(i)] = term(i - 128, 2.0 * (1.0 - kKr));
        t.blue_u[size_t(i)] = term(i - 128, 2.0 * (1.0 - kKb));
        t.green_u[size_t(i)] = term(i - 128, 2.0 * (1.0 - kKb) * kKb / kKg);
        t.green_v[size_t(i)] = term(i - 128, 2.0 * (1.0 - kKr) * kKr / kKg);
    }
    return t;
}

inline constexpr tables kTables = make_tables();

constexpr uint8_t level(int32_t sum) {
    const int32_t l = (sum + kOne / 2) >> 16;
    return l < 0 ? 0 : l > 255 ? 255 : uint8_t(l);
}

}  // namespace full_range_detail

// count pixels of y, every group of them sharing one sample of v and u (as the studio-range
// conversion takes its planes), into 3 bytes a pixel, blue first. count is a multiple of group.
inline void full_range_to_bgr(const uint8_t *y, const uint8_t *v, const uint8_t *u, uint8_t *bgr,
                              uint64_t count, uint32_t group) {
    using namespace full_range_detail;
    const tables &t = kTables;
    for (uint64_t g = 0; g < count / group; ++g) {
        const int32_t blue = t.blue_u[u[g]];
        const int32_t green = -t.green_u[u[g]] - t.green_v[v[g]];
        const int32_t red = t.red_v[v[g]];
        for (uint32_t k = 0; k < group; ++k, bgr += 3) {
            const int32_t luma = int32_t(*y++) << 16;
            bgr[0] = level(luma + blue);
            bgr[1] = level(luma + green);
            bgr[2] = level(luma + red);
        }
    }
}

}  // namespace tamsa

#endif
