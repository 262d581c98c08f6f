// tamsa serve: the server as a process of its own, reached by clients through its socket.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "remote/serve.h"
#include "tamsa/client.h"
#include "tools/commands/cli.h"
#include "tools/commands/commands.h"

namespace tamsa::tools {

namespace {

constexpr const char *kServeHelp =
    "usage: tamsa serve [--port NAME] [--client-limit SIZE] [--total-limit SIZE]\n"
    "                   [--allow-remote-stop] [-q]\n"
    "\n"
    "Serves the message port to other processes of this user until SIGINT or SIGTERM (or, when\n"
    "allowed, a client's stop message); a signal stops it after the message in hand. Says where\n"
    "it listens when it starts and what it served when it stops, on stdout.\n"
    "\n"
    "  --port NAME            the port's name (default " TAMSA_PORT_NAME
    "): 1 to 64 letters, digits, '.',\n"
    "                         '_' and '-', not starting with '.'; clients reach it with\n"
    "                         tamsa record --connect NAME or tamsa_client_connect(NAME)\n"
    "\n"
    "  --client-limit SIZE    the most bytes of the bus one client process may hold at once,\n"
    "                         over all its connections (default 256M): bytes, or a number\n"
    "                         with K, M or G, 1 to 4G, or none; a message or allocation that\n"
    "                         would pass it is answered TAMSA_OVER_LIMIT. Each client process\n"
    "                         has a pool of its own, a slot of this size in 2.5G of the bus, so\n"
    "                         it also sets how many processes hold a pool at once: 10 at 256M,\n"
    "                         2 at 1G, 1 at none. A process takes its slot when it first\n"
    "                         allocates or sends, not when it connects; a slot whose process\n"
    "                         holds no block and has sent nothing for 1 second is given back\n"
    "                         when another process needs one; past that, a newcomer's\n"
    "                         allocation is refused until a slot is free\n"
    "\n"
    "  --total-limit SIZE     the most bytes all clients together may hold (default 768M), as\n"
    "                         --client-limit\n"
    "\n"
    "  --allow-remote-stop    lets a client's stop message (id 0 or 1) end the server; without\n"
    "                         it such a message is answered TAMSA_REFUSED and serving goes on\n"
    "\n"
    "  -q, --quiet            say nothing but errors\n"
    "\n"
    "Fixed limits: a client process may hold at most 64 connections at once (one more is\n"
    "refused in words); a connection that has not greeted within 5 seconds is closed; a client\n"
    "of another protocol version is refused in words. Each client process is served on a\n"
    "thread of its own, its messages in order, different processes in parallel.\n"
    "\n"
    "The socket lives in $XDG_RUNTIME_DIR/tamsa/ (else /tmp/tamsa-UID/), mode 0600.\n"
    "\n"
    "Exit status: 0 after a stop, 1 when it cannot serve (the port is taken, or a file or\n"
    "directory that is not a socket is at its path: that is never removed), 2 bad command\n"
    "line.\n";

// A size in bytes: digits, then K, M or G (powers of 1024) if wanted; "none" for no limit.
uint64_t parse_bytes(const std::string &text, const std::string &what) {
    if (text == "none") return UINT64_MAX;
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string unit = text.substr(digits);
    const int shift = unit.empty()                 ? 0
                      : unit == "K" || unit == "k" ? 10
                      : unit == "M" || unit == "m" ? 20
                      : unit == "G" || unit == "g" ? 30
                                                   : -1;
    // At most 4G: the bus has 32-bit addresses, so no client could hold more.
    const uint64_t most = uint64_t(4) << (30 - std::max(shift, 0));
    if (digits == 0 || digits > 10 || shift < 0 || std::stoull(text.substr(0, digits)) > most ||
        std::stoull(text.substr(0, digits)) == 0) {
        throw cli::usage_error{"bad " + what + " '" + text +
                               "' (bytes, or a number with K, M or G, from 1 to 4G; or none)"};
    }
    return std::stoull(text.substr(0, digits)) << shift;
}

}  // namespace

int serve_command(cli::args &args) {
    if (args.asks_help()) {
        std::fputs(kServeHelp, stdout);
        return cli::kExitOk;
    }
    args.take_verbosity();
    std::string port_name = TAMSA_PORT_NAME;
    remote::gateway_options options;
    while (!args.empty()) {
        const std::string option = args.next("an option");
        if (option == "--port") {
            port_name = cli::parse_port(args.value(option));
        } else if (option == "--allow-remote-stop") {
            options.allow_remote_stop = true;
        } else if (option == "--client-limit") {
            options.client_limit = parse_bytes(args.value(option), "client limit");
        } else if (option == "--total-limit") {
            options.total_limit = parse_bytes(args.value(option), "total limit");
        } else {
            throw cli::usage_error{"unknown option: " + option + " (tamsa serve --help)"};
        }
    }
    // Quiet: where it listens and what it served go nowhere; errors still go to stderr.
    FILE *out = cli::quiet() ? std::fopen("/dev/null", "w") : stdout;
    if (out == nullptr) out = stdout;
    const int status = remote::serve_process(port_name.c_str(), options, out, stderr);
    if (out != stdout) std::fclose(out);
    return status;
}

}  // namespace tamsa::tools
