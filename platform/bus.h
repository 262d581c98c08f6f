// The bus as the rest of the system sees it inside this process: its parts, and big-endian words,
// the byte order of everything that crosses the port. Not installed.
#ifndef TAMSA_PLATFORM_BUS_H
#define TAMSA_PLATFORM_BUS_H

#include <cstdint>

namespace tamsa::platform {

// Bytes of the shared part of the bus, [0, shared_bytes()): what the server and the clients in
// this process share. Above it lies the part for what operations allocate while they serve
// another process, up to tamsa_bus_size(), and above that the client pools (platform/heap.h),
// which are part of the bus only while mapped. Only the pools are memory other processes map.
uint64_t shared_bytes();

inline uint32_t load_be32(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

inline void store_be32(void *p, uint32_t v) {
    auto *b = static_cast<uint8_t *>(p);
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}

}  // namespace tamsa::platform

#endif
