// Rotation, shear, transposition, smoothing and dithering.
#include <cmath>
#include <cstring>
#include <string>

#include "picture.h"
#include "tamsa/internal/settings.h"

namespace tamsa_python {

namespace {

// The record an operation that rebuilds its bitmap works on. Such an operation frees the buffer
// its record had: the caller's numpy memory is no block of the library and is left alone, but
// an array over a block of the library (one this module returned) would lose its buffer, so
// its pixels are copied first. Whatever buffer of the library the record holds at the end,
// other than the one taken as the result, is freed.
class rebuilt {
   public:
    explicit rebuilt(const picture &p) : record_(p.record), user_(p.record.data) {
        const auto bytes = size_t(p.bytes());
        if (bytes == 0 || tamsa_bus_address(user_) == 0) return;
        auto *copy = static_cast<uint8_t *>(PPCAllocVec(uint32_t(bytes), TAMSA_MEMF_ANY));
        if (copy == nullptr) raise_memory("no memory for a copy of the picture");
        std::memcpy(copy, user_, bytes);
        record_.data = copy;
        user_ = nullptr;
    }
    rebuilt(const rebuilt &) = delete;
    rebuilt &operator=(const rebuilt &) = delete;
    ~rebuilt() {
        if (record_.data != user_) PPCFreeVec(record_.data);
    }
    kv_bitmap *record() { return &record_; }
    // The pixels the library left in the record, as a new array.
    py::array take() {
        uint8_t *data = record_.data;
        record_.data = user_;
        return adopt_buffer(data, record_.height, record_.width, record_.bytesperpixel);
    }

   private:
    kv_bitmap record_;
    uint8_t *user_;
};

py::array rotate(array_arg image, double angle, colour_object fill) {
    picture p = read_picture(image, "image");
    const colour c = colour_arg(fill, "fill");
    if (!std::isfinite(angle)) raise_value("angle must be finite");
    rebuilt work(p);
    kv_bitmap *made = nullptr;
    {
        py::gil_scoped_release unlocked;
        made = kv_rotatebitmap(work.record(), c.red, c.green, c.blue, float(angle));
    }
    return adopt_bitmap(made);
}

py::array shear(array_arg image, int32_t first_row, int32_t last_row, int32_t first_shift,
                int32_t last_shift, colour_object fill) {
    picture p = read_picture(image, "image");
    const colour c = colour_arg(fill, "fill");
    rebuilt work(p);
    int32_t done = 0;
    {
        py::gil_scoped_release unlocked;
        done = kv_shearbitmap(work.record(), first_row, last_row, first_shift, last_shift, c.red,
                              c.green, c.blue);
    }
    if (done == 0) raise_memory("shear: no memory for the result, or it would be too large");
    return work.take();
}

py::array transpose(array_arg image) {
    picture p = read_picture(image, "image");
    rebuilt work(p);
    int32_t done = 0;
    {
        py::gil_scoped_release unlocked;
        done = kv_transposebitmap(work.record());
    }
    if (done == 0) raise_memory("transpose: no memory for the result");
    return work.take();
}

void smooth(array_arg image, int32_t passes) {
    picture p = write_picture(image, "image");
    if (passes < 0) raise_value("passes must be at least 0");
    rebuilt work(p);
    int32_t done = 0;
    {
        py::gil_scoped_release unlocked;
        done = kv_smoothbitmap(work.record(), passes);
    }
    if (done == 0) raise_memory("smooth: no memory for the second buffer");
    // The library keeps the buffer of the last pass, which may be its own.
    const uint8_t *result = work.record()->data;
    if (result != p.data()) std::memcpy(p.data(), result, size_t(p.bytes()));
    p.finish();
}

int32_t matrix_type(py::handle matrix) {
    if (py::isinstance<py::str>(matrix)) {
        const auto name = matrix.cast<std::string>();
        for (const auto &m : tamsa::settings::kDitherMatrices) {
            if (name == m.name) return m.type;
        }
        raise_value("matrix: unknown name " + name);
    }
    const auto type = matrix.cast<int64_t>();
    constexpr auto range = tamsa::settings::kDitherType;
    if (!range.holds(type)) {
        raise_value("matrix: expected " + std::to_string(range.low) + ".." +
                    std::to_string(range.high) + " or a name");
    }
    return int32_t(type);
}

py::array dither(array_arg image, matrix_object matrix) {
    picture p = read_picture(image, "image");
    const int32_t type = matrix_type(matrix);
    kv_bitmap *made = nullptr;
    {
        py::gil_scoped_release unlocked;
        made = kv_dither(&p.record, type);
    }
    return adopt_bitmap(made);
}

}  // namespace

void bind_transform(py::module_ &m) {
    m.def("rotate", &rotate, py::arg("image"), py::arg("angle"),
          py::arg("fill") = py::make_tuple(0, 0, 0),
          R"(A new array of the image rotated by ``angle`` degrees (bilinear, each weight's
product truncated), sized to hold the whole turned picture; corners outside it take ``fill``
(red, green, blue; a 1-byte picture takes the red level). The C call also borders its
argument with the fill colour; here the argument is left as it was.)");
    m.def("shear", &shear, py::arg("image"), py::arg("first_row"), py::arg("last_row"),
          py::arg("first_shift"), py::arg("last_shift"), py::arg("fill") = py::make_tuple(0, 0, 0),
          R"(A new array, wider by the larger shift, with rows first_row..last_row (included)
moved right by a shift running from ``first_shift`` to ``last_shift`` pixels (integer
percent steps); other rows stay at the left. Negative shifts count as 0. Uncovered pixels take
``fill``.)");
    m.def("transpose", &transpose, py::arg("image"),
          R"(A new array with rows and columns swapped: shape (w, h[, 3]).)");
    m.def("smooth", &smooth, py::arg("image"), py::arg("passes") = 1,
          R"(Smooths the picture in place, ``passes`` times: each inner byte becomes
(centre + (sum of its four neighbours) // 4) // 2; the border rows and columns are kept. With an odd number of passes the result
is copied back into the array.)");
    m.def("dither", &dither, py::arg("image"), py::arg("matrix") = "bayer4",
          R"(A new (h, w, 3) array in the 8 colours of full or no red, green and blue, ordered
dithering by ``matrix``: 1..7 or its name (classical_screen, rectangular, halftone, bayer4,
bayer16, four_stars, box), read at absolute pixel coordinates modulo its size.)");
    py::dict matrices;
    for (const auto &entry : tamsa::settings::kDitherMatrices) {
        // Views of the library's tables, read-only.
        py::array_t<uint8_t> cells({int64_t(entry.size), int64_t(entry.size)}, entry.cells, m);
        py::detail::array_proxy(cells.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        matrices[entry.name] = cells;
    }
    m.attr("DITHER_MATRICES") = matrices;
}

}  // namespace tamsa_python
