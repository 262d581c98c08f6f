#include "tools/writers/y4m_out.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace tamsa::tools {

namespace {

// Studio range: luma 16..235 and chroma 16..240 for 0..255 RGB (ITU-R BT.601).
void yuv_of(const uint8_t *rgb, double &y, double &u, double &v) {
    const double r = rgb[0], g = rgb[1], b = rgb[2];
    y = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
    u = 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
    v = 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
}

// Full range: luma and chroma 0..255.
constexpr double kr = 0.299, kb = 0.114, kg = 1.0 - kr - kb;

void full_yuv_of(const uint8_t *rgb, double &y, double &u, double &v) {
    const double r = rgb[0], g = rgb[1], b = rgb[2];
    y = kr * r + kg * g + kb * b;
    u = 128.0 + (b - y) / (2.0 * (1.0 - kb));
    v = 128.0 + (r - y) / (2.0 * (1.0 - kr));
}

// The rules above with their divisions made products by the reciprocal: within 1e-12 of the
// rule's value, so that any value further than 1e-6 from a half rounds to the rule's level.
// A division costs several products, and the rule makes three a pixel.
constexpr double kInvStudio = 1.0 / 255.0;
constexpr double kInvBlue = 1.0 / (2.0 * (1.0 - kb));
constexpr double kInvRed = 1.0 / (2.0 * (1.0 - kr));

void quick_yuv_of(const uint8_t *rgb, double &y, double &u, double &v) {
    const double r = rgb[0], g = rgb[1], b = rgb[2];
    y = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) * kInvStudio;
    u = 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) * kInvStudio;
    v = 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) * kInvStudio;
}

void quick_full_yuv_of(const uint8_t *rgb, double &y, double &u, double &v) {
    const double r = rgb[0], g = rgb[1], b = rgb[2];
    y = kr * r + kg * g + kb * b;
    u = 128.0 + (b - y) * kInvBlue;
    v = 128.0 + (r - y) * kInvRed;
}

// Whether x lies within 1e-6 of a half (or below -0.5, not met here), where a value off by a
// rounding could round the other way.
bool near_half(double x) {
    const double t = x + 0.5;
    if (!(t >= 0.0 && t < 1e9)) return true;
    const double f = t - double(int64_t(t));
    return f < 1e-6 || f > 1.0 - 1e-6;
}

// x rounded half away from zero within 0..255, as std::lround does, without its call: for
// x >= 0, x + 0.5 is exact, or reaches the next power of two and cannot fall below it. Only a
// value within 2^-54 under 0.5 would round otherwise, and the rule makes none.
uint8_t level(double x) {
    return uint8_t(int((x < 0.0 ? 0.0 : x > 255.0 ? 255.0 : x) + 0.5));
}

const char *chroma_tag(chroma c) {
    switch (c) {
        case chroma::c420:
            return "420jpeg";
        case chroma::c422:
            return "422";
        case chroma::c411:
            return "411";
        case chroma::mono:
            return "mono";
        case chroma::c444:
            break;
    }
    return "444";
}

}  // namespace

std::string y4m_header(int32_t width, int32_t height, const y4m_spec &spec) {
    return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
           spec.rate + " I" + std::string(1, spec.interlace) + " A" + spec.aspect + " C" +
           chroma_tag(spec.layout) + (spec.full_range ? " XCOLORRANGE=FULL" : "") + "\n";
}

