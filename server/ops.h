// The adapters of the message table. Each gets an id's argument words (words[1] to words[7],
// host order), checks every byte range its operation will read or write against the bus,
// turns bus addresses into pointers and runs the operation. It returns what the operation
// returned (a made bitmap handed over as a wire record), or nothing when a check failed and
// nothing ran. Not installed.
#ifndef TAMSA_SERVER_OPS_H
#define TAMSA_SERVER_OPS_H

#include <cstdint>
#include <optional>

namespace tamsa::server {

// ---- video frame operations (ops_video.cpp) ----

std::optional<uint32_t> serve_yuvtorgb(const uint32_t *words);     // id 2
std::optional<uint32_t> serve_scale(const uint32_t *words);        // id 3
std::optional<uint32_t> serve_correct(const uint32_t *words);      // id 5
std::optional<uint32_t> serve_fadeover(const uint32_t *words);     // id 7
std::optional<uint32_t> serve_deinterlace(const uint32_t *words);  // id 8
std::optional<uint32_t> serve_yuvscale(const uint32_t *words);     // id 10

}  // namespace tamsa::server

#endif
