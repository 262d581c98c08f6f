// The PPM loader's header string helpers, reached by the tests by name. Not installed.
#ifndef TAMSA_IMAGEIO_PPM_H
#define TAMSA_IMAGEIO_PPM_H

#include <cstdint>

namespace tamsa {

// The index of the last occurrence of character in string (-1 when there is none).
int32_t instr(const char *string, int32_t character);
// The first n characters of string, and its characters from start on. Each returns a buffer of
// its own, overwritten by that function's next call in the same thread (the buffers are per
// thread, so loaders in different threads do not disturb each other).
char *left(const char *string, int32_t n);
char *right(const char *string, int32_t start);

}  // namespace tamsa

#endif
