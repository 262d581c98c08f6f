// Wire records and bus addresses: the form records and words have in the bus, and the checks
// that a range a message names lies in memory the server may touch. Only the server's files and
// the client library read or write a wire record, and only through these. Not installed.
#ifndef TAMSA_SERVER_WIRE_H
#define TAMSA_SERVER_WIRE_H

#include <cstdint>

#include "tamsa/tamsa.h"

namespace tamsa::server {

// A record in the bus as the other side sees it: data, width, height, bytesperpixel, each a
// big-endian 32-bit word.
inline constexpr uint32_t kWireRecordBytes = 16;

struct wire_record {
    uint32_t data;  // bus address of the pixels
    int32_t width;
    int32_t height;
    int32_t bytesperpixel;
};

// Decodes and encodes the 16 bytes of a wire record wherever they are mapped.
wire_record load_wire_record(const void *wire);
void store_wire_record(void *wire, const wire_record &record);

// True when [address, address + length) lies inside one live block of the thread's current
// owner (the sender of the message being served); empty ranges always pass.
bool range_ok(uint32_t address, uint64_t length);
// Native pointer of a bus address (null when outside the bus).
uint8_t *at(uint32_t address);
// The big-endian word at address; false when it does not pass range_ok.
bool read_word(uint32_t address, uint32_t &value);
// Reads the wire record at address into a native record. False when the record itself does
// not lie in the bus; the pixel range is each operation's own check.
bool read_record(uint32_t address, kv_bitmap &record);
// True when the record's first bytes pixel bytes pass range_ok.
bool pixels_ok(const kv_bitmap &record, uint64_t bytes);
// Reads a wire record whose whole buffer, at its own size and depth, the operation will touch:
// false unless the record is usable and all its pixel bytes pass range_ok.
bool read_bitmap(uint32_t address, kv_bitmap &record);
// Hands a bitmap the library made over to the sender as a wire record and returns its bus
// address (0 for null). Made in the shared area, the record is rewritten in its own block; made
// in the server's own part, it is copied to new blocks of the shared area (for another process,
// its pool) and freed, and 0 comes back, with nothing left, when those cannot be had.
uint32_t hand_over(kv_bitmap *bitmap);

}  // namespace tamsa::server

#endif
