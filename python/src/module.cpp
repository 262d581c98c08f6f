// The module `tamsa`: the library's operations on numpy arrays, and the served process.
#include <string>

#include "picture.h"

#if TAMSA_SIMD
#include <hwy/nanobenchmark.h>

// Highway's shared library (1.0) measures its timer's resolution for its benchmark helper as it
// is loaded, milliseconds of every import. The module measures nothing with that helper: its own
// definition, exported by module.map, answers the call at once. Loaded as the module's
// dependency, the library looks a name up in the process's global scope first, where no one
// defines it, then in the module's own group, the module first.
namespace hwy::platform {
uint64_t TimerResolution() {
    return 1;
}
}  // namespace hwy::platform
#endif

namespace py = pybind11;

PYBIND11_MODULE(tamsa, m) {
    m.doc() = R"(Tamsa from Python: exact chunky-bitmap operations on numpy arrays.

Pictures are uint8 arrays of shape (h, w, 3) for 3-byte pixels (red, green, blue unless said
otherwise) and (h, w) for 1-byte ones. A C-contiguous array is used in place; any other is
copied once (and written back where the operation writes into it). Operations that make new
bitmaps return new arrays over the library's own buffers, without a copy. Wrong shapes and
dtypes raise ValueError, an argument of the wrong type TypeError naming it, a failed allocation
MemoryError. load() and save() read and write PPM, PGM, PAM, PNG and JPEG files. The interpreter lock is released
while the library works.)";
    m.attr("__version__") = [] {
        const int32_t v = tamsa_version();
        return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." +
               std::to_string(v % 100);
    }();
    m.def(
        "alloc_stats",
        [] {
            uint64_t blocks = 0, bytes = 0;
            tamsa_alloc_stats(&blocks, &bytes);
            return py::make_tuple(blocks, bytes);
        },
        "(blocks, bytes) live in the library's memory, the arrays over its buffers included.");
    tamsa_python::bind_bytes(m);
    tamsa_python::bind_scale(m);
    tamsa_python::bind_video(m);
    tamsa_python::bind_blit(m);
    tamsa_python::bind_transform(m);
    tamsa_python::bind_ppm(m);
    tamsa_python::bind_client(m);
    tamsa_python::bind_files(m);
    tamsa_python::name_type_errors(m);
}