namespace {

template <bool kFull>
std::vector<uint8_t> planes_of(const picture &p, chroma layout) {
    const size_t w = size_t(p.width), h = size_t(p.height);
    const size_t across = size_t(chroma_across(layout)), down = size_t(chroma_down(layout));
    const size_t cw = size_t(chroma_width(layout, p.width));
    const size_t ch = size_t(chroma_height(layout, p.height));
    std::vector<uint8_t> out(w * h + 2 * cw * ch);
    constexpr auto rule = kFull ? full_yuv_of : yuv_of;
    constexpr auto quick = kFull ? quick_full_yuv_of : quick_yuv_of;
    const size_t channels = size_t(p.channels);
    const auto rgb_at = [&](size_t x, size_t row, uint8_t rgb[3]) {
        const uint8_t *px = &p.pixels[(row * w + x) * channels];
        rgb[0] = px[0];
        rgb[1] = px[channels == 1 ? 0 : 1];
        rgb[2] = px[channels == 1 ? 0 : 2];
    };
    // Sums in the order of the pixels, row by row, as the rule adds them; here of the quick
    // values, and again of the rule's own where the quick sum lands near a half.
    std::vector<double> us(cw * ch, 0.0), vs(cw * ch, 0.0);
    for (size_t row = 0; row < h; ++row) {
        uint8_t *y_out = out.data() + row * w;
        double *u_sum = across == 0 ? nullptr : &us[(row / down) * cw];
        double *v_sum = across == 0 ? nullptr : &vs[(row / down) * cw];
        for (size_t x = 0, c = 0, in_group = 0; x < w; ++x) {
            uint8_t rgb[3];
            rgb_at(x, row, rgb);
            double y, u, v;
            quick(rgb, y, u, v);
            if (near_half(y)) rule(rgb, y, u, v);
            y_out[x] = level(y);
            if (u_sum == nullptr) continue;
            u_sum[c] += u;
            v_sum[c] += v;
            if (++in_group == across) {
                in_group = 0;
                ++c;
            }
        }
    }
    uint8_t *u_plane = out.data() + w * h;
    uint8_t *v_plane = u_plane + cw * ch;
    for (size_t cy = 0; cy < ch; ++cy) {
        // Groups cut by the right or bottom edge hold fewer pixels.
        const size_t rows = std::min(down, h - cy * down);
        for (size_t cx = 0; cx < cw; ++cx) {
            const size_t columns = std::min(across, w - cx * across);
            const double count = double(rows * columns);
            const size_t c = cy * cw + cx;
            double u = us[c] / count, v = vs[c] / count;
            if (near_half(u) || near_half(v)) {
                double su = 0.0, sv = 0.0;
                for (size_t row = cy * down; row < cy * down + rows; ++row) {
                    for (size_t x = cx * across; x < cx * across + columns; ++x) {
                        uint8_t rgb[3];
                        double y, pu, pv;
                        rgb_at(x, row, rgb);
                        rule(rgb, y, pu, pv);
                        su += pu;
                        sv += pv;
                    }
                }
                u = su / count;
                v = sv / count;
            }
            u_plane[c] = level(u);
            v_plane[c] = level(v);
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> y4m_planes(const picture &p, chroma layout, bool full_range) {
    return full_range ? planes_of<true>(p, layout) : planes_of<false>(p, layout);
}

std::string resized_aspect(const std::string &aspect, int32_t from_w, int32_t from_h, int32_t to_w,
                           int32_t to_h) {
    const size_t colon = aspect.find(':');
    unsigned long long num = 0, den = 0;
    if (colon != std::string::npos) {
        num = std::stoull(aspect.substr(0, colon));
        den = std::stoull(aspect.substr(colon + 1));
    }
    if (num == 0 || den == 0) return aspect;
    if (from_w == to_w && from_h == to_h) return aspect;
    // The shown width num * from_w / den over from_h stays: the new pixels are
    // num * from_w * to_h : den * from_h * to_w.
    unsigned long long n = 0, d = 0;
    if (__builtin_mul_overflow(num, uint64_t(from_w) * uint64_t(to_h), &n) ||
        __builtin_mul_overflow(den, uint64_t(from_h) * uint64_t(to_w), &d)) {
        return "0:0";
    }
    const unsigned long long g = std::gcd(n, d);
    n /= g;
    d /= g;
    return std::to_string(n) + ":" + std::to_string(d);
}

}  // namespace tamsa::tools
