// Picture files (PPM, PGM, PAM, PNG, JPEG) through the command's own reading and writing code,
// and the command's exact quarter turns and mirrors.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "picture.h"
#include "tools/commands/cli.h"
#include "tools/pictures/picture.h"

namespace tamsa_python {

namespace {

namespace tools = tamsa::tools;

std::string path_arg(py::handle path) {
    return py::str(py::module_::import("os").attr("fsdecode")(path)).cast<std::string>();
}

void warn(const std::string &message) {
    PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 2);
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
}

// Pixels decoded straight into memory that becomes the array's: not cleared first, since the
// decoders write every byte of a picture they read whole, and one they cannot is thrown away.
// A large picture's memory comes in huge pages where the system gives them on request: its fresh
// memory then takes a fault per 2 MiB instead of per 4 KiB, most of a first load's time. Memory
// the heap hands out again is already there, and unchanged by the request.
struct loaded_pixels {
    struct freer {
        void operator()(void *p) const { std::free(p); }
    };
    std::unique_ptr<void, freer> block;
    uint8_t *data = nullptr;
    tools::picture_info info;
    bool refused = false;  // no memory for the pixels

    tools::pixel_place place() {
        return [this](int32_t w, int32_t h, int32_t c) {
            const tools::huge_buffer b =
                tools::allocate_in_huge_pages(size_t(w) * size_t(h) * size_t(c));
            block.reset(b.block);
            data = b.data;
            refused = data == nullptr;
            return data;
        };
    }
    py::array adopt() {
        py::capsule owner(block.get(), [](void *v) { std::free(v); });
        block.release();
        const int64_t h = info.height, w = info.width;
        if (info.channels == 1) return py::array_t<uint8_t>({h, w}, data, owner);
        return py::array_t<uint8_t>({h, w, int64_t(3)}, data, owner);
    }
};

py::array load(source_object source) {
    loaded_pixels p;
    std::string name;
    try {
        if (PyObject_CheckBuffer(source.ptr()) != 0 && !py::isinstance<py::str>(source)) {
            // Bytes, bytearray, memoryview and the like: the encoded file itself.
            py::buffer_info b = py::reinterpret_borrow<py::buffer>(source).request();
            if (b.ndim != 1 || b.itemsize != 1 || b.strides[0] != 1)
                throw py::type_error("source: expected a path or contiguous bytes");
            name = "bytes";
            py::gil_scoped_release unlocked;
            p.info = tools::load_picture_bytes_into(static_cast<const uint8_t *>(b.ptr),
                                                    size_t(b.size), name, 0, p.place());
        } else {
            name = path_arg(source);
            if (name == "-") throw py::value_error("source: '-' names no file here");
            py::gil_scoped_release unlocked;
            p.info = tools::load_picture_into(name, 0, p.place());
        }
    } catch (const tamsa::cli::failure &f) {
        if (p.refused) throw std::bad_alloc();
        PyErr_SetObject(PyExc_OSError, py::make_tuple(0, f.message).ptr());
        throw py::error_already_set();
    }
    if (p.info.dropped_alpha) warn(name + ": transparency dropped (the library has no alpha)");
    if (p.info.orientation != 1) {
        warn(name + ": EXIF orientation " + std::to_string(p.info.orientation) +
             " is not applied; the picture is as stored (turn and flip can right it)");
    }
    return p.adopt();
}

void save(path_object path, array_arg image, std::optional<std::string> format, int64_t quality) {
    const std::string name = path_arg(path);
    tools::picture_format f{};
    try {
        f = format.has_value() ? tools::format_named(*format) : tools::format_for(name);
    } catch (const tamsa::cli::usage_error &e) {
        raise_value(e.message);
    }
    if (quality < 1 || quality > 100) raise_value("quality must lie in 1..100");
    picture in = read_picture(image, "image");
    if (in.width() < 1 || in.height() < 1) raise_value("image: an empty picture has no file");
    const std::string large = tools::too_large_for(f, in.width(), in.height());
    if (!large.empty()) raise_value(large);
    if (f == tools::picture_format::pgm && in.depth() == 3)
        warn(name + ": the colour picture is written grey (BT.601 luma), as PGM holds");
    // Written from the array itself.
    const tools::picture_view p{in.width(), in.height(), in.depth(), in.data()};
    try {
        py::gil_scoped_release unlocked;
        tools::save_picture(name, p, f, int32_t(quality));
    } catch (const tamsa::cli::failure &e) {
        PyErr_SetObject(PyExc_OSError, py::make_tuple(0, e.message, name).ptr());
        throw py::error_already_set();
    }
}

py::array turn(array_arg image, int64_t angle) {
    picture in = read_picture(image, "image");
    if (angle != 90 && angle != 180 && angle != 270) {
        raise_value("angle must be 90, 180 or 270 (counter-clockwise; rotate takes any angle)");
    }
    const auto quarters = int32_t(angle / 90);
    const bool sideways = quarters != 2;
    py::array out = new_picture(sideways ? in.width() : in.height(),
                                sideways ? in.height() : in.width(), in.depth());
    auto *to = static_cast<uint8_t *>(out.mutable_data());
    if (in.bytes() > 0) {
        py::gil_scoped_release unlocked;
        tools::turn_pixels(in.data(), in.width(), in.height(), in.depth(), quarters, to);
    }
    return out;
}

py::array flip(array_arg image, const std::string &direction) {
    picture in = read_picture(image, "image");
    if (direction != "h" && direction != "v")
        raise_value("direction must be 'h' (left and right) or 'v' (top and bottom)");
    py::array out = new_picture(in.height(), in.width(), in.depth());
    auto *to = static_cast<uint8_t *>(out.mutable_data());
    if (in.bytes() > 0) {
        py::gil_scoped_release unlocked;
        std::memcpy(to, in.data(), size_t(in.bytes()));
        tools::flip_pixels(to, in.width(), in.height(), in.depth(), direction == "h");
    }
    return out;
}

}  // namespace

