// Scaling and cutting.
#include <climits>

#include "picture.h"

namespace tamsa_python {

namespace {

void check_result_size(int64_t width, int64_t height, int32_t depth) {
    size_arg(width, "width");
    size_arg(height, "height");
    if (width * height * depth > INT32_MAX) raise_value("the result would exceed 2^31 - 1 bytes");
}

void check_source(const picture &source, int64_t width, int64_t height) {
    if (width * height > 0 && (source.width() == 0 || source.height() == 0)) {
        raise_value("image: an empty picture cannot be scaled to a non-empty one");
    }
}

py::array scale(array_arg image, int64_t width, int64_t height, optional_array out) {
    picture source = read_picture(image, "image");
    side_arg(width, "width");
    side_arg(height, "height");
    check_result_size(width, height, source.depth());
    check_source(source, width, height);
    if (out.is_none()) {
        kv_bitmap *made = nullptr;
        {
            py::gil_scoped_release unlocked;
            made = kv_scalecopybitmap(&source.record, int32_t(width), int32_t(height));
        }
        return adopt_bitmap(made);
    }
    picture target = write_picture(out, "out", source.depth() == 3 ? depths::rgb : depths::grey);
    if (target.width() != width || target.height() != height) {
        raise_value("out: expected the shape (height, width) asked for");
    }
    {
        py::gil_scoped_release unlocked;
        const auto sw = uint32_t(source.width()), sh = uint32_t(source.height());
        if (source.depth() == 3) {
            kv_scale24(source.data(), target.data(), sw, sh, uint32_t(width), uint32_t(height));
        } else {
            kv_scale8(source.data(), target.data(), sw, sh, uint32_t(width), uint32_t(height));
        }
    }
    target.finish();
    return py::reinterpret_borrow<py::array>(out);
}

py::array scale_frame(array_arg frame, int64_t width, int64_t height) {
    picture source = read_picture(frame, "frame");
    side_arg(width, "width");
    side_arg(height, "height");
    check_result_size(width, height, 1);
    check_source(source, width, height);
    kv_bitmap *made = nullptr;
    {
        py::gil_scoped_release unlocked;
        made = tamsa_scale_ll(&source.record, int32_t(width), int32_t(height));
    }
    return adopt_bitmap(made);
}

py::array cut(array_arg image, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    picture source = read_picture(image, "image");
    const int64_t w = (x1 > x2 ? int64_t(x1) - x2 : int64_t(x2) - x1) + 1;
    const int64_t h = (y1 > y2 ? int64_t(y1) - y2 : int64_t(y2) - y1) + 1;
    check_result_size(w, h, source.depth());
    kv_bitmap *made = nullptr;
    {
        py::gil_scoped_release unlocked;
        made = kv_cutbitmap(&source.record, x1, y1, x2, y2);
    }
    return adopt_bitmap(made);
}

}  // namespace

void bind_scale(py::module_ &m) {
    m.def("scale", &scale, py::arg("image"), py::arg("width"), py::arg("height"),
          py::arg("out") = py::none(),
          R"(Nearest-neighbour scaling to ``width`` x ``height`` pixels.

Result column i takes source column floor(i * w / width), rows likewise. Returns a new array
at the image's depth, or fills ``out`` (uint8, shape (height, width[, 3]), C-contiguous to be
written in place) and returns it. ``image`` is read in place when C-contiguous, else copied
once.)");
    m.def("scale_frame", &scale_frame, py::arg("frame"), py::arg("width"), py::arg("height"),
          R"(Scales a video frame to a new 1-byte (height, width) array, nearest neighbour.

As the server's OP_SCALE does, the frame is read as 1 byte per pixel whatever its depth: a
(h, w, 3) array is read as its first h * w bytes.)");
    m.def("cut", &cut, py::arg("image"), py::arg("x1"), py::arg("y1"), py::arg("x2"), py::arg("y2"),
          R"(A new array of the rectangle with corners (x1, y1) and (x2, y2), both included (any
two opposite corners), in pixels. Where it leaves the image it is black.)");
}

}  // namespace tamsa_python
