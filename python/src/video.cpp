// Video frames: YUV planes to pixels, correction, cross-fade, deinterlacing.
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "tamsa/internal/full_range.h"

#include "picture.h"

namespace tamsa_python {

namespace {

// Chroma layouts by the pixels a sample covers across and down, as the command reads them.
struct chroma_layout {
    const char *name;
    int64_t across, down;
};
constexpr chroma_layout kLayouts[] = {{"420", 2, 2}, {"422", 2, 1}, {"444", 1, 1}, {"411", 4, 1}};

std::string shape_text(int64_t h, int64_t w) {
    return "(" + std::to_string(h) + ", " + std::to_string(w) + ")";
}

std::string chroma_shape(const chroma_layout &l, int64_t h, int64_t w) {
    return shape_text((h + l.down - 1) / l.down, (w + l.across - 1) / l.across);
}

// The chroma shapes each layout gives a frame: what a refusal lists.
std::string layout_shapes(int64_t h, int64_t w) {
    std::string text;
    for (const chroma_layout &l : kLayouts) {
        text += std::string(text.empty() ? "" : ", ") + l.name + " " + chroma_shape(l, h, w);
    }
    return text;
}

const chroma_layout *layout_of_shape(const py::array &plane, int64_t h, int64_t w) {
    if (plane.ndim() != 2) return nullptr;
    for (const chroma_layout &l : kLayouts) {
        if (plane.shape(0) == (h + l.down - 1) / l.down &&
            plane.shape(1) == (w + l.across - 1) / l.across) {
            return &l;
        }
    }
    return nullptr;
}

// One chroma plane laid out as the command lays it for the conversion: every row of the frame
// gets its chroma row, as it is when whole groups fill the row (group across), else one sample
// a pixel (group 1).
std::vector<uint8_t> spread(const uint8_t *plane, const chroma_layout &l, int64_t h, int64_t w) {
    const int64_t cw = (w + l.across - 1) / l.across;
    const bool whole = w % l.across == 0;
    std::vector<uint8_t> out(size_t(h * (whole ? cw : w)));
    uint8_t *to = out.data();
    for (int64_t row = 0; row < h; ++row) {
        const uint8_t *from = plane + (row / l.down) * cw;
        if (whole) {
            std::copy(from, from + cw, to);
            to += cw;
        } else {
            for (int64_t x = 0; x < w; ++x) *to++ = from[x / l.across];
        }
    }
    return out;
}

py::array yuv_to_rgb(array_arg y, array_arg u, array_arg v, std::optional<int64_t> group,
                     std::optional<std::string> layout, const std::string &range, bool exact,
                     optional_array out) {
    byte_run luma = read_bytes(y, "y");
    byte_run blue_chroma = read_bytes(u, "u");
    byte_run red_chroma = read_bytes(v, "v");
    if (range != "limited" && range != "full") raise_value("range must be 'limited' or 'full'");
    const bool full = range == "full";
    if (group.has_value() && layout.has_value()) raise_value("give group or layout, not both");
    if (blue_chroma.array.ndim() != red_chroma.array.ndim() ||
        (blue_chroma.array.ndim() == 2 &&
         (blue_chroma.array.shape(0) != red_chroma.array.shape(0) ||
          blue_chroma.array.shape(1) != red_chroma.array.shape(1)))) {
        raise_value("u, v: expected planes of one shape");
    }
    const bool frame = luma.array.ndim() == 2;
    const int64_t h = frame ? luma.array.shape(0) : 0, w = frame ? luma.array.shape(1) : 0;
    const int64_t pixels = luma.size();
    // The layout by name, or by the planes' shapes when no group is given.
    const chroma_layout *by_layout = nullptr;
    if (layout.has_value()) {
        for (const chroma_layout &l : kLayouts) {
            if (*layout == l.name) by_layout = &l;
        }
        if (by_layout == nullptr) raise_value("layout must be '420', '422', '444' or '411'");
        if (!frame) raise_value("y: a layout needs the (h, w) luma plane");
        const int64_t ch = (h + by_layout->down - 1) / by_layout->down;
        const int64_t cw = (w + by_layout->across - 1) / by_layout->across;
        const py::array &plane = blue_chroma.array;
        const bool fits = plane.ndim() == 2 ? plane.shape(0) == ch && plane.shape(1) == cw
                                            : blue_chroma.size() == ch * cw;
        if (!fits) {
            raise_value("u, v: " + std::string(by_layout->name) + " chroma of a " +
                        shape_text(h, w) + " frame is " + shape_text(ch, cw));
        }
    } else if (!group.has_value() && frame && blue_chroma.array.ndim() == 2) {
        by_layout = layout_of_shape(blue_chroma.array, h, w);
        if (by_layout == nullptr) {
            raise_value(
                "u, v: " + shape_text(blue_chroma.array.shape(0), blue_chroma.array.shape(1)) +
                " is the chroma of no layout of a " + shape_text(h, w) + " frame (" +
                layout_shapes(h, w) + ")");
        }
    }
    int64_t step = group.value_or(4);
    if (step < 1 || step > INT32_MAX) raise_value("group must lie in 1..2^31 - 1");
    if (by_layout == nullptr) {
        // The library's own rule: groups along the whole plane. Planes with a shape must have
        // the one that rule gives, so that another layout is not read as groups.
        if (pixels % step != 0) raise_value("y: the pixel count must be a multiple of group");
        if (frame && blue_chroma.array.ndim() == 2 &&
            (w % step != 0 || blue_chroma.array.shape(0) != h ||
             blue_chroma.array.shape(1) != w / step)) {
            const chroma_layout *other = layout_of_shape(blue_chroma.array, h, w);
            raise_value(
                "u, v: " + shape_text(blue_chroma.array.shape(0), blue_chroma.array.shape(1)) +
                " is not one sample per group of " + std::to_string(step) + " pixels of a " +
                shape_text(h, w) + " frame" +
                (w % step == 0 ? " (" + shape_text(h, w / step) + ")" : "") +
                (other != nullptr ? "; it is " + std::string(other->name) +
                                        " chroma: give layout='" + other->name + "', or no group"
                                  : ""));
        }
        if (blue_chroma.size() != pixels / step || red_chroma.size() != pixels / step) {
            raise_value("u, v: expected one chroma sample per group of pixels");
        }
    }
    if (pixels * 3 > INT32_MAX) raise_value("the result would exceed 2^31 - 1 bytes");
    py::array result;
    if (out.is_none()) {
        if (frame) {
            result = new_picture(h, w, 3);
        } else {
            result = py::array_t<uint8_t>({pixels, int64_t(3)});
        }
    } else {
        result = py::reinterpret_borrow<py::array>(out);
    }
    byte_run target = write_bytes(result, "out");
    if (target.size() != pixels * 3) raise_value("out: expected 3 bytes per pixel of y");
    // A count of 0 would have the library convert one whole group: nothing to convert here.
    if (pixels == 0) return result;
    {
        py::gil_scoped_release unlocked;
        std::vector<uint8_t> spread_u, spread_v;
        const uint8_t *cu = blue_chroma.data(), *cv = red_chroma.data();
        if (by_layout != nullptr) {
            spread_u = spread(cu, *by_layout, h, w);
            spread_v = spread(cv, *by_layout, h, w);
            cu = spread_u.data();
            cv = spread_v.data();
            step = w % by_layout->across == 0 ? by_layout->across : 1;
        }
        if (full) {
            tamsa::full_range_to_bgr(luma.data(), cv, cu, target.data(), uint64_t(pixels),
                                     uint32_t(step));
        } else if (exact) {
            kv_yuv_to_rgb(luma.data(), cv, cu, target.data(), uint32_t(pixels), uint32_t(step));
        } else {
            fx_yuvtorgb_ll(luma.data(), cv, cu, target.data(), uint32_t(pixels), uint32_t(step));
        }
    }
    target.finish();
    return result;
}

py::array yuv_scale(array_arg y, array_arg u, array_arg v, int64_t width, int64_t height) {
    picture luma = read_picture(y, "y", depths::grey);
    byte_run blue_chroma = read_bytes(u, "u");
    byte_run red_chroma = read_bytes(v, "v");
    side_arg(width, "width");
    side_arg(height, "height");
    if (width * height * 3 > INT32_MAX) raise_value("the result would exceed 2^31 - 1 bytes");
    chroma_411(luma, blue_chroma, red_chroma);
    if (width * height > 0 && luma.bytes() == 0) {
        raise_value("y: an empty frame cannot be scaled to a non-empty one");
    }
    kv_bitmap *made = nullptr;
    {
        py::gil_scoped_release unlocked;
        made = fx_yuvscale_ll(luma.data(), red_chroma.data(), blue_chroma.data(), luma.width(),
                              luma.height(), int32_t(width), int32_t(height));
    }
    return adopt_bitmap(made);
}

void correct(array_arg image, int32_t contrast, int32_t brightness, bool invert) {
    picture p = write_picture(image, "image");
    {
        py::gil_scoped_release unlocked;
        tamsa_correct_ll(&p.record, contrast, brightness, int16_t(invert ? 1 : 0));
    }
    p.finish();
}

py::array fade(array_arg first, array_arg second, int32_t level, optional_array out) {
    picture a = read_picture(first, "first");
    picture b = read_picture(second, "second");
    if (level < 0 || level > 255) raise_value("level must lie in 0..255");
    if (a.depth() != b.depth() || a.width() != b.width() || a.height() != b.height()) {
        raise_value("second: expected the shape of first");
    }
    py::array result = out.is_none() ? new_picture(a.height(), a.width(), a.depth())
                                     : py::reinterpret_borrow<py::array>(out);
    picture target = write_picture(result, "out");
    if (target.width() != a.width() || target.height() != a.height() ||
        target.depth() != a.depth()) {
        raise_value("out: expected the shape of first");
    }
    {
        py::gil_scoped_release unlocked;
        tamsa_fadeover_ll(a.data(), b.data(), target.data(), level, int32_t(a.bytes()), 1, 1);
    }
    target.finish();
    return result;
}

void deinterlace(array_arg frame) {
    picture p = write_picture(frame, "frame");
    {
        py::gil_scoped_release unlocked;
        tamsa_deinterlace_ll(&p.record);
    }
    p.finish();
}

}  // namespace

void bind_video(py::module_ &m) {
    m.def("yuv_to_rgb", &yuv_to_rgb, py::arg("y"), py::arg("u"), py::arg("v"),
          py::arg("group") = py::none(), py::arg("layout") = py::none(),
          py::arg("range") = "limited", py::arg("exact") = false, py::arg("out") = py::none(),
          R"(Planar YUV to pixels, written blue, green, red (3 bytes a pixel).

``y`` holds one byte per pixel (a (h, w) plane gives a (h, w, 3) result, any other shape an
(n, 3) one). The chroma planes ``u`` and ``v`` are read in one of two ways:

- by ``layout`` ('420', '422', '444' or '411'), or from their (h, w) shapes when neither
  ``layout`` nor ``group`` is given: a 4:2:0 frame of (h, w) has (ceil(h/2), ceil(w/2))
  chroma, 4:2:2 (h, ceil(w/2)), 4:4:4 (h, w), 4:1:1 (h, ceil(w/4)). Each row takes its chroma
  row, as ``tamsa record`` converts a clip. Shapes that fit no layout raise ValueError.
- by ``group`` (4 for flat planes given neither): one sample per ``group`` pixels along the
  whole plane, the library's own rule; the pixel count must be a multiple of ``group``, and
  (h, w) chroma must be (h, w / group), so that 4:2:0 planes are not read as groups.

``range`` 'limited' (studio: luma 16..235, through the library's fixed tables, or per pixel in
double precision with ``exact``) or 'full' (0..255, as XCOLORRANGE=FULL clips: per pixel,
within half a level of the exact BT.601 rule). Fills ``out`` (3 bytes per pixel) when given.
An empty ``y`` gives an empty result (the C call converts one whole group for a count of 0).)");
    m.def("yuv_scale", &yuv_scale, py::arg("y"), py::arg("u"), py::arg("v"), py::arg("width"),
          py::arg("height"),
          R"(A YUV frame converted and resized (nearest neighbour) to a new (height, width, 3)
array, written blue, green, red. ``y`` is the (h, w) luma plane; ``u`` and ``v`` hold one
sample per 4 luma bytes, counted along the whole plane rather than per row; chroma planes with
a shape must be (h, w / 4), so that other layouts raise ValueError (``yuv_to_rgb`` reads them).)");
    m.def("correct", &correct, py::arg("image"), py::arg("contrast") = 100,
          py::arg("brightness") = 0, py::arg("invert") = false,
          R"(Contrast (percent, 100 leaves it), brightness (added, saturating) and inversion
applied to every byte, in place: (byte - 128) * contrast / 100 + 128 + brightness.)");
    m.def("fade", &fade, py::arg("first"), py::arg("second"), py::arg("level"),
          py::arg("out") = py::none(),
          R"(Cross-fade: each byte blended from ``first`` and ``second`` (same shape), ``level``
0..255 being the weight of ``second``. Returns a new array or fills ``out``.)");
    m.def("deinterlace", &deinterlace, py::arg("frame"),
          R"(Copies every even row over the odd row below it, in place.)");
}

}  // namespace tamsa_python
