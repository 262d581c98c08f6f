// tamsa serve: the server as a process of its own, reached by clients through its socket.
#include <cstdio>

#include "remote/serve.h"
#include "tamsa/client.h"
#include "tools/cli.h"
#include "tools/commands.h"

namespace tamsa::tools {

namespace {

constexpr const char *kServeHelp =
    "usage: tamsa serve [--port NAME]\n"
    "\n"
    "Serves the message port to other processes of this user until it gets a stop message\n"
    "(id 0 or 1), SIGINT or SIGTERM; a signal stops it after the message in hand. Says where it\n"
    "listens when it starts and what it served when it stops, on stdout.\n"
    "\n"
    "  --port NAME            the port's name (default " TAMSA_PORT_NAME
    "): 1 to 64 letters, digits, '.',\n"
    "                         '_' and '-', not starting with '.'; clients reach it with\n"
    "                         tamsa record --connect NAME or tamsa_client_connect(NAME)\n"
    "\n"
    "The socket lives in $XDG_RUNTIME_DIR/tamsa/ (else /tmp/tamsa-UID/), mode 0600.\n"
    "\n"
    "Exit status: 0 after a stop, 1 when it cannot serve (the port is taken), 2 bad command\n"
    "line.\n";

}  // namespace

int serve_command(cli::args &args) {
    if (args.asks_help()) {
        std::fputs(kServeHelp, stdout);
        return cli::kExitOk;
    }
    std::string port_name = TAMSA_PORT_NAME;
    while (!args.empty()) {
        const std::string option = args.next("an option");
        if (option == "--port") {
            port_name = cli::parse_port(args.value(option));
        } else {
            throw cli::usage_error{"unknown option: " + option + " (tamsa serve --help)"};
        }
    }
    return remote::serve_process(port_name.c_str(), stdout, stderr);
}

}  // namespace tamsa::tools
