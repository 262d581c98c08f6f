#include "tools/writers/y4m_out.h"

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

uint8_t level(double x) {
    return uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, x))));
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
    std::vector<double> us(cw * ch, 0.0), vs(cw * ch, 0.0), counts(cw * ch, 0.0);
    uint8_t grey[3];
    for (size_t row = 0; row < h; ++row) {
        for (size_t x = 0; x < w; ++x) {
            const uint8_t *px = &p.pixels[(row * w + x) * size_t(p.channels)];
            if (p.channels == 1) {
                grey[0] = grey[1] = grey[2] = px[0];
                px = grey;
            }
            double y, u, v;
            if (full_range) {
                full_yuv_of(px, y, u, v);
            } else {
                yuv_of(px, y, u, v);
            }
            out[row * w + x] = level(y);
            if (across == 0) continue;
            const size_t c = (row / down) * cw + x / across;
            us[c] += u;
            vs[c] += v;
            counts[c] += 1.0;
        }
    }
    uint8_t *u_plane = out.data() + w * h;
    uint8_t *v_plane = u_plane + cw * ch;
    for (size_t c = 0; c < cw * ch; ++c) {
        u_plane[c] = level(us[c] / counts[c]);
        v_plane[c] = level(vs[c] / counts[c]);
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
