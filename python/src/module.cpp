// The module `tamsa`: the library's operations on numpy arrays, and the served process.
#include <string>

#include "picture.h"

#include "tools/quick_timer.h"

namespace py = pybind11;

PYBIND11_MODULE(tamsa, m) {
    m.doc() = R"(Tamsa from Python: exact chunky-bitmap operations on numpy arrays.

Pictures are uint8 arrays of shape (h, w, 3) for 3-byte pixels (red, green, blue unless said
otherwise) and (h, w) for 1-byte ones. A C-contiguous array is used in place; any other is
copied once (and written back where the operation writes into it). Operations that make new
bitmaps return new arrays over the library's own buffers, without a copy. Wrong shapes and
dtypes raise ValueError, an argument of the wrong type TypeError naming it, a failed allocation
MemoryError. load() and save() read and write PPM, PGM, PAM, PNG and JPEG files. The interpreter lock is released
while the library works.

Big pictures (above full HD for the cheapest operations, from about 600x600 for a rotation) are worked on in bands by several threads at once, with the
bytes one thread gives: by as many as there are CPUs this process may run on, unless the
environment variable TAMSA_THREADS holds another number (1 to 256, read once, before the first
operation; 1 for one thread) or set_threads() sets one. Python threads calling the module at
once share those threads without running more than the number between them.)";
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
    m.def("threads", &tamsa_threads, "The number of threads big pictures are worked on by.");
    m.def(
        "set_threads",
        [](int64_t threads) {
            if (threads < 0 || threads > 256) {
                tamsa_python::raise_value("threads: expected 1 to 256, or 0 for the default");
            }
            tamsa_set_threads(int32_t(threads));
        },
        py::arg("threads"),
        "Sets the number of threads big pictures are worked on by, 1 to 256, for every call from "
        "now on; 0 goes back to TAMSA_THREADS or the number of CPUs.");
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
