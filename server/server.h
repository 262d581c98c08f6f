// The server task: its loop, its start-up, and its message table. Wire records and bus checks
// are in server/wire.h. Not installed.
#ifndef TAMSA_SERVER_SERVER_H
#define TAMSA_SERVER_SERVER_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/ports.h"
#include "tamsa/tamsa.h"

namespace tamsa::server {

inline constexpr const char *kPortName = "TAMSAPPC";
// The oldest graphics.library the palettes can work with.
inline constexpr int32_t kGraphicsVersionNeeded = 39;
inline constexpr uint32_t kStopAnswer = 123;

// Told whether the port came up (true) or could not be made (false), before any message.
using started_fn = std::function<void(bool)>;
// Told why the task cannot serve, as one line for a person (without its newline). The library
// itself prints nothing; the serve process writes the line out.
using report_fn = std::function<void(const char *line)>;

// Serves the public port of that name (null: "TAMSAPPC") until a stop message. Returns 0 when
// the port could not be created, 1 after a stop.
int32_t serve(const char *port_name, const started_fn &started = {});

// The task's start-up: opens graphics.library, serves, closes it. When the library cannot be
// opened it tells report why (when given) and returns 20 without serving; otherwise it returns 0.
int32_t task_main(const char *port_name, const report_fn &report, const started_fn &started = {});

// What serving one message came to.
struct served {
    bool stop = false;
    platform::message_answer answer;
};

// Serves one message as the loop does, for the sender owner: every range the message names must
// lie in one block of owner; what the operation allocates is owner's from birth, and for a
// sender in another process it is made in the server's own part of the bus and only the result
// is copied out. result is the result value carried from message to message: the loop carries
// one across the messages of this process, and starts each message of another process from
// word 0 of that sender's own block (0 when it names none).
served serve_as(uint32_t owner, int32_t id, uint32_t block, uint32_t &result);

// The task on a thread of its own.
struct task_thread {
    std::string port_name;
    std::thread thread;
    int32_t status = 0;  // task_main's answer, once the thread has ended
};

// Starts task_main on t.thread and returns once the port is up (true), or once the task has
// ended without serving (false, thread joined). ended, when given, runs on the task's thread
// after task_main returns.
bool start_task(task_thread &t, const char *port_name, report_fn report,
                std::function<void()> ended = {});

// Sends a stop message to the port of that name, with a block of its own, and waits for the
// reply; ahead of every queued message when first is set (those then go back unserved). Does
// nothing when no such port exists.
void send_stop(const char *port_name, bool first);

// ---- the message table ----

enum class result_rule : uint8_t {
    stop,       // result 123, then the server stops
    unchanged,  // the result value stays as it was
    zero,       // result 0 once the operation has run
    returned,   // result = what the operation returned (0 when the message was rejected)
};

// Serves one message from its argument words (words[1] to words[7], host order). Returns what
// the operation returned, or nothing when the message failed the checks and nothing ran.
using serve_fn = std::optional<uint32_t> (*)(const uint32_t *words);

struct op_row {
    int32_t id;
    const char *name;
    uint8_t words;  // argument words the id reads
    result_rule rule;
    serve_fn serve;
};

// The row of a message id, or null for an unknown id.
const op_row *find_op(int32_t id);
// Whether a message id stops the server (its rule is stop).
bool stops_server(int32_t id);

}  // namespace tamsa::server

#endif
