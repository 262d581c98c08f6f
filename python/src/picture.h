// Pictures as numpy arrays: reading the arguments, refusing what the library cannot take, and
// handing the library's own buffers to Python without a copy.
#ifndef TAMSA_PYTHON_PICTURE_H
#define TAMSA_PYTHON_PICTURE_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "tamsa/tamsa.h"

namespace tamsa_python {

namespace py = pybind11;

// Which depths an argument may have.
enum class depths { any, rgb, grey };

// A picture argument: uint8 of shape (h, w, 3) or (h, w), held as a record the library can
// read. A C-contiguous array is used as it is; any other is copied once into a contiguous one,
// and for a written argument copied back by finish().
struct picture {
    py::array array;      // what the library reads and writes
    py::object original;  // the caller's array when `array` is a copy of it
    kv_bitmap record{};
    bool copied = false;

    uint8_t *data() const { return record.data; }
    int32_t width() const { return record.width; }
    int32_t height() const { return record.height; }
    int32_t depth() const { return record.bytesperpixel; }
    int64_t bytes() const { return int64_t(record.width) * record.height * record.bytesperpixel; }
    // A written copy goes back into the caller's array.
    void finish();
};

// A picture the library only reads.
picture read_picture(py::handle object, const char *name, depths allowed = depths::any);
// A picture the library writes into: its array must be writable.
picture write_picture(py::handle object, const char *name, depths allowed = depths::any);

// A run of bytes: any uint8 array, read as its bytes in C order.
struct byte_run {
    py::array array;
    py::object original;
    bool copied = false;
    uint8_t *data() const { return static_cast<uint8_t *>(const_cast<void *>(array.data())); }
    int64_t size() const { return int64_t(array.size()); }
    void finish();
};
byte_run read_bytes(py::handle object, const char *name);
byte_run write_bytes(py::handle object, const char *name);

// A new uint8 array of shape (h, w, depth), or (h, w) for depth 1, owned by numpy.
py::array new_picture(int64_t height, int64_t width, int32_t depth);
// The pixels of a bitmap the library made, as an array that frees them when it goes: no copy.
// Takes the record; a null record raises MemoryError.
py::array adopt_bitmap(kv_bitmap *bitmap);
// An array over a buffer from PPCAllocVec that frees it when it goes.
py::array adopt_buffer(uint8_t *buffer, int64_t height, int64_t width, int32_t depth);

// A checked size for the library's 32-bit arguments.
int32_t size_arg(int64_t value, const char *name);
// The same for the side of a new picture, which is at least 1, as the command has it.
int32_t side_arg(int64_t value, const char *name);
// A colour (red, green, blue), each 0..255.
struct colour {
    int32_t red, green, blue;
};
colour colour_arg(py::handle object, const char *name);

// The chroma samples of a 4:1:1 frame of luma (one per 4 luma bytes along the whole plane),
// refusing planes too small or shaped as another layout.
int64_t chroma_411(const picture &luma, const byte_run &u, const byte_run &v);

[[noreturn]] void raise_value(const std::string &message);
[[noreturn]] void raise_memory(const char *operation);

// The bindings of each family.
void bind_bytes(py::module_ &m);
void bind_scale(py::module_ &m);
void bind_video(py::module_ &m);
void bind_blit(py::module_ &m);
void bind_transform(py::module_ &m);
void bind_ppm(py::module_ &m);
void bind_client(py::module_ &m);
void bind_files(py::module_ &m);

// Every function and method of the module, once all are bound: an argument of the wrong type
// raises a TypeError that names the argument and the type it takes, and shows no values.
void name_type_errors(py::module_ &m);

}  // namespace tamsa_python

// Arguments any object may be given for, which the functions check themselves: only the name
// help() shows for each differs, numpy.ndarray for pictures and runs of bytes, the others what
// they take.
#define TAMSA_PYTHON_ARGUMENT(type, shown)                                               \
    namespace tamsa_python {                                                             \
    struct type : py::handle {                                                           \
        type() = default;                                                                \
        explicit type(py::handle h) : py::handle(h) {}                                   \
    };                                                                                   \
    }                                                                                    \
    namespace pybind11::detail {                                                         \
    template <>                                                                          \
    struct type_caster<tamsa_python::type> {                                             \
        PYBIND11_TYPE_CASTER(tamsa_python::type, const_name(shown));                     \
        bool load(handle src, bool) {                                                    \
            value = tamsa_python::type(src);                                             \
            return true;                                                                 \
        }                                                                                \
        static handle cast(const tamsa_python::type &src, return_value_policy, handle) { \
            return src.inc_ref();                                                        \
        }                                                                                \
    };                                                                                   \
    }

TAMSA_PYTHON_ARGUMENT(array_arg, "numpy.ndarray")
TAMSA_PYTHON_ARGUMENT(optional_array, "numpy.ndarray | None")
TAMSA_PYTHON_ARGUMENT(colour_object, "int | tuple[int, int, int]")
TAMSA_PYTHON_ARGUMENT(path_object, "str | os.PathLike")
TAMSA_PYTHON_ARGUMENT(source_object, "str | os.PathLike | bytes")
TAMSA_PYTHON_ARGUMENT(op_object, "str | int")
TAMSA_PYTHON_ARGUMENT(matrix_object, "int | str")

#endif
