// A serve process: the server task and the gateway that lets other processes of this user reach
// its port. Not installed.
#ifndef TAMSA_REMOTE_SERVE_H
#define TAMSA_REMOTE_SERVE_H

#include <cstdio>

#include "remote/gateway.h"

namespace tamsa::remote {

// Serves the port of that name to other processes until a stop message (a client's only when
// options allow it), SIGINT or SIGTERM (a signal stops the server after the message in hand;
// queued ones go back unserved). Says where it serves, and a summary when it stops, on out; why
// it cannot serve on err. Returns 0 after a stop, 1 when it could not serve.
int serve_process(const char *port_name, const gateway_options &options, FILE *out, FILE *err);

}  // namespace tamsa::remote

#endif
