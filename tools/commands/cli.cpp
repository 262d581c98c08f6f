#include "tools/commands/cli.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remote/protocol.h"

namespace tamsa::cli {

namespace {

std::string &command_name() {
    static std::string name;
    return name;
}

verbosity &level() {
    static verbosity v = verbosity::normal;
    return v;
}

// Read by the recorder's threads as well: a lock-free atomic, which a handler may also set.
std::atomic<int> stop_requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

void on_stop(int signal) {
    stop_requested.store(signal, std::memory_order_relaxed);
}

std::string prefix() {
    return command_name().empty() ? "tamsa: " : "tamsa " + command_name() + ": ";
}

}  // namespace

void set_command(const std::string &name) {
    command_name() = name;
}

void set_verbosity(verbosity v) {
    level() = v;
}

verbosity current_verbosity() {
    return level();
}

void warn(const std::string &text) {
    if (quiet()) return;
    std::fprintf(stderr, "%swarning: %s\n", prefix().c_str(), text.c_str());
}

void note(const std::string &text) {
    if (quiet()) return;
    std::fprintf(stderr, "%s%s\n", prefix().c_str(), text.c_str());
}

void error(const std::string &text) {
    std::fprintf(stderr, "%s%s\n", prefix().c_str(), text.c_str());
}

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int stop_signal() {
    return stop_requested.load(std::memory_order_relaxed);
}

bool is_help(const std::string &word) {
    return word == "-h" || word == "--help";
}

args::args(std::vector<std::string> words) {
    for (std::string &w : words) {
        const size_t eq = w.find('=');
        if (w.rfind("--", 0) == 0 && eq != std::string::npos && eq > 2) {
            items_.push_back(w.substr(0, eq));
            items_.push_back(w.substr(eq + 1));
        } else {
            items_.push_back(std::move(w));
        }
    }
}

bool args::has(std::initializer_list<const char *> words) const {
    return std::any_of(items_.begin() + long(at_), items_.end(), [&](const std::string &item) {
        return std::any_of(words.begin(), words.end(), [&](const char *w) { return item == w; });
    });
}

bool args::take(std::initializer_list<const char *> words) {
    bool found = false;
    for (size_t i = at_; i < items_.size();) {
        if (std::any_of(words.begin(), words.end(),
                        [&](const char *w) { return items_[i] == w; })) {
            items_.erase(items_.begin() + long(i));
            found = true;
        } else {
            ++i;
        }
    }
    return found;
}

std::optional<std::string> args::take_value(const std::string &option) {
    std::optional<std::string> value;
    for (size_t i = at_; i < items_.size();) {
        if (items_[i] != option) {
            ++i;
            continue;
        }
        if (i + 1 >= items_.size()) throw usage_error{"missing a value for " + option};
        value = items_[i + 1];
        items_.erase(items_.begin() + long(i), items_.begin() + long(i) + 2);
    }
    return value;
}

void args::take_verbosity() {
    const bool q = take({"-q", "--quiet"});
    const bool v = take({"-v", "--verbose"});
    if (q && v) throw usage_error{"-q (--quiet) and -v (--verbose) cannot go together"};
    set_verbosity(q ? verbosity::quiet : v ? verbosity::verbose : verbosity::normal);
}

std::string args::next(const char *what) {
    if (empty()) throw usage_error{std::string("missing ") + what};
    return items_[at_++];
}

std::vector<std::string> args::rest() {
    std::vector<std::string> r(items_.begin() + long(at_), items_.end());
    at_ = items_.size();
    return r;
}

bool args::asks_help() const {
    return std::any_of(items_.begin() + long(at_), items_.end(), is_help);
}

int32_t parse_int(const std::string &text, const std::string &what) {
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
        throw usage_error{"bad " + what + ": '" + text + "'"};
    }
    return int32_t(v);
}

int32_t parse_ranged(const std::string &text, const std::string &what, int32_t low, int32_t high) {
    const std::string range = " (" + std::to_string(low) + ".." + std::to_string(high) + ")";
    int32_t v;
    try {
        v = parse_int(text, what);
    } catch (const usage_error &e) {
        throw usage_error{e.message + range};
    }
    if (v < low || v > high) throw usage_error{"bad " + what + ": '" + text + "'" + range};
    return v;
}

uint32_t parse_count(const std::string &text, const std::string &what) {
    int32_t v = 0;
    try {
        v = parse_int(text, what);
    } catch (const usage_error &) {
    }
    if (v < 1) throw usage_error{"bad " + what + ": '" + text + "' (1 or more)"};
    return uint32_t(v);
}

size2 parse_size(const std::string &text, const std::string &what) {
    const std::string rule = "bad " + what + ": '" + text +
                             "' (WxH: W and H 1 or more, W x H at most " +
                             std::to_string(kMaxPixels) + " pixels)";
    const size_t x = text.find('x');
    if (x == std::string::npos || text.find('x', x + 1) != std::string::npos)
        throw usage_error{rule};
    size2 s;
    try {
        s = {parse_int(text.substr(0, x), what), parse_int(text.substr(x + 1), what)};
    } catch (const usage_error &) {
        throw usage_error{rule};
    }
    if (s.width < 1 || s.height < 1 || int64_t(s.width) * s.height > kMaxPixels)
        throw usage_error{rule};
    return s;
}

