// What the library offers its own `tamsa` command from its private directories: the command
// reaches the library through the installed headers, tamsa/internal/ and this. Not installed.
#ifndef TAMSA_INTERNAL_TOOLS_H
#define TAMSA_INTERNAL_TOOLS_H

#include <cstdint>

namespace tamsa::gfx {

// 3-byte pixels with their first and third bytes exchanged (blue first to red first), by the
// best kernel this run may take, for a destination that is the source itself or meets it
// nowhere; the command's writer puts the bus's frames red first with it.
void swap13(const uint8_t *source, uint8_t *destination, uint64_t pixels);

// 3-byte pixels widened to 4 with a zero fourth byte, by the best kernel this run may take, for
// a destination that meets the source nowhere; the command's writer hands the bus's frames so
// to the encoders that take 4-byte pixels.
void pad4(const uint8_t *source, uint8_t *destination, uint64_t pixels);

}  // namespace tamsa::gfx

#endif
