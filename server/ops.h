// The adapters between message ids and the operations they reach. Each gets the argument words
// (words[1] to words[7], host order), checks every byte range the operation will read or write
// against the bus, and returns what the operation returned, or nothing when a check failed and
// nothing ran. Not installed.
#ifndef TAMSA_SERVER_OPS_H
#define TAMSA_SERVER_OPS_H

#include <cstdint>
#include <optional>

namespace tamsa::server {

// ---- the graphics library: remapping and scaling (ops_gfx.cpp) ----

// Id 4: word 1 is the address of a word holding the source pointer; words 2 to 4 are the
// destination, the pen table (or 0) and the source byte count.
std::optional<uint32_t> serve_remap24(const uint32_t *words);
// Id 6: buffer, 256-byte table, byte count.
std::optional<uint32_t> serve_remap8(const uint32_t *words);
// Id 9: source record, new width, new height; answers the new record's address, or 0.
std::optional<uint32_t> serve_scalecopybitmap(const uint32_t *words);

}  // namespace tamsa::server

#endif
