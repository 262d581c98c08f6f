// The tamsa command.
#include <cstdio>
#include <cstring>

#include "tools/cli.h"
#include "tools/commands.h"

namespace {

constexpr const char *kUsage =
    "usage: tamsa [COMMAND] [OPTIONS]\n"
    "  serve [--port NAME]   serve the port to other processes of this user\n"
    "  demo                  start the server here and exercise it\n";

}  // namespace

int main(int argc, char **argv) {
    tamsa::cli::args args(argc - 1, argv + 1);
    const std::string command = args.empty() ? "demo" : args.next("a command");
    try {
        if (command == "serve") return tamsa::tools::serve_command(args);
        if (command == "demo") return tamsa::tools::demo_command(args);
        if (command == "-h" || command == "--help" || command == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        throw tamsa::cli::usage_error{"unknown command: " + command};
    } catch (const tamsa::cli::usage_error &e) {
        std::fprintf(stderr, "tamsa %s: %s\n", command.c_str(), e.message.c_str());
        return 2;
    }
}
