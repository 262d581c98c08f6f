// The adapters between message ids and the operations they reach: serve<id> for every id of
// client.h's TAMSA_MESSAGES, in ops_gfx.cpp (remapping and scaling), ops_video.cpp (frame
// operations) and optable.cpp (the stops). Each gets the argument words (words[1] to words[7],
// host order), checks every byte range the operation will read or write against the bus, and
// returns what the operation returned, or nothing when a check failed and nothing ran. Not
// installed.
#ifndef TAMSA_SERVER_OPS_H
#define TAMSA_SERVER_OPS_H

#include <cstdint>
#include <optional>

#include "tamsa/client.h"

namespace tamsa::server {

template <int32_t id>
std::optional<uint32_t> serve(const uint32_t *words);

// An id without an adapter fails to link.
#define TAMSA_SERVE_DECLARE(name, word_count, answer) \
    template <>                                       \
    std::optional<uint32_t> serve<TAMSA_##name>(const uint32_t *);
TAMSA_MESSAGES(TAMSA_SERVE_DECLARE)
#undef TAMSA_SERVE_DECLARE

}  // namespace tamsa::server

#endif
