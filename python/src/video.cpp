// Video frames: YUV planes to pixels, correction, cross-fade, deinterlacing.
#include <climits>

#include "picture.h"

namespace tamsa_python {

namespace {

py::array yuv_to_rgb(array_arg y, array_arg u, array_arg v, int64_t group, bool exact,
                     optional_array out) {
    byte_run luma = read_bytes(y, "y");
    byte_run blue_chroma = read_bytes(u, "u");
    byte_run red_chroma = read_bytes(v, "v");
    if (group < 1 || group > INT32_MAX) raise_value("group must lie in 1..2^31 - 1");
    const int64_t pixels = luma.size();
    // The library converts whole groups: a partial one would be read past the luma plane.
    if (pixels % group != 0) raise_value("y: the pixel count must be a multiple of group");
    const int64_t groups = pixels / group;
    if (blue_chroma.size() < groups || red_chroma.size() < groups) {
        raise_value("u, v: expected one chroma sample per group of pixels");
    }
    if (pixels * 3 > INT32_MAX) raise_value("the result would exceed 2^31 - 1 bytes");
    py::array result;
    if (out.is_none()) {
        if (luma.array.ndim() == 2) {
            result = new_picture(luma.array.shape(0), luma.array.shape(1), 3);
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
        if (exact) {
            kv_yuv_to_rgb(luma.data(), red_chroma.data(), blue_chroma.data(), target.data(),
                          uint32_t(pixels), uint32_t(group));
        } else {
            fx_yuvtorgb_ll(luma.data(), red_chroma.data(), blue_chroma.data(), target.data(),
                           uint32_t(pixels), uint32_t(group));
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
    const int64_t chroma = (luma.bytes() + 3) / 4;
    if (blue_chroma.size() < chroma || red_chroma.size() < chroma) {
        raise_value("u, v: expected one chroma sample per 4 luma bytes");
    }
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
    m.def("yuv_to_rgb", &yuv_to_rgb, py::arg("y"), py::arg("u"), py::arg("v"), py::arg("group") = 4,
          py::arg("exact") = false, py::arg("out") = py::none(),
          R"(Planar YUV to pixels, written blue, green, red (3 bytes a pixel).

``y`` holds one byte per pixel (a (h, w) plane gives a (h, w, 3) result, any other shape an
(n, 3) one); ``u`` and ``v`` one sample per ``group`` pixels, so the pixel count must be a
multiple of ``group``. Studio-range luma. ``exact`` computes each pixel in double precision
instead of through the fixed tables. Fills ``out`` (3 bytes per pixel) when given. An empty
``y`` gives an empty result (the C call converts one whole group for a count of 0).)");
    m.def("yuv_scale", &yuv_scale, py::arg("y"), py::arg("u"), py::arg("v"), py::arg("width"),
          py::arg("height"),
          R"(A YUV frame converted and resized (nearest neighbour) to a new (height, width, 3)
array, written blue, green, red. ``y`` is the (h, w) luma plane; ``u`` and ``v`` hold one
sample per 4 luma bytes, counted along the whole plane rather than per row.)");
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
