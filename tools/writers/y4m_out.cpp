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

// The rules again in whole numbers: every value is offset + n / den exactly, n being a sum of
// the levels times whole weights (studio range: its coefficients in thousandths; full range: its
// weights in thousandths, for which 2 (1 - kb) and 2 (1 - kr) are 1.772 and 1.402). A group of k
// pixels averages to offset + (their sum of n) / (k den). Away from a half such a value lies
// at least 1 / (4 den) from one, far beyond the rule's rounding in floating point, so both
// round alike; on a half exactly the rule's own sums decide.
struct whole_rule {
    int32_t y[3], u[3], v[3];
    int64_t y_den, u_den, v_den;
    int64_t y_offset;
};
constexpr whole_rule kWholeStudio{{65481, 128553, 24966},
                                  {-37797, -74203, 112000},
                                  {112000, -93786, -18214},
                                  255000,
                                  255000,
                                  255000,
                                  16};
constexpr whole_rule kWholeFull{
    {299, 587, 114}, {-299, -587, 886}, {701, -587, -114}, 1000, 1772, 1402, 0};

// offset + n / Den rounded half up within 0..255, or -1 on a half exactly. Den is even, and
// every value the rules make lies above -1/2.
template <int64_t Den>
int whole_level(int64_t offset, int64_t n) {
    const int64_t x = offset * Den + Den / 2 + n;
    if (x % Den == 0) return -1;
    return int(std::min<int64_t>(255, x / Den));
}

// The same for a group of count pixels, by a constant divisor for each count from 1 to 4 (the
// layouts' groups); a larger group, whose values could lie nearer a half, takes the rule (-1).
template <int64_t Den>
int group_level(int64_t offset, int64_t sum, size_t count) {
    switch (count) {
        case 1:
            return whole_level<Den>(offset, sum);
        case 2:
            return whole_level<2 * Den>(offset, sum);
        case 3:
            return whole_level<3 * Den>(offset, sum);
        case 4:
            return whole_level<4 * Den>(offset, sum);
        default:
            return -1;
    }
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
    constexpr whole_rule k = kFull ? kWholeFull : kWholeStudio;
    const size_t channels = size_t(p.channels);
    const size_t green = channels == 1 ? 0 : 1, blue = channels == 1 ? 0 : 2;
    // Each group's sums of n, at most 4 x 255 x 112000 in size.
    std::vector<int32_t> us(cw * ch, 0), vs(cw * ch, 0);
    for (size_t row = 0; row < h; ++row) {
        uint8_t *y_out = out.data() + row * w;
        const uint8_t *px = &p.pixels[row * w * channels];
        int32_t *u_sum = across == 0 ? nullptr : &us[(row / down) * cw];
        int32_t *v_sum = across == 0 ? nullptr : &vs[(row / down) * cw];
        for (size_t x = 0, c = 0, in_group = 0; x < w; ++x, px += channels) {
            const int32_t r = px[0], g = px[green], b = px[blue];
            const int y = whole_level<k.y_den>(k.y_offset, k.y[0] * r + k.y[1] * g + k.y[2] * b);
            if (y >= 0) {
                y_out[x] = uint8_t(y);
            } else {
                const uint8_t rgb[3] = {px[0], px[green], px[blue]};
                double ry, ru, rv;
                rule(rgb, ry, ru, rv);
                y_out[x] = level(ry);
            }
            if (u_sum == nullptr) continue;
            u_sum[c] += k.u[0] * r + k.u[1] * g + k.u[2] * b;
            v_sum[c] += k.v[0] * r + k.v[1] * g + k.v[2] * b;
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
            const size_t c = cy * cw + cx;
            const int u = group_level<k.u_den>(128, us[c], rows * columns);
            const int v = group_level<k.v_den>(128, vs[c], rows * columns);
            if (u >= 0 && v >= 0) {
                u_plane[c] = uint8_t(u);
                v_plane[c] = uint8_t(v);
                continue;
            }
            // On a half: the rule's own means, its values summed in the order of the pixels.
            double su = 0.0, sv = 0.0;
            for (size_t row = cy * down; row < cy * down + rows; ++row) {
                for (size_t x = cx * across; x < cx * across + columns; ++x) {
                    const uint8_t *at = &p.pixels[(row * w + x) * channels];
                    const uint8_t rgb[3] = {at[0], at[green], at[blue]};
                    double y, pu, pv;
                    rule(rgb, y, pu, pv);
                    su += pu;
                    sv += pv;
                }
            }
            const double count = double(rows * columns);
            u_plane[c] = level(su / count);
            v_plane[c] = level(sv / count);
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
