// The tamsa command.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "tamsa/tamsa.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/record.h"

namespace {

constexpr const char *kUsage =
    "usage: tamsa COMMAND [ARGUMENTS]\n"
    "\n"
    "The image-processing server of a video recorder, and the graphics library beneath it.\n"
    "\n"
    "Commands:\n"
    "  record [CLIP | -]      send every frame of a Y4M clip (or of the built-in test clip)\n"
    "                         through the server and write what comes back, as files or as a\n"
    "                         stream for ffmpeg and netpbm\n"
    "  serve                  serve the message port to other processes of this user\n"
    "  image OP IN OUT        run one of the library's operations on a PPM, PGM or PNG picture\n"
    "\n"
    "  tamsa COMMAND --help   what a command takes: units, ranges and defaults\n"
    "  tamsa --version        the command's and the library's version\n"
    "\n"
    "Examples:\n"
    "  tamsa record --scale 320x240 --format png\n"
    "  ffmpeg -i in.mp4 -f yuv4mpegpipe - | tamsa record - --out frames\n"
    "  tamsa record clip.y4m --out - | ffmpeg -f image2pipe -c:v ppm -i - out.mp4\n"
    "  tamsa image rotate in.png out.png 30\n"
    "\n"
    "Exit status: 0 done, 1 failed while running (a file, the server, memory), 2 bad command\n"
    "line. Errors and warnings are one line each on stderr.\n";

void print_version() {
    const int32_t v = tamsa_version();
    std::printf("tamsa %d.%d.%d (library %d.%d.%d)\n", TAMSA_VERSION_MAJOR, TAMSA_VERSION_MINOR,
                TAMSA_VERSION_PATCH, v / 10000, v / 100 % 100, v % 100);
}

}  // namespace

int main(int argc, char **argv) {
    namespace cli = tamsa::cli;
    cli::args args(argc - 1, argv + 1);
    // With nothing to do, say what can be done; nothing is written.
    if (args.empty()) {
        std::fputs(kUsage, stdout);
        return cli::kExitOk;
    }
    const std::string command = args.next("a command");
    try {
        if (command == "serve" || command == "record" || command == "image") {
            cli::set_command(command);
            if (command == "serve") return tamsa::tools::serve_command(args);
            if (command == "record") return tamsa::tools::record_command(args);
            return tamsa::tools::image_command(args);
        }
        if (cli::is_help(command) || command == "help") {
            std::fputs(kUsage, stdout);
            return cli::kExitOk;
        }
        if (command == "--version" || command == "-V") {
            print_version();
            return cli::kExitOk;
        }
        throw cli::usage_error{"unknown command: " + command + " (tamsa --help lists them)"};
    } catch (const cli::usage_error &e) {
        cli::note(e.message);
        return cli::kExitUsage;
    } catch (const cli::failure &e) {
        cli::note(e.message);
        return cli::kExitFailure;
    } catch (const std::bad_alloc &) {
        cli::note("out of memory");
        return cli::kExitFailure;
    } catch (const std::exception &e) {
        cli::note(e.what());
        return cli::kExitFailure;
    }
}
