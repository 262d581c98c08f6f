// The tamsa command.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tamsa/tamsa.h"
#include "tools/commands/cli.h"
#include "tools/commands/commands.h"
#include "tools/commands/record.h"
#include "tools/quick_timer.h"

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
    "  tamsa COMMAND --help   what a command takes: units, ranges and defaults (also\n"
    "                         tamsa help COMMAND)\n"
    "  tamsa --version        the command's and the library's version\n"
    "\n"
    "Examples:\n"
    "  tamsa record --scale 320x240 --format png\n"
    "  ffmpeg -i in.mp4 -f yuv4mpegpipe - | tamsa record - --out frames\n"
    "  tamsa record clip.y4m --out - --format y4m | ffmpeg -i - out.mp4\n"
    "  tamsa image rotate in.png out.png 30\n"
    "\n"
    "Every command takes -q (--quiet: errors only), -v (--verbose: a line per frame or\n"
    "step), --version, and --NAME=VALUE for --NAME VALUE.\n"
    "\n"
    "Big pictures are worked on by every CPU the process may run on, in bands, with the bytes\n"
    "of one thread; TAMSA_THREADS=N in the environment sets the number of threads (1: one).\n"
    "TAMSA_CPU=LEVEL holds the vector kernels to a lower level (tamsa --version names both).\n"
    "\n"
    "Exit status: 0 done, 1 failed while running (a file, the server, memory), 2 bad command\n"
    "line, 130 or 143 stopped by SIGINT or SIGTERM. Errors and warnings are one line each on\n"
    "stderr.\n";

void print_version() {
    const int32_t v = tamsa_version();
    std::printf("tamsa %d.%d.%d (library %d.%d.%d)\n", TAMSA_VERSION_MAJOR, TAMSA_VERSION_MINOR,
                TAMSA_VERSION_PATCH, v / 10000, v / 100 % 100, v % 100);
    std::printf("kernels: %s%s (this CPU offers %s)\n", tamsa_cpu_level(),
                tamsa_cpu_setting() == TAMSA_CPU_HONOURED ? ", as TAMSA_CPU says" : "",
                tamsa_cpu_levels());
    std::printf("threads: %d%s\n", tamsa_threads(),
                tamsa_threads_setting() == TAMSA_THREADS_HONOURED ? ", as TAMSA_THREADS says" : "");
}

// A TAMSA_CPU the library could not follow, said once per run (unless -q).
void warn_cpu_setting(const tamsa::cli::args &args) {
    if (tamsa_cpu_setting() != TAMSA_CPU_IGNORED || args.has({"-q", "--quiet"})) return;
    const char *name = std::getenv("TAMSA_CPU");
    tamsa::cli::warn(std::string("TAMSA_CPU=") + (name != nullptr ? name : "") +
                     " names no level this CPU offers (" + tamsa_cpu_levels() +
                     "); the kernels run at " + tamsa_cpu_level());
}

// A TAMSA_THREADS the library could not follow, said once per run (unless -q).
void warn_threads_setting(const tamsa::cli::args &args) {
    if (tamsa_threads_setting() != TAMSA_THREADS_IGNORED || args.has({"-q", "--quiet"})) return;
    const char *text = std::getenv("TAMSA_THREADS");
    tamsa::cli::warn(std::string("TAMSA_THREADS=") + (text != nullptr ? text : "") +
                     " is no number of threads from 1 to 256; operations run on " +
                     std::to_string(tamsa_threads()));
}

bool is_command(const std::string &word) {
    return word == "serve" || word == "record" || word == "image";
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
    std::string command = args.next("a command");
    try {
        // "tamsa help record" is "tamsa record --help".
        if (command == "help" && !args.empty() && is_command(args.peek())) {
            command = args.next("a command");
            args = cli::args(std::vector<std::string>{"--help"});
        }
        if (is_command(command)) {
            cli::set_command(command);
            warn_cpu_setting(args);
            warn_threads_setting(args);
            if (args.has({"--version", "-V"})) {
                print_version();
                return cli::kExitOk;
            }
            if (command == "serve") return tamsa::tools::serve_command(args);
            if (command == "record") return tamsa::tools::record_command(args);
            return tamsa::tools::image_command(args);
        }
        if (cli::is_help(command) || command == "help") {
            if (!args.empty()) {
                throw cli::usage_error{"no help on '" + args.peek() +
                                       "' (commands: record, serve, image)"};
            }
            std::fputs(kUsage, stdout);
            return cli::kExitOk;
        }
        if (command == "--version" || command == "-V") {
            warn_cpu_setting(args);
            warn_threads_setting(args);
            print_version();
            return cli::kExitOk;
        }
        throw cli::usage_error{"unknown command: " + command + " (tamsa --help lists them)"};
    } catch (const cli::usage_error &e) {
        cli::error(e.message);
        return cli::kExitUsage;
    } catch (const cli::failure &e) {
        // Under -q a reader that went away ends the run with its status, and without a word.
        if (!e.broken_pipe || !cli::quiet()) cli::error(e.message);
        return cli::kExitFailure;
    } catch (const std::bad_alloc &) {
        cli::error("out of memory");
        return cli::kExitFailure;
    } catch (const std::exception &e) {
        cli::error(e.what());
        return cli::kExitFailure;
    }
}
