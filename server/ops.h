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

// OP_REMAP24: word 1 is the address of a word holding the source pointer; words 2 to 4 are the
// destination, the pen table (or 0) and the source byte count.
std::optional<uint32_t> serve_remap24(const uint32_t *words);
// OP_REMAP8: buffer, 256-byte table, byte count.
std::optional<uint32_t> serve_remap8(const uint32_t *words);
// OP_SCALECOPYBITMAP: source record, new width, new height; answers the new record's address, or 0.
std::optional<uint32_t> serve_scalecopybitmap(const uint32_t *words);

// ---- video frame operations (ops_video.cpp) ----

// OP_YUVTORGB: luma, V and U planes, output, pixel count, pixels per chroma sample.
std::optional<uint32_t> serve_yuvtorgb(const uint32_t *words);
// OP_SCALE: frame record, new width, new height; answers the new record's address, or 0.
std::optional<uint32_t> serve_scale(const uint32_t *words);
// OP_CORRECT: frame record, contrast, brightness + 256, invert flag in the low 16 bits.
std::optional<uint32_t> serve_correct(const uint32_t *words);
// OP_FADEOVER: first, second and target buffers, level, three factors whose product is the length.
std::optional<uint32_t> serve_fadeover(const uint32_t *words);
// OP_DEINTERLACE: frame record.
std::optional<uint32_t> serve_deinterlace(const uint32_t *words);
// OP_YUVSCALE: luma, V and U planes, source width and height, result width and height; answers the
// new record's address, or 0.
std::optional<uint32_t> serve_yuvscale(const uint32_t *words);

}  // namespace tamsa::server

#endif
