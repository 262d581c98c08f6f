// Binary PPM files.
#include <cerrno>
#include <string>

#include "picture.h"

namespace tamsa_python {

namespace {

std::string path_arg(py::handle path) {
    return py::str(py::module_::import("os").attr("fsdecode")(path)).cast<std::string>();
}

[[noreturn]] void raise_os(const std::string &message, const std::string &path) {
    PyErr_SetObject(PyExc_OSError, py::make_tuple(errno, message, path).ptr());
    throw py::error_already_set();
}

py::array load_ppm(path_object path) {
    const std::string name = path_arg(path);
    kv_bitmap *made = nullptr;
    {
        py::gil_scoped_release unlocked;
        errno = 0;
        made = kv_loadppmasbitmap(name.c_str());
    }
    // The library does not say which went wrong: a missing, unreadable or malformed file, or
    // no memory for the picture.
    if (made == nullptr) raise_os("not a readable binary PPM file", name);
    return adopt_bitmap(made);
}

void save_ppm(array_arg image, path_object path) {
    picture p = read_picture(image, "image");
    const std::string name = path_arg(path);
    int32_t done = 0;
    {
        py::gil_scoped_release unlocked;
        errno = 0;
        done = kv_savebitmapasppm(&p.record, name.c_str());
    }
    if (done == 0) raise_os("could not write the file", name);
}

}  // namespace

void bind_ppm(py::module_ &m) {
    m.def("load_ppm", &load_ppm, py::arg("path"),
          R"(Reads a binary PPM (P6, 8-bit) file into a new (h, w, 3) array. Raises OSError when
the file cannot be read or is no such file.)");
    m.def("save_ppm", &save_ppm, py::arg("image"), py::arg("path"),
          R"(Writes the picture as a binary PPM (P6) file; a 1-byte picture is written as grey
RGB. Raises OSError when the file cannot be written.)");
}

}  // namespace tamsa_python
