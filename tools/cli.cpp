#include "tools/cli.h"

#include <cerrno>
#include <cstdlib>

namespace tamsa::cli {

std::string args::next(const char *what) {
    if (empty()) throw usage_error{std::string("missing ") + what};
    return items_[at_++];
}

std::vector<std::string> args::rest() {
    std::vector<std::string> r(items_.begin() + long(at_), items_.end());
    at_ = items_.size();
    return r;
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

uint32_t parse_count(const std::string &text, const std::string &what) {
    const int32_t v = parse_int(text, what);
    if (v < 1) throw usage_error{"bad " + what + ": '" + text + "' (1 or more)"};
    return uint32_t(v);
}

size2 parse_size(const std::string &text, const std::string &what) {
    const size_t x = text.find('x');
    if (x == std::string::npos) throw usage_error{"bad " + what + ": '" + text + "' (WxH)"};
    size2 s{parse_int(text.substr(0, x), what), parse_int(text.substr(x + 1), what)};
    if (s.width < 1 || s.height < 1 || int64_t(s.width) * s.height > (int64_t(1) << 26)) {
        throw usage_error{"bad " + what + ": '" + text + "'"};
    }
    return s;
}

colour parse_colour(const std::string &text, const std::string &what) {
    const size_t a = text.find(',');
    const size_t b = a == std::string::npos ? a : text.find(',', a + 1);
    if (b == std::string::npos) throw usage_error{"bad " + what + ": '" + text + "' (R,G,B)"};
    colour c{parse_int(text.substr(0, a), what), parse_int(text.substr(a + 1, b - a - 1), what),
             parse_int(text.substr(b + 1), what)};
    for (int32_t v : {c.red, c.green, c.blue}) {
        if (v < 0 || v > 255) throw usage_error{"bad " + what + ": '" + text + "' (0..255)"};
    }
    return c;
}

}  // namespace tamsa::cli
