// Small helpers shared by the tamsa command's subcommands.
#ifndef TAMSA_TOOLS_CLI_H
#define TAMSA_TOOLS_CLI_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamsa::cli {

// A mistake in the command line: one line on stderr, then exit status 2.
struct usage_error {
    std::string message;
};

// A failure while running (a file that cannot be read or written, a server that cannot be
// reached, no memory): one line on stderr, then exit status 1.
struct failure {
    std::string message;
};

// Command-line arguments consumed from the front.
class args {
   public:
    args(int argc, char **argv) : items_(argv, argv + argc) {}
    bool empty() const { return at_ >= items_.size(); }
    const std::string &peek() const { return items_[at_]; }
    std::string next(const char *what);
    // The value of an option whose name was just taken.
    std::string value(const std::string &option) { return next(("a value for " + option).c_str()); }
    std::vector<std::string> rest();

   private:
    std::vector<std::string> items_;
    size_t at_ = 0;
};

int32_t parse_int(const std::string &text, const std::string &what);
uint32_t parse_count(const std::string &text, const std::string &what);  // 1 and above
struct size2 {
    int32_t width = 0;
    int32_t height = 0;
};
size2 parse_size(const std::string &text, const std::string &what);  // "WxH", both above 0
// A colour as "R,G,B" (each 0..255).
struct colour {
    int32_t red = 0, green = 0, blue = 0;
};
colour parse_colour(const std::string &text, const std::string &what);

}  // namespace tamsa::cli

#endif
