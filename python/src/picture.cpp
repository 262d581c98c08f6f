#include "picture.h"

#include <climits>
#include <string>

namespace tamsa_python {

namespace {

// Any object as an ndarray of uint8, without converting its values. An ndarray is taken as it
// is and its type read from its descriptor: the cost of every call starts here.
py::array as_uint8(py::handle object, const char *name) {
    py::array array;
    if (py::isinstance<py::array>(object)) {
        array = py::reinterpret_borrow<py::array>(object);
    } else {
        array = py::array::ensure(object);
        if (!array) {
            PyErr_Clear();
            raise_value(std::string(name) + ": expected a numpy array of uint8");
        }
    }
    const auto *descriptor =
        py::detail::array_descriptor_proxy(py::detail::array_proxy(array.ptr())->descr);
    if (descriptor->type_num != py::detail::npy_api::NPY_UBYTE_) {
        raise_value(std::string(name) + ": expected dtype uint8, got " +
                    std::string(py::str(array.dtype())));
    }
    return array;
}

bool contiguous(const py::array &array) {
    return (array.flags() & py::array::c_style) != 0;
}

py::array contiguous_copy(const py::array &array) {
    return py::array_t<uint8_t, py::array::c_style>::ensure(array);
}

picture make_picture(py::handle object, const char *name, depths allowed, bool written) {
    picture p;
    p.array = as_uint8(object, name);
    if (written && !p.array.writeable()) raise_value(std::string(name) + ": array is read-only");
    int32_t depth = 0;
    if (p.array.ndim() == 3 && p.array.shape(2) == 3) {
        depth = 3;
    } else if (p.array.ndim() == 2) {
        depth = 1;
    } else {
        raise_value(std::string(name) + ": expected shape (h, w, 3) or (h, w)");
    }
    if (allowed == depths::rgb && depth != 3) {
        raise_value(std::string(name) + ": expected a 3-byte picture of shape (h, w, 3)");
    }
    if (allowed == depths::grey && depth != 1) {
        raise_value(std::string(name) + ": expected a 1-byte picture of shape (h, w)");
    }
    const int64_t h = p.array.shape(0), w = p.array.shape(1);
    // The library takes buffers of at most 2^31 - 1 bytes.
    if (h > INT32_MAX || w > INT32_MAX || h * w * depth > INT32_MAX) {
        raise_value(std::string(name) + ": picture too large for the library");
    }
    if (!contiguous(p.array)) {
        p.original = p.array;
        p.array = contiguous_copy(p.array);
        p.copied = true;
    }
    // Read-only arrays are refused above where the library writes.
    p.record.data = static_cast<uint8_t *>(const_cast<void *>(p.array.data()));
    p.record.width = int32_t(w);
    p.record.height = int32_t(h);
    p.record.bytesperpixel = depth;
    return p;
}

byte_run make_bytes(py::handle object, const char *name, bool written) {
    byte_run run;
    run.array = as_uint8(object, name);
    if (written && !run.array.writeable()) {
        raise_value(std::string(name) + ": array is read-only");
    }
    if (run.array.size() > INT32_MAX) raise_value(std::string(name) + ": too many bytes");
    if (!contiguous(run.array)) {
        run.original = run.array;
        run.array = contiguous_copy(run.array);
        run.copied = true;
    }
    return run;
}

void copy_back(const py::object &original, const py::array &copy) {
    py::module_::import("numpy").attr("copyto")(original, copy);
}

}  // namespace

void picture::finish() {
    if (copied) copy_back(original, array);
}

void byte_run::finish() {
    if (copied) copy_back(original, array);
}

picture read_picture(py::handle object, const char *name, depths allowed) {
    return make_picture(object, name, allowed, false);
}

picture write_picture(py::handle object, const char *name, depths allowed) {
    return make_picture(object, name, allowed, true);
}

byte_run read_bytes(py::handle object, const char *name) {
    return make_bytes(object, name, false);
}

byte_run write_bytes(py::handle object, const char *name) {
    return make_bytes(object, name, true);
}

py::array new_picture(int64_t height, int64_t width, int32_t depth) {
    if (depth == 1) return py::array_t<uint8_t>({height, width});
    return py::array_t<uint8_t>({height, width, int64_t(depth)});
}

py::array adopt_buffer(uint8_t *buffer, int64_t height, int64_t width, int32_t depth) {
    if (height * width * depth == 0 || buffer == nullptr) {
        PPCFreeVec(buffer);
        return new_picture(height, width, depth);
    }
    // Should the capsule not be made, the buffer is still freed.
    py::capsule owner;
    try {
        owner = py::capsule(buffer, [](void *p) { PPCFreeVec(p); });
    } catch (...) {
        PPCFreeVec(buffer);
        throw;
    }
    if (depth == 1) return py::array_t<uint8_t>({height, width}, buffer, owner);
    return py::array_t<uint8_t>({height, width, int64_t(depth)}, buffer, owner);
}

py::array adopt_bitmap(kv_bitmap *bitmap) {
    if (bitmap == nullptr) raise_memory("the library could not allocate the result");
    uint8_t *data = bitmap->data;
    const int64_t h = bitmap->height, w = bitmap->width;
    const int32_t d = bitmap->bytesperpixel;
    // The record is a block of its own; the pixels live on in the array.
    PPCFreeVec(bitmap);
    return adopt_buffer(data, h, w, d);
}

int32_t size_arg(int64_t value, const char *name) {
    if (value < 0 || value > INT32_MAX) {
        raise_value(std::string(name) + " must lie in 0.." + std::to_string(INT32_MAX));
    }
    return int32_t(value);
}

int32_t side_arg(int64_t value, const char *name) {
    if (value < 1)
        raise_value(std::string(name) + " must be at least 1, not " + std::to_string(value));
    return size_arg(value, name);
}

colour colour_arg(py::handle object, const char *name) {
    int64_t c[3] = {};
    if (py::isinstance<py::int_>(object)) {
        c[0] = c[1] = c[2] = object.cast<int64_t>();
    } else {
        py::sequence s;
        try {
            s = py::reinterpret_borrow<py::sequence>(object);
            if (!py::isinstance<py::sequence>(object) || py::len(s) != 3) throw py::type_error();
            for (int i = 0; i < 3; ++i) c[i] = s[size_t(i)].cast<int64_t>();
        } catch (const py::error_already_set &) {
            raise_value(std::string(name) + ": expected (red, green, blue)");
        } catch (const py::cast_error &) {
            raise_value(std::string(name) + ": expected (red, green, blue) as integers");
        } catch (const py::type_error &) {
            raise_value(std::string(name) + ": expected (red, green, blue)");
        }
    }
    for (int64_t v : c) {
        if (v < 0 || v > 255) raise_value(std::string(name) + ": each level must lie in 0..255");
    }
    return {int32_t(c[0]), int32_t(c[1]), int32_t(c[2])};
}

int64_t chroma_411(const picture &luma, const byte_run &u, const byte_run &v) {
    const int64_t chroma = (luma.bytes() + 3) / 4;
    if (u.size() < chroma || v.size() < chroma) {
        raise_value("u, v: expected one chroma sample per 4 luma bytes");
    }
    // Chroma with a shape must be 4:1:1's, so that another layout is not read as groups of 4.
    if (u.array.ndim() == 2 && (luma.width() % 4 != 0 || u.array.shape(0) != luma.height() ||
                                u.array.shape(1) != luma.width() / 4)) {
        raise_value("u, v: (" + std::to_string(u.array.shape(0)) + ", " +
                    std::to_string(u.array.shape(1)) + ") is not 4:1:1 chroma of a (" +
                    std::to_string(luma.height()) + ", " + std::to_string(luma.width()) +
                    ") frame; tamsa.yuv_to_rgb converts the other layouts");
    }
    return chroma;
}

void raise_value(const std::string &message) {
    throw py::value_error(message);
}

void raise_memory(const char *operation) {
    PyErr_SetString(PyExc_MemoryError, operation);
    throw py::error_already_set();
}

}  // namespace tamsa_python
