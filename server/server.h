// The server task: its loop, its message table, and the one place where wire records and bus
// addresses meet native records and pointers. Not installed.
#ifndef TAMSA_SERVER_SERVER_H
#define TAMSA_SERVER_SERVER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

#include "tamsa/tamsa.h"

namespace tamsa::server {

inline constexpr const char *kPortName = "TAMSAPPC";
inline constexpr int32_t kGraphicsVersion = 39;
inline constexpr uint32_t kStopAnswer = 123;

// Told whether the port came up (true) or could not be made (false), before any message.
using started_fn = std::function<void(bool)>;

// Serves the public port of that name (null: "TAMSAPPC") until a stop message. Returns 0 when
// the port could not be created, 1 after a stop.
int32_t serve(const char *port_name, const started_fn &started = {});

// The task's start-up: opens graphics.library, serves, closes it. When the library cannot be
// opened it writes why to err and returns 20 without serving; otherwise it returns 0.
int32_t task_main(const char *port_name, FILE *err, const started_fn &started = {});

// ---- the message table ----

enum class result_rule : uint8_t {
    stop,      // result 123, then the server stops
    unchanged, // the result value stays as it was
    zero,      // result 0 once the operation has run
    returned,  // result = what the operation returned (0 when the message was rejected)
};

// Serves one message from its argument words (words[1] to words[7], host order). Returns what
// the operation returned, or nothing when the message failed the checks and nothing ran.
using serve_fn = std::optional<uint32_t> (*)(const uint32_t *words);

struct op_row {
    int32_t id;
    const char *name;
    uint8_t words;  // argument words the id reads
    result_rule rule;
    serve_fn serve;  // null: not served, handled as an unknown id
};

// The row of a message id, or null for an unknown id.
const op_row *find_op(int32_t id);

// ---- wire records and bus addresses ----

// Size of a record in the bus as the other side sees it: data, width, height, bytesperpixel,
// each a big-endian 32-bit word.
inline constexpr uint32_t kWireRecordBytes = 16;

// True when [address, address + length) lies inside one live block; empty ranges always pass.
bool range_ok(uint32_t address, uint64_t length);
// Native pointer of a bus address (null when outside the bus).
uint8_t *at(uint32_t address);
// Reads the wire record at address into a native record. False when the record itself does
// not lie in the bus; the pixel range is each operation's own check.
bool read_record(uint32_t address, kv_bitmap &record);
// True when the record's first bytes pixel bytes lie inside one live block.
bool pixels_ok(const kv_bitmap &record, uint64_t bytes);
// Reads a wire record whose whole buffer, at its own size and depth, the operation will touch:
// false unless the record is usable and all its pixel bytes lie inside one live block.
bool read_bitmap(uint32_t address, kv_bitmap &record);
// Rewrites a native record made by the library as a wire record, in its own block, and
// returns its bus address (0 for null).
uint32_t hand_over(kv_bitmap *bitmap);

}  // namespace tamsa::server

#endif