scale_spec parse_scale(const std::string &text, const std::string &what, bool percent) {
    const std::string rule = "bad " + what + ": '" + text +
                             "' (WxH or W:H, W:-1 or -1:H to keep the proportions" +
                             (percent ? ", or N% (1..10000)" : "") + "; W x H at most " +
                             std::to_string(kMaxPixels) + " pixels)";
    if (percent && !text.empty() && text.back() == '%') {
        int32_t n = 0;
        try {
            n = parse_int(text.substr(0, text.size() - 1), what);
        } catch (const usage_error &) {
            throw usage_error{rule};
        }
        if (n < 1 || n > 10000) throw usage_error{rule};
        return {0, 0, n};
    }
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        const size2 s = parse_size(text, what);
        return {s.width, s.height, 0};
    }
    if (text.find(':', colon + 1) != std::string::npos) throw usage_error{rule};
    scale_spec s;
    try {
        s.width = parse_int(text.substr(0, colon), what);
        s.height = parse_int(text.substr(colon + 1), what);
    } catch (const usage_error &) {
        throw usage_error{rule};
    }
    // -1 on one side only; 0 marks it from here on.
    if (s.width == -1 && s.height >= 1) s.width = 0;
    if (s.height == -1 && s.width >= 1) s.height = 0;
    if (s.width < 0 || s.height < 0 || (s.width == 0 && s.height == 0) ||
        int64_t(s.width) * s.height > kMaxPixels) {
        throw usage_error{rule};
    }
    return s;
}

size2 resolve_scale(const scale_spec &s, int32_t from_w, int32_t from_h, const std::string &what) {
    int64_t w = s.width, h = s.height;
    if (s.percent != 0) {
        w = std::max<int64_t>(1, (int64_t(from_w) * s.percent + 50) / 100);
        h = std::max<int64_t>(1, (int64_t(from_h) * s.percent + 50) / 100);
    } else if (w == 0) {
        w = std::max<int64_t>(1, (h * from_w + from_h / 2) / std::max(1, from_h));
    } else if (h == 0) {
        h = std::max<int64_t>(1, (w * from_h + from_w / 2) / std::max(1, from_w));
    }
    if (w > INT32_MAX || h > INT32_MAX || w * h > kMaxPixels) {
        throw usage_error{what + " of " + std::to_string(from_w) + "x" + std::to_string(from_h) +
                          " gives " + std::to_string(w) + "x" + std::to_string(h) + ", more than " +
                          std::to_string(kMaxPixels) + " pixels"};
    }
    return {int32_t(w), int32_t(h)};
}

failure write_failure(const std::string &what) {
    const int e = errno;
    return failure{what + ": " + std::strerror(e), e == EPIPE};
}

colour parse_colour(const std::string &text, const std::string &what) {
    const std::string rule = "bad " + what + ": '" + text + "' (R,G,B, each 0..255)";
    const size_t a = text.find(',');
    const size_t b = a == std::string::npos ? a : text.find(',', a + 1);
    if (b == std::string::npos || text.find(',', b + 1) != std::string::npos)
        throw usage_error{rule};
    colour c;
    try {
        c = {parse_int(text.substr(0, a), what), parse_int(text.substr(a + 1, b - a - 1), what),
             parse_int(text.substr(b + 1), what)};
    } catch (const usage_error &) {
        throw usage_error{rule};
    }
    for (int32_t v : {c.red, c.green, c.blue}) {
        if (v < 0 || v > 255) throw usage_error{rule};
    }
    return c;
}

std::string parse_port(const std::string &text) {
    if (!remote::valid_port_name(text.c_str())) {
        throw usage_error{"bad port name: '" + text +
                          "' (1 to 64 letters, digits, '.', '_' and '-', not starting with '.')"};
    }
    return text;
}

std::string lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string count_of(uint64_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

progress::progress(bool wanted, std::string unit, std::string units)
    : shown_(wanted && !quiet() && isatty(STDERR_FILENO) != 0),
      unit_(std::move(unit)),
      units_(std::move(units)),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

progress::~progress() {
    done();
}

void progress::draw(const std::string &line) {
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void progress::step(uint64_t n, uint64_t total) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    // A few lines a second are enough to read; the last step is always drawn.
    if (now - last_draw_ < std::chrono::milliseconds(100) && n != total) return;
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? double(n) / seconds : 0.0;
    char line[160];
    if (total != 0) {
        const double left = rate > 0 ? double(total > n ? total - n : 0) / rate : 0.0;
        std::snprintf(line, sizeof line, "%s %llu of %llu, %.1f %s/s, %.1f s left", unit_.c_str(),
                      static_cast<unsigned long long>(n), static_cast<unsigned long long>(total),
                      rate, units_.c_str(), left);
    } else {
        std::snprintf(line, sizeof line, "%s %llu, %.1f %s/s", unit_.c_str(),
                      static_cast<unsigned long long>(n), rate, units_.c_str());
    }
    draw(line);
}

void progress::start_timer(const std::string &what) {
    if (!shown_ || timer_.joinable()) return;
    timer_ = std::thread([this, what] {
        std::unique_lock<std::mutex> lock(mutex_);
        auto next = start_ + std::chrono::seconds(1);
        while (!wake_.wait_until(lock, next, [this] { return stop_; })) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
            char line[160];
            std::snprintf(line, sizeof line, "%s: %.1f s", what.c_str(), seconds);
            draw(line);
            next += std::chrono::milliseconds(250);
        }
    });
}

void progress::done() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (timer_.joinable()) timer_.join();
    if (drawn_) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

}  // namespace tamsa::cli
