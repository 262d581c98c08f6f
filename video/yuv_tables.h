// The integer conversion tables of the YUV conversions, shared by the plain and the scaled
// conversion so that both turn the same bytes into the same pixels. Private to video/.
#ifndef TAMSA_VIDEO_YUV_TABLES_H
#define TAMSA_VIDEO_YUV_TABLES_H

#include <algorithm>
#include <array>
#include <cstdint>

namespace tamsa::video {

// Each table maps a byte to its studio-range term: the byte's distance from its zero point
// (16 for luma, 128 for chroma) times a constant, truncated toward zero.
struct yuv_tables {
    std::array<int32_t, 256> luma;
    std::array<int32_t, 256> red_v;
    std::array<int32_t, 256> green_v;
    std::array<int32_t, 256> blue_u;
    std::array<int32_t, 256> green_u;
};

// Truncates toward zero, not down: the byte 127 gives -1 in red_v where flooring gives -2.
constexpr int32_t yuv_term(int32_t offset, double constant) {
    return int32_t(double(offset) * constant);
}

constexpr yuv_tables make_yuv_tables() {
    yuv_tables t{};
    for (int32_t i = 0; i < 256; ++i) {
        t.luma[i] = yuv_term(i - 16, 1.164);
        t.red_v[i] = yuv_term(i - 128, 1.596);
        t.green_v[i] = yuv_term(i - 128, 0.813);
        t.blue_u[i] = yuv_term(i - 128, 2.018);
        t.green_u[i] = yuv_term(i - 128, 0.391);
    }
    return t;
}

// The tables are the same for every call, so they are worked out once, when the library is built.
inline constexpr yuv_tables kYuvTables = make_yuv_tables();

constexpr uint8_t clamp_byte(int32_t value) {
    return value < 0 ? 0 : value > 255 ? 255 : uint8_t(value);
}

// ---- the clamp table of the fast kernels ----
//
// The tables are the same on every call, so the range of every channel sum is known here:
// blue = L + blue_u[U], green = L - (green_u[U] + green_v[V]), red = L + red_v[V]. A fast
// kernel clamps by looking the sum up in one table instead of comparing twice.

namespace detail {
constexpr int32_t low(const std::array<int32_t, 256> &a) {
    return std::ranges::min(a);
}
constexpr int32_t high(const std::array<int32_t, 256> &a) {
    return std::ranges::max(a);
}
}  // namespace detail

inline constexpr int32_t kSumLow =
    detail::low(kYuvTables.luma) +
    std::min({detail::low(kYuvTables.blue_u),
              -(detail::high(kYuvTables.green_u) + detail::high(kYuvTables.green_v)),
              detail::low(kYuvTables.red_v)});
inline constexpr int32_t kSumHigh =
    detail::high(kYuvTables.luma) +
    std::max({detail::high(kYuvTables.blue_u),
              -(detail::low(kYuvTables.green_u) + detail::low(kYuvTables.green_v)),
              detail::high(kYuvTables.red_v)});

// clamp_table[s - kSumLow] is s clamped to 0..255.
inline constexpr auto clamp_table = [] {
    std::array<uint8_t, kSumHigh - kSumLow + 1> t{};
    for (int32_t s = kSumLow; s <= kSumHigh; ++s) t[s - kSumLow] = clamp_byte(s);
    return t;
}();

static_assert(kSumLow == -276 && kSumHigh == 534);

// The per-group terms of a fast kernel, as offsets into the clamp table: the clamped blue of a
// pixel is clamp_table[L + blue], and likewise for green and red. Never negative.
struct chroma_terms {
    int32_t blue;
    int32_t green;
    int32_t red;
};

inline chroma_terms terms_of(const yuv_tables &t, uint8_t v, uint8_t u) {
    return {t.blue_u[u] - kSumLow, -(t.green_u[u] + t.green_v[v]) - kSumLow, t.red_v[v] - kSumLow};
}

}  // namespace tamsa::video

#endif
