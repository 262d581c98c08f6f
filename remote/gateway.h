// The gateway of a `tamsa serve` process: it takes other processes' requests from the port's
// socket and sends their messages to the port on their behalf. Not installed.
#ifndef TAMSA_REMOTE_GATEWAY_H
#define TAMSA_REMOTE_GATEWAY_H

#include <cstdint>
#include <functional>
#include <string>

namespace tamsa::remote {

// What a client may hold in the bus when nothing else is said: enough for many full-size frames
// of the recorder. It sizes the client pools too: ten of them at this limit.
inline constexpr uint64_t kDefaultClientLimit = uint64_t(256) << 20;
// What all clients together may hold: three client processes at the full limit.
inline constexpr uint64_t kDefaultTotalLimit = uint64_t(768) << 20;

struct gateway_options {
    // Live bytes per client process, over all its connections (UINT64_MAX: none).
    uint64_t client_limit = kDefaultClientLimit;
    uint64_t total_limit = kDefaultTotalLimit;  // live bytes of all clients (UINT64_MAX: none)
    int greet_ms = 5000;             // a connection that has not greeted by then is closed
    bool allow_remote_stop = false;  // clients' stop messages (ids 0, 1) stop the server
    // A pool whose process holds no block and has sent nothing for this long is given back
    // when another process needs a slot.
    int idle_slot_ms = 1000;
    // Runs on a client process's thread once it has served an allowed stop message.
    std::function<void()> stop_asked;
    // For tests: runs on a client process's thread after a message was served, before it is
    // answered (owner, id, block).
    std::function<void(uint32_t, int32_t, uint32_t)> served;
};

struct gateway;

// Binds the socket of the port. Fails (null, with the reason in error) when the port's socket
// path is unusable, the port is served by a live process, or the socket cannot be made.
gateway *gateway_open(const char *port_name, const gateway_options &options, std::string &error);
// Serves clients until gateway_stop, on the calling thread: one event loop takes new connections
// and their greetings; each client process is then served on a thread of its own, which runs
// its messages itself (the port's server task must be up: it opened the graphics library).
void gateway_run(gateway *g);
// Makes gateway_run return once every client process's thread has answered the message in hand
// (messages read after it are answered TAMSA_NOT_SERVED). Clients still connected are
// disconnected and keep their blocks (they may still be reading their last answers from the
// bus); those that have hung up have theirs freed.
void gateway_stop(gateway *g);
// Removes the socket and frees the gateway (after gateway_run has returned).
void gateway_close(gateway *g);

const std::string &gateway_path(const gateway *g);
// Messages sent and clients served so far.
uint64_t gateway_messages(const gateway *g);
uint64_t gateway_clients(const gateway *g);
// Connections open now; one that has ended is no longer counted once what it held is freed.
uint64_t gateway_connections(const gateway *g);
// Client processes with a thread of their own now.
uint64_t gateway_processes(const gateway *g);

// Raises this process's soft limit on open files as far as its hard limit allows; returns the
// limit now in force.
uint64_t raise_open_file_limit();

}  // namespace tamsa::remote

#endif
