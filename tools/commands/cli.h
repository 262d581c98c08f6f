// Small helpers shared by the tamsa command's subcommands.
#ifndef TAMSA_TOOLS_COMMANDS_CLI_H
#define TAMSA_TOOLS_COMMANDS_CLI_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tamsa::cli {

// Exit statuses, as the help states them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// A mistake in the command line: one line on stderr, then exit status 2.
struct usage_error {
    std::string message;
};

// A failure while running (a file that cannot be read or written, a server that cannot be
// reached, no memory): one line on stderr, then exit status 1. A reader of standard output
// that went away (broken_pipe) is not worth the line under -q.
struct failure {
    std::string message;
    bool broken_pipe = false;
};

// The failure to write what (with errno as the write left it).
failure write_failure(const std::string &what);

// The subcommand named in warnings and notes ("record", "image", ...).
void set_command(const std::string &name);
// One line on stderr that does not stop the run: "tamsa COMMAND: warning: TEXT".
void warn(const std::string &text);
// One line on stderr about what the run decided: "tamsa COMMAND: TEXT".
void note(const std::string &text);
// One line on stderr that ends the run, said even with -q: "tamsa COMMAND: TEXT".
void error(const std::string &text);

// How much the command says: -q errors only, -v also a line per step.
enum class verbosity { quiet, normal, verbose };
void set_verbosity(verbosity v);
verbosity current_verbosity();
inline bool quiet() {
    return current_verbosity() == verbosity::quiet;
}
inline bool verbose() {
    return current_verbosity() == verbosity::verbose;
}

// From now on SIGINT and SIGTERM only set a flag, which stop_signal() reads, so that a run can
// end on a whole frame. Reads and writes they interrupt go on.
void catch_stop_signals();
// The signal that asked the run to stop, or 0.
int stop_signal();
// 128 + the signal: the exit status of a run a signal stopped.
inline int exit_for_signal(int signal) {
    return 128 + signal;
}

// True for -h and --help.
bool is_help(const std::string &word);

// Command-line arguments consumed from the front. "--name=value" is taken as "--name value".
class args {
   public:
    args(int argc, char **argv) : args(std::vector<std::string>(argv, argv + argc)) {}
    explicit args(std::vector<std::string> words);
    bool empty() const { return at_ >= items_.size(); }
    const std::string &peek() const { return items_[at_]; }
    std::string next(const char *what);
    // The value of an option whose name was just taken.
    std::string value(const std::string &option) { return next(("a value for " + option).c_str()); }
    std::vector<std::string> rest();
    // Whether -h or --help is among the words not yet taken.
    bool asks_help() const;
    // Whether one of these words is among those not yet taken.
    bool has(std::initializer_list<const char *> words) const;
    // Removes every one of these words from those not yet taken; true when there was one.
    bool take(std::initializer_list<const char *> words);
    // Removes the option and its value from the words not yet taken; the last value given.
    std::optional<std::string> take_value(const std::string &option);
    // Sets the verbosity from -q/--quiet and -v/--verbose among the words, and removes them.
    void take_verbosity();

   private:
    std::vector<std::string> items_;
    size_t at_ = 0;
};

// The most pixels a picture or frame may have: W x H at most 2^26.
inline constexpr int64_t kMaxPixels = int64_t(1) << 26;

int32_t parse_int(const std::string &text, const std::string &what);
// An integer within [low, high]; the message names the range.
int32_t parse_ranged(const std::string &text, const std::string &what, int32_t low, int32_t high);
uint32_t parse_count(const std::string &text, const std::string &what);  // 1 and above
struct size2 {
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const size2 &) const = default;
};
size2 parse_size(const std::string &text, const std::string &what);  // "WxH", both above 0
// A new size: "WxH" or "W:H", or one side as -1 ("W:-1", "-1:H") for the side that keeps the
// picture's proportions, given 0 here until the picture's size is known; with percent, also
// "N%" of both sides (percent set, the sides 0).
struct scale_spec {
    int32_t width = 0;
    int32_t height = 0;
    int32_t percent = 0;
};
scale_spec parse_scale(const std::string &text, const std::string &what, bool percent = false);
// The size a spec gives a picture of from_w x from_h: a side kept in proportion is rounded to
// the nearest pixel and is at least 1. Throws usage_error when the result is too large.
size2 resolve_scale(const scale_spec &s, int32_t from_w, int32_t from_h, const std::string &what);
// A colour as "R,G,B" (each 0..255).
struct colour {
    int32_t red = 0, green = 0, blue = 0;
};
colour parse_colour(const std::string &text, const std::string &what);
// A port name as the serve process accepts it.
std::string parse_port(const std::string &text);

std::string lower(std::string text);
// "1 frame", "2 frames".
std::string count_of(uint64_t n, const char *one, const char *many);

// A progress line on stderr, shown only when stderr is a terminal: "frame N of M, F frames/s,
// S s left" as steps complete, or the time spent for work that reports no steps (shown once it
// has taken a second). Cleared when done.
class progress {
   public:
    // unit and units name one step and several ("frame", "frames").
    progress(bool wanted, std::string unit, std::string units);
    ~progress();
    progress(const progress &) = delete;
    progress &operator=(const progress &) = delete;

    bool shown() const { return shown_; }
    // Step n of total (0: unknown) is done.
    void step(uint64_t n, uint64_t total);
    // From now until done(), a line with the time spent, updated by a thread of its own.
    void start_timer(const std::string &what);
    void done();

   private:
    void draw(const std::string &line);
    bool shown_;
    std::string unit_, units_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
    bool drawn_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread timer_;
};

}  // namespace tamsa::cli

#endif
