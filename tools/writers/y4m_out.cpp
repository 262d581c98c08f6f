#include "tools/writers/y4m_out.h"

#include <algorithm>
#include <cmath>
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
void full_yuv_of(const uint8_t *rgb, double &y, double &u, double &v) {
    const double r = rgb[0], g = rgb[1], b = rgb[2];
    constexpr double kr = 0.299, kb = 0.114, kg = 1.0 - kr - kb;
    y = kr * r + kg * g + kb * b;
    u = 128.0 + (b - y) / (2.0 * (1.0 - kb));
    v = 128.0 + (r - y) / (2.0 * (1.0 - kr));
}

// x rounded half away from zero within 0..255, as std::lround does, without its call: for
// x >= 0, x + 0.5 is exact, or reaches the next power of two and cannot fall below it. Only a
// value within 2^-54 under 0.5 would round otherwise, and the rule makes none.
uint8_t level(double x) {
    return uint8_t(int(std::fmin(255.0, std::fmax(0.0, x)) + 0.5));
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

std::vector<uint8_t> y4m_planes(const picture &p, chroma layout, bool full_range) {
    const size_t w = size_t(p.width), h = size_t(p.height);
    const size_t across = size_t(chroma_across(layout)), down = size_t(chroma_down(layout));
    const size_t cw = size_t(chroma_width(layout, p.width));
    const size_t ch = size_t(chroma_height(layout, p.height));
    std::vector<uint8_t> out(w * h + 2 * cw * ch);
    // Sums in the order of the pixels, row by row, as the rule adds them.
    std::vector<double> us(cw * ch, 0.0), vs(cw * ch, 0.0);
    std::vector<double> ys(w), row_u(w), row_v(w);
    const size_t channels = size_t(p.channels);
    for (size_t row = 0; row < h; ++row) {
        const uint8_t *line = &p.pixels[row * w * channels];
        for (size_t x = 0; x < w; ++x) {
            const uint8_t *px = line + x * channels;
            const uint8_t rgb[3] = {px[0], px[channels == 1 ? 0 : 1], px[channels == 1 ? 0 : 2]};
            if (full_range) {
                full_yuv_of(rgb, ys[x], row_u[x], row_v[x]);
            } else {
                yuv_of(rgb, ys[x], row_u[x], row_v[x]);
            }
        }
        uint8_t *y_out = out.data() + row * w;
        for (size_t x = 0; x < w; ++x) y_out[x] = level(ys[x]);
        if (across == 0) continue;
        double *u_sum = &us[(row / down) * cw];
        double *v_sum = &vs[(row / down) * cw];
        for (size_t x = 0, c = 0, in_group = 0; x < w; ++x) {
            u_sum[c] += row_u[x];
            v_sum[c] += row_v[x];
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
            const double count = double(rows * std::min(across, w - cx * across));
            const size_t c = cy * cw + cx;
            u_plane[c] = level(us[c] / count);
            v_plane[c] = level(vs[c] / count);
        }
    }
    return out;
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
