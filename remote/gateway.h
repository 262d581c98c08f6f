// The gateway of a `tamsa serve` process: it takes other processes' requests from the port's
// socket and sends their messages to the port on their behalf. Not installed.
#ifndef TAMSA_REMOTE_GATEWAY_H
#define TAMSA_REMOTE_GATEWAY_H

#include <cstdint>
#include <string>

namespace tamsa::remote {

struct gateway;

// Binds the socket of the port. Fails (null, with the reason in error) when the port's socket
// is served by a live process, or the socket cannot be made.
gateway *gateway_open(const char *port_name, std::string &error);
// Accepts and serves clients until gateway_stop; each client gets its own thread.
void gateway_run(gateway *g);
// Stops accepting and disconnects every client; the blocks of clients still connected stay
// theirs.
void gateway_stop(gateway *g);
// Removes the socket and frees the gateway (after gateway_run has returned).
void gateway_close(gateway *g);

const std::string &gateway_path(const gateway *g);
// Messages sent and clients served so far.
uint64_t gateway_messages(const gateway *g);
uint64_t gateway_clients(const gateway *g);

}  // namespace tamsa::remote

#endif
