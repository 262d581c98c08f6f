// Highway's shared library (1.0) measures its timer's resolution for its benchmark helper as it
// is loaded, by thousands of serialised timer reads: milliseconds of every start, and several
// times a whole run on a small picture in a virtual machine. The command and the Python module
// measure nothing with that helper, so a definition of their own answers the library's call at
// once; kernel choice is untouched. Include it in exactly one source file of a program or
// module: the dynamic linker binds the library to the program's definition first, and the
// module exports its own (python/module.map), which the library finds in the module's group
// once the process's global scope has none.
#pragma once

#if TAMSA_SIMD
#include <hwy/nanobenchmark.h>

namespace hwy::platform {
uint64_t TimerResolution() {
    return 1;
}
}  // namespace hwy::platform
#endif