void bind_files(py::module_ &m) {
    m.def("load", &load, py::arg("source"),
          R"(Reads a picture file into a new array: (h, w) for a grey picture, (h, w, 3) for a
colour one. ``source`` is a path, or the file's bytes (bytes, bytearray, memoryview). Reads
PPM and PGM (binary or plain, 8 or 16 bits a sample), PAM (GRAYSCALE, RGB and their _ALPHA
forms), PNG and JPEG (8-bit grey or colour, baseline or progressive), as ``tamsa image`` does:
16-bit samples are rounded to 8 bits; transparency is dropped and a JPEG's EXIF orientation
is not applied, each with a UserWarning. CMYK JPEGs are refused. Raises OSError when the file
cannot be read or is no such picture.)");
    m.def("save", &save, py::arg("path"), py::arg("image"), py::arg("format") = py::none(),
          py::arg("quality") = tools::kDefaultJpegQuality,
          R"(Writes the picture to ``path``, whole or not at all, as ``tamsa image`` writes it:
in the format its extension names (.ppm, .pgm, .pnm, .pam, .png, .jpg, .jpeg, in any case), or
``format`` ('ppm', 'pgm', 'pnm', 'pam', 'png', 'jpeg'). A grey (h, w) array stays grey but in
PPM; a colour one written as PGM is made grey by BT.601 luma, with a UserWarning. JPEG is
written at ``quality`` 1..100 (4:2:0 for colour). Raises ValueError for an unknown format or
an empty picture, OSError when the file cannot be written.)");
    m.def("turn", &turn, py::arg("image"), py::arg("angle"),
          R"(A new array of the image turned counter-clockwise by ``angle``: 90, 180 or 270
degrees. Every pixel is moved as it is (rotate resamples and grows the picture).)");
    m.def("flip", &flip, py::arg("image"), py::arg("direction"),
          R"(A new array of the image's mirror image: 'h' exchanges left and right, 'v' top and
bottom.)");
}

}  // namespace tamsa_python
