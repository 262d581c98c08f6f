// The tamsa command.
#include <cstdio>
#include <cstring>

#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/record.h"

namespace {

constexpr const char *kUsage =
    "usage: tamsa [COMMAND] [OPTIONS]\n"
    "\n"
    "  record [CLIP] [OPTIONS]     run the recorder's pipeline over a YUV 4:1:1 clip (the\n"
    "                              built-in test clip when none is given)\n"
    "      --size WxH              CLIP holds raw planes of this size (Y, U, V per frame)\n"
    "      --frames N              stop after N frames\n"
    "      --scale WxH             convert and resize in one message (else convert only)\n"
    "      --contrast P --brightness B --invert   colour correction\n"
    "      --deinterlace           double the even rows\n"
    "      --fade-with CLIP [--fade-frames N]     cross-fade into another clip\n"
    "      --remap                 reduce to the 216-colour cube\n"
    "      --out DIR               where the frames go (default out/); --format ppm|png\n"
    "      --connect NAME          use a running `tamsa serve` instead of a server here\n"
    "  serve [--port NAME]         serve the port to other processes of this user\n"
    "  image OP IN OUT [ARGS]      run a library operation on a picture file (tamsa image help)\n";

}  // namespace

int main(int argc, char **argv) {
    tamsa::cli::args args(argc - 1, argv + 1);
    const std::string command = args.empty() ? "record" : args.next("a command");
    try {
        if (command == "serve") return tamsa::tools::serve_command(args);
        if (command == "record") return tamsa::tools::record_command(args);
        if (command == "image") return tamsa::tools::image_command(args);
        if (command == "-h" || command == "--help" || command == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        throw tamsa::cli::usage_error{"unknown command: " + command};
    } catch (const tamsa::cli::usage_error &e) {
        std::fprintf(stderr, "tamsa %s: %s\n", command.c_str(), e.message.c_str());
        return 2;
    } catch (const tamsa::cli::failure &e) {
        std::fprintf(stderr, "tamsa %s: %s\n", command.c_str(), e.message.c_str());
        return 1;
    }
}
