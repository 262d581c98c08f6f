// The fuzz targets' check: a broken promise aborts, so the fuzzer keeps the input that broke it.
#ifndef TAMSA_TESTS_FUZZ_CHECK_H
#define TAMSA_TESTS_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

namespace tamsa_fuzz {

inline void check(bool ok, const char *file, int line) {
    if (ok) return;
    std::fprintf(stderr, "%s:%d: check failed\n", file, line);
    std::abort();
}

}  // namespace tamsa_fuzz

#define CHECK(condition) ::tamsa_fuzz::check(condition, __FILE__, __LINE__)

#endif
