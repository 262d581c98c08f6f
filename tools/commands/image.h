// tamsa image: its operations as one table, from which the parser, the usage and each
// operation's help are made, and against which the README and the Python module are checked.
#ifndef TAMSA_TOOLS_COMMANDS_IMAGE_H
#define TAMSA_TOOLS_COMMANDS_IMAGE_H

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tamsa/internal/settings.h"
#include "tamsa/tamsa.h"
#include "tools/commands/cli.h"
#include "tools/pictures/picture.h"

namespace tamsa::tools {

struct bitmap_deleter {
    void operator()(kv_bitmap *b) const { kv_freebitmap(b); }
};
using bitmap_ptr = std::unique_ptr<kv_bitmap, bitmap_deleter>;

enum class arg_kind {
    integer,  // a whole number, in its range when it has one
    decimal,  // a number with a fraction, in its range
    size,     // WxH, W:H, W:-1, -1:H or N%
    choice,   // one of the words of the synopsis word, split at '|'
    picture,  // a picture file, read once the command line is whole
    colour,   // R,G,B
    flag,     // an option without a value
};

// A word after IN OUT (or an option after those, its word starting with "--").
struct image_argument {
    const char *word;  // in the synopsis: X1, DEGREES, 90|180|270, --fill
    arg_kind kind;
    const char *what;                                     // "bad WHAT: 'text'"
    const char *missing = nullptr;                        // "missing MISSING"; what when null
    std::optional<settings::range> range = std::nullopt;  // integers and decimals
    const char *fallback = nullptr;  // the default as the help says it; null: required
    const char *value = nullptr;     // an option's value in the synopsis (R,G,B)
    // What a bad value is told: the words in brackets after it; for an integer with a range,
    // the message of a value out of it, checked once every word is read.
    const char *rule = nullptr;
    const char *python = nullptr;  // the Python parameters it becomes, ", " between
    bool optional = false;         // a word that may be left out, before any option
    bool is_option() const { return word[0] == '-'; }
};

// What the command line gave each argument, in the row's order.
struct image_value {
    int32_t number = 0;  // integers; a choice's place among its words; 1 for a flag given
    float decimal = 0;
    cli::colour colour;
    cli::scale_spec size;
    std::string text;                    // a picture's file name
    std::shared_ptr<const picture> top;  // that picture, once read
};
using image_values = std::vector<image_value>;

// An operation on the input's bitmap; it returns the bitmap to write (the input itself for
// operations in place). Operations that work in steps report them.
using image_run = bitmap_ptr (*)(const image_values &, bitmap_ptr, cli::progress &);

struct image_op {
    const char *name;
    std::vector<image_argument> args = {};
    // What it does. {WORD} stands for an argument's range, {WORD=} for its default.
    const char *help;
    image_run run;
    const char *python = nullptr;  // the Python function that does the same, when one does
    bool reports_steps = false;    // shows its steps; the others show the time spent
    // The result's size when the command line fixes it, so that it is checked before reading.
    cli::size2 (*size)(const image_values &) = nullptr;
};

std::span<const image_op> image_ops();
// "rotate IN OUT DEGREES [--fill R,G,B]".
std::string op_synopsis(const image_op &op);
// The help text with ranges and defaults put in.
std::string op_help(const image_op &op);

}  // namespace tamsa::tools

#endif
