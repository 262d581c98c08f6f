// Byte runs, remaps and lookup tables.
#include <string>

#include "picture.h"

namespace tamsa_python {

namespace {

constexpr int64_t kPens = 216;

py::array remap24(array_arg image, optional_array pens, optional_array out) {
    picture source = read_picture(image, "image", depths::rgb);
    byte_run table;
    if (!pens.is_none()) {
        table = read_bytes(pens, "pens");
        if (table.size() < kPens) raise_value("pens: expected at least 216 pens");
    }
    py::array result;
    picture target;
    if (out.is_none()) {
        result = new_picture(source.height(), source.width(), 1);
        target = write_picture(result, "out", depths::grey);
    } else {
        target = write_picture(out, "out", depths::grey);
        if (target.width() != source.width() || target.height() != source.height()) {
            raise_value("out: expected the shape (h, w) of the image");
        }
        result = py::reinterpret_borrow<py::array>(out);
    }
    {
        py::gil_scoped_release unlocked;
        kv_remap24(source.data(), target.data(), pens.is_none() ? nullptr : table.data(),
                   uint32_t(source.bytes()));
    }
    target.finish();
    return result;
}

void lut(array_arg buffer, array_arg table) {
    byte_run run = write_bytes(buffer, "buffer");
    byte_run entries = read_bytes(table, "table");
    if (entries.size() != 256) raise_value("table: expected 256 entries");
    {
        py::gil_scoped_release unlocked;
        kv_remap8(run.data(), entries.data(), uint32_t(run.size()));
    }
    run.finish();
}

void xor_bytes(array_arg buffer, int64_t value) {
    if (value < 0 || value > 255) raise_value("value must lie in 0..255");
    byte_run run = write_bytes(buffer, "buffer");
    {
        py::gil_scoped_release unlocked;
        kv_xor(run.data(), uint32_t(run.size()), int32_t(value));
    }
    run.finish();
}

py::array repeat(array_arg buffer, int64_t factor) {
    byte_run run = read_bytes(buffer, "buffer");
    if (factor < 1) raise_value("factor must be at least 1");
    const int64_t bytes = run.size() * factor;
    if (bytes > INT32_MAX) raise_value("the result would exceed 2^31 - 1 bytes");
    py::array_t<uint8_t> result(bytes);
    uint8_t *target = result.mutable_data();
    {
        py::gil_scoped_release unlocked;
        kv_multchunky(run.data(), target, uint32_t(run.size()), uint32_t(factor));
    }
    return result;
}

py::array thin(array_arg buffer, int64_t step) {
    byte_run run = read_bytes(buffer, "buffer");
    if (step < 1 || step > UINT32_MAX) raise_value("step must lie in 1..2^32 - 1");
    py::array_t<uint8_t> result((run.size() + step - 1) / step);
    uint8_t *target = result.mutable_data();
    {
        py::gil_scoped_release unlocked;
        kv_divchunky(run.data(), target, uint32_t(run.size()), uint32_t(step));
    }
    return result;
}

py::array palette(array_arg colours) {
    picture map = read_picture(colours, "colours", depths::grey);
    if (map.width() != 3 || map.height() < 1 || map.height() > 256) {
        raise_value("colours: expected shape (n, 3) with 1 <= n <= 256");
    }
    const auto n = uint32_t(map.height());
    // The colour map is a block in the bus of big-endian words: the count, then 0x00RRGGBB.
    auto *block = static_cast<uint8_t *>(PPCAllocVec((n + 1) * 4, TAMSA_MEMF_ANY));
    if (block == nullptr) raise_memory("palette: no memory for the colour map");
    const uint32_t address = tamsa_bus_address(block);
    tamsa_bus_store32(address, n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t *c = map.data() + i * 3;
        tamsa_bus_store32(address + 4 * (i + 1), uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2]);
    }
    uint8_t *pens = nullptr;
    {
        py::gil_scoped_release unlocked;
        pens = kv_allocpalette(address);
    }
    PPCFreeVec(block);
    if (pens == nullptr) raise_memory("palette: the library could not make the palette");
    py::capsule owner(pens, [](void *p) { kv_freepalette(static_cast<uint8_t *>(p)); });
    return py::array_t<uint8_t>({kPens}, pens, owner);
}

}  // namespace

void bind_bytes(py::module_ &m) {
    m.def("remap24", &remap24, py::arg("image"), py::arg("pens") = py::none(),
          py::arg("out") = py::none(),
          R"(RGB pixels to pens: returns (or fills ``out``, shape (h, w)) one byte per pixel.

Without ``pens`` the byte is the colour-cube index red * 36 + green * 6 + blue, each level
0..5 (a level is the 8-bit value / 51); with ``pens`` (216 bytes, as :func:`palette` makes
them) it is the pen of that cube colour. ``image`` is (h, w, 3) uint8, read in place when
C-contiguous, else copied once.)");
    m.def("lut", &lut, py::arg("buffer"), py::arg("table"),
          R"(Replaces every byte of ``buffer`` (any shape, uint8, writable) by ``table[byte]``
(256 entries), in place. A non-contiguous buffer is copied once and written back.)");
    m.def("xor", &xor_bytes, py::arg("buffer"), py::arg("value"),
          R"(Exclusive-ors every byte of ``buffer`` with ``value`` (0..255), in place.)");
    m.def(
        "repeat", &repeat, py::arg("buffer"), py::arg("factor"),
        R"(A new 1-D array with every byte of ``buffer`` (in C order) written ``factor`` times.)");
    m.def(
        "thin", &thin, py::arg("buffer"), py::arg("step"),
        R"(A new 1-D array of every ``step``-th byte of ``buffer`` (in C order), from the first.)");
    m.def("palette", &palette, py::arg("colours"),
          R"(The 216 pens of the 6 x 6 x 6 colour cube in a colour map of n colours
((n, 3) uint8 rows of red, green, blue, n <= 256), as the graphics library picks them: the
pen of cube levels (r, g, b) at r * 36 + g * 6 + b. For :func:`remap24`.)");
}

}  // namespace tamsa_python
