// tamsa image: the library's operations on picture files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "tamsa/tamsa.h"
#include "tools/commands/cli.h"
#include "tools/commands/image.h"
#include "tools/pictures/picture.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;

// What reading the picture at path left out, said.
void warn_of(const std::string &path, bool dropped_alpha, int32_t orientation) {
    const std::string name = path == "-" ? std::string("standard input") : path;
    if (dropped_alpha) cli::warn(name + ": transparency dropped (the library has no alpha)");
    if (orientation != 1) {
        cli::warn(name + ": EXIF orientation " + std::to_string(orientation) +
                  " is not applied; the picture is used as stored (turn and flip can right it)");
    }
}

picture load_input(const std::string &path) {
    picture p = load_picture(path);
    warn_of(path, p.dropped_alpha, p.orientation);
    return p;
}

// The picture decoded straight into a bitmap of the library, a grey one as colour; grey says
// which it was.
bitmap_ptr load_bitmap(const std::string &path, bool &grey) {
    bitmap_ptr b;
    const picture_info info = load_picture_into(path, 3, [&b](int32_t w, int32_t h, int32_t) {
        b.reset(kv_allocrawbitmap(w, h, 3));
        return b == nullptr ? nullptr : b->data;
    });
    warn_of(path, info.dropped_alpha, info.orientation);
    grey = info.channels == 1;
    return b;
}

bitmap_ptr to_bitmap(const picture &p) {
    bitmap_ptr b(kv_allocrawbitmap(p.width, p.height, 3));
    if (b == nullptr)
        throw failure{"out of memory for a " + std::to_string(p.width) + "x" +
                      std::to_string(p.height) + " picture"};
    const size_t n = size_t(p.width) * size_t(p.height);
    if (p.channels == 3) {
        std::memcpy(b->data, p.pixels.data(), n * 3);
        return b;
    }
    for (size_t i = 0; i < n; ++i) {
        for (size_t c = 0; c < 3; ++c)
            b->data[i * 3 + c] = p.pixels[i * size_t(p.channels) + (p.channels == 3 ? c : 0)];
    }
    return b;
}

bitmap_ptr made(kv_bitmap *result, const char *what) {
    if (result == nullptr)
        throw failure{std::string(what) + " failed (out of memory, or the result is too large)"};
    return bitmap_ptr(result);
}

bitmap_ptr in_place(bitmap_ptr b, int32_t ok, const char *what) {
    if (ok == 0)
        throw failure{std::string(what) + " failed (out of memory, or the result is too large)"};
    return b;
}

// The operations, each reading its values in the order of its row's arguments.

bitmap_ptr run_scale(const image_values &v, bitmap_ptr b, cli::progress &) {
    const cli::size2 s = cli::resolve_scale(v[0].size, b->width, b->height, "size");
    return made(kv_scalecopybitmap(b.get(), s.width, s.height), "scale");
}

// A size in proportion to the picture's is known once it is read.
cli::size2 scale_size(const image_values &v) {
    const cli::scale_spec &s = v[0].size;
    const bool fixed = s.percent == 0 && s.width != 0 && s.height != 0;
    return fixed ? cli::size2{s.width, s.height} : cli::size2{};
}

bitmap_ptr run_cut(const image_values &v, bitmap_ptr b, cli::progress &) {
    return made(kv_cutbitmap(b.get(), v[0].number, v[1].number, v[2].number, v[3].number), "cut");
}

bitmap_ptr run_rotate(const image_values &v, bitmap_ptr b, cli::progress &) {
    const cli::colour &fill = v[1].colour;
    return made(kv_rotatebitmap(b.get(), fill.red, fill.green, fill.blue, v[0].decimal), "rotate");
}

bitmap_ptr run_shear(const image_values &v, bitmap_ptr b, cli::progress &) {
    const cli::colour &fill = v[4].colour;
    const int32_t ok = kv_shearbitmap(b.get(), v[0].number, v[1].number, v[2].number, v[3].number,
                                      fill.red, fill.green, fill.blue);
    return in_place(std::move(b), ok, "shear");
}

// Turned counter-clockwise by 1 to 3 quarter turns: pixels moved, none made anew.
bitmap_ptr run_turn(const image_values &v, bitmap_ptr b, cli::progress &) {
    const int32_t quarters = v[0].number + 1;
    const bool sideways = quarters != 2;
    const int32_t w = b->width, h = b->height;
    bitmap_ptr out = made(kv_allocrawbitmap(sideways ? h : w, sideways ? w : h, 3), "turn");
    turn_pixels(b->data, w, h, 3, quarters, out->data);
    return out;
}

// A mirror image: h exchanges left and right, v top and bottom. In place, by swapping pixels.
bitmap_ptr run_flip(const image_values &v, bitmap_ptr b, cli::progress &) {
    flip_pixels(b->data, b->width, b->height, 3, v[0].number == 0);
    return b;
}

bitmap_ptr run_transpose(const image_values &, bitmap_ptr b, cli::progress &) {
    const int32_t ok = kv_transposebitmap(b.get());
    return in_place(std::move(b), ok, "transpose");
}

bitmap_ptr run_smooth(const image_values &v, bitmap_ptr b, cli::progress &meter) {
    const auto passes = uint32_t(v[0].number);
    // Each pass runs before the bitmap is handed on: in one call's arguments, the move could
    // come first and leave it null (it does where they are evaluated left to right).
    if (!meter.shown()) {
        const int32_t ok = kv_smoothbitmap(b.get(), int32_t(passes));
        return in_place(std::move(b), ok, "smooth");
    }
    // Pass by pass, which gives the same pixels, to show how far it is.
    for (uint32_t pass = 1; pass <= passes; ++pass) {
        const int32_t ok = kv_smoothbitmap(b.get(), 1);
        b = in_place(std::move(b), ok, "smooth");
        meter.step(pass, passes);
    }
    return b;
}

bitmap_ptr run_dither(const image_values &v, bitmap_ptr b, cli::progress &) {
    return made(kv_dither(b.get(), v[0].number), "dither");
}

bitmap_ptr run_correct(const image_values &v, bitmap_ptr b, cli::progress &) {
    tamsa_correct_ll(b.get(), v[0].number, v[1].number, int16_t(v[2].number));
    return b;
}

bitmap_ptr run_remap(const image_values &, bitmap_ptr b, cli::progress &) {
    const uint32_t n = uint32_t(b->width) * uint32_t(b->height);
    bitmap_ptr cube = made(kv_allocbitmap(b->width, b->height, 3), "remap");
    // Indexes first, in the last third of the result, then spread to their colours.
    uint8_t *indexes = cube->data + 2 * size_t(n);
    kv_remap24(b->data, indexes, nullptr, n * 3);
    cube_colours(indexes, n, cube->data);
    return cube;
}

bitmap_ptr run_blit(const image_values &v, bitmap_ptr b, cli::progress &) {
    const bitmap_ptr source = to_bitmap(*v[0].top);
    const int32_t x = v[1].number, y = v[2].number, transparency = v[3].number;
    if (v[4].number != 0) {
        kv_transalphachunkyblit(b.get(), source->width, source->height, source->data, x, y,
                                transparency);
    } else {
        kv_blitbitmaptrans(b.get(), source.get(), x, y, transparency);
    }
    return b;
}

bitmap_ptr run_line(const image_values &v, bitmap_ptr b, cli::progress &) {
    const cli::colour &c = v[4].colour;
    kv_drawline(b.get(), v[0].number, v[1].number, v[2].number, v[3].number, c.red, c.green,
                c.blue);
    return b;
}

bitmap_ptr run_box(const image_values &v, bitmap_ptr b, cli::progress &) {
    const cli::colour &c = v[4].colour;
    kv_drawbox(b.get(), v[0].number, v[1].number, v[2].number, v[3].number, c.red, c.green, c.blue,
               v[5].number);
    return b;
}

// Arguments that several operations take.
image_argument corner(const char *word, const char *what, const char *python) {
    return {.word = word, .kind = arg_kind::integer, .what = what, .python = python};
}
const image_argument kFill{.word = "--fill",
                           .kind = arg_kind::colour,
                           .what = "fill colour",
                           .fallback = "0,0,0",
                           .value = "R,G,B",
                           .python = "fill"};
const image_argument kColour{.word = "--colour",
                             .kind = arg_kind::colour,
                             .what = "colour",
                             .fallback = "255,255,255",
                             .value = "R,G,B",
                             .python = "colour"};
constexpr settings::range kShifts{0, 65536};
image_argument shift(const char *word, const char *what, const char *python) {
    return {.word = word,
            .kind = arg_kind::integer,
            .what = what,
            .range = kShifts,
            .rule = "bad shift: shifts are ",
            .python = python};
}

// One row per operation; a new operation is a row here and its run above.
const std::vector<image_op> kOps = {
    {.name = "scale",
     .args = {{.word = "WxH|W:H|W:-1|-1:H|N%",
               .kind = arg_kind::size,
               .what = "size",
               .missing = "a size WxH",
               .python = "width, height"}},
     .help =
         "Resizes to W x H pixels by nearest neighbour: no smoothing, columns and rows are\n"
         "dropped or repeated. W and H 1 or more, W x H at most 67108864. W:H is WxH; -1 for one\n"
         "side keeps the proportions (rounded to the nearest pixel); N% (1..10000) scales both\n"
         "sides.",
     .run = run_scale,
     .python = "scale",
     .size = scale_size},
    {.name = "cut",
     .args = {corner("X1", "x1", "x1"), corner("Y1", "y1", "y1"), corner("X2", "x2", "x2"),
              corner("Y2", "y2", "y2")},
     .help = "Copies the rectangle between two corners (pixels, both corners included, in any\n"
             "order); what lies outside the picture comes out black.",
     .run = run_cut,
     .python = "cut"},
    {.name = "rotate",
     .args = {{.word = "DEGREES",
               .kind = arg_kind::decimal,
               .what = "angle",
               .missing = "an angle in degrees",
               .range = settings::range{-1000000, 1000000},
               .rule = "degrees",
               .python = "angle"},
              kFill},
     .help =
         "Rotates counter-clockwise by DEGREES (a decimal number, {DEGREES}). The picture\n"
         "grows to hold every rotated pixel; --fill colours the corners it gains (each 0..255,\n"
         "default {--fill=}).",
     .run = run_rotate,
     .python = "rotate"},
    {.name = "shear",
     .args = {corner("ROW1", "first row", "first_row"), corner("ROW2", "last row", "last_row"),
              shift("SHIFT1", "first shift", "first_shift"),
              shift("SHIFT2", "last shift", "last_shift"), kFill},
     .help = "Shifts rows ROW1 to ROW2 to the right, by SHIFT1 pixels at ROW1 growing linearly to\n"
             "SHIFT2 at ROW2 (shifts {SHIFT1}); other rows stay. The picture widens by the larger\n"
             "shift; --fill colours the pixels uncovered (each 0..255, default {--fill=}).",
     .run = run_shear,
     .python = "shear"},
    {.name = "turn",
     .args = {{.word = "90|180|270",
               .kind = arg_kind::choice,
               .what = "turn",
               .missing = "a quarter turn (90, 180 or 270)",
               .rule = "90, 180 or 270 degrees counter-clockwise; rotate takes any angle",
               .python = "angle"}},
     .help =
         "Turns counter-clockwise by a quarter, half or three-quarter turn: every pixel is moved\n"
         "as it is, none is made anew (rotate resamples, and grows the picture).",
     .run = run_turn,
     .python = "turn"},
    {.name = "flip",
     .args = {{.word = "h|v",
               .kind = arg_kind::choice,
               .what = "direction",
               .missing = "a direction (h or v)",
               .rule = "h: left and right, v: top and bottom",
               .python = "direction"}},
     .help =
         "A mirror image: h exchanges left and right, v top and bottom. Every pixel is moved as\n"
         "it is.",
     .run = run_flip,
     .python = "flip"},
    {.name = "transpose",
     .help = "Swaps rows and columns (a mirror along the diagonal).",
     .run = run_transpose,
     .python = "transpose"},
    {.name = "smooth",
     .args = {{.word = "PASSES",
               .kind = arg_kind::integer,
               .what = "passes",
               .missing = "a number of passes",
               .range = settings::range{1, 10000},
               .python = "passes"}},
     .help =
         "Averages each inner pixel with its four neighbours (the pixel half, each neighbour an\n"
         "eighth), PASSES times ({PASSES}). The border keeps its pixels.",
     .run = run_smooth,
     .python = "smooth",
     .reports_steps = true},
    {.name = "dither",
     .args = {{.word = "TYPE",
               .kind = arg_kind::integer,
               .what = "matrix type",
               .missing = "a matrix type",
               .range = settings::kDitherType,
               .python = "matrix"}},
     // The matrices as settings::kDitherMatrices names them (a test holds the two together).
     .help =
         "Ordered dithering to the 8 colours whose channels are 0 or 255, with threshold matrix\n"
         "TYPE: 1 classical screen 8x8, 2 rectangular 3x3, 3 halftone 6x6, 4 Bayer 4x4,\n"
         "5 Bayer 16x16, 6 four stars 5x5, 7 box 5x5.",
     .run = run_dither,
     .python = "dither"},
    {.name = "correct",
     .args = {{.word = "CONTRAST",
               .kind = arg_kind::integer,
               .what = "contrast",
               .missing = "a contrast in percent",
               .range = settings::kContrast,
               .python = "contrast"},
              // No brightness, or an option in its place, adds none.
              {.word = "BRIGHTNESS",
               .kind = arg_kind::integer,
               .what = "brightness",
               .missing = "a brightness",
               .range = settings::kBrightness,
               .fallback = "0",
               .python = "brightness",
               .optional = true},
              {.word = "--invert", .kind = arg_kind::flag, .what = "invert", .python = "invert"}},
     .help =
         "CONTRAST in percent around mid-grey 128: 100 keeps, 0 gives flat grey, below 0 mirrors\n"
         "the levels ({CONTRAST}). Then BRIGHTNESS is added ({BRIGHTNESS}, default {BRIGHTNESS=}). "
         "--invert\n"
         "turns each level L into 255 - L at the end.",
     .run = run_correct,
     .python = "correct"},
    {.name = "remap",
     .help = "Reduces to the 216 colours of the 6x6x6 colour cube (levels 0, 51, ..., 255).",
     .run = run_remap},
    {.name = "blit",
     .args = {{.word = "OTHER",
               .kind = arg_kind::picture,
               .what = "picture",
               .missing = "the picture to place",
               .python = "source"},
              corner("X", "x", "x"),
              corner("Y", "y", "y"),
              {.word = "--transparency",
               .kind = arg_kind::integer,
               .what = "transparency",
               .range = settings::kTransparency,
               .fallback = "0",
               .value = "T",
               .python = "transparency"},
              {.word = "--alpha", .kind = arg_kind::flag, .what = "alpha"}},
     .help = "Places the picture OTHER with its top-left corner at (X, Y) of IN, clipped to IN's\n"
             "edges. --transparency T in percent: {--transparency=} (default) covers, 100 leaves "
             "IN showing\n"
             "({--transparency}). --alpha blends by OTHER's brightness instead: white covers, "
             "black leaves IN\n"
             "showing, and T adds transparency to every pixel.",
     .run = run_blit,
     .python = "blit"},
    {.name = "line",
     .args = {corner("X1", "x1", "x1"), corner("Y1", "y1", "y1"), corner("X2", "x2", "x2"),
              corner("Y2", "y2", "y2"), kColour},
     .help = "Draws a line between two points, both included, clipped to the picture (colour each\n"
             "0..255, default {--colour=}).",
     .run = run_line,
     .python = "line"},
    {.name = "box",
     .args = {corner("X1", "x1", "x1"),
              corner("Y1", "y1", "y1"),
              corner("X2", "x2", "x2"),
              corner("Y2", "y2", "y2"),
              kColour,
              {.word = "--step",
               .kind = arg_kind::integer,
               .what = "step",
               .range = settings::range{1, 65536},
               .fallback = "1",
               .value = "N",
               .python = "step"}},
     .help = "Fills the box between two corners, both included, clipped to the picture (colour\n"
             "each 0..255, default {--colour=}). --step N sets only every Nth pixel of every Nth\n"
             "row, from the top-left corner ({--step}, default {--step=}).",
     .run = run_box,
     .python = "box"},
};

const image_op *find_op(const std::string &name) {
    for (const image_op &op : kOps) {
        if (name == op.name) return &op;
    }
    return nullptr;
}

std::string range_text(const settings::range &r) {
    return std::to_string(r.low) + ".." + std::to_string(r.high);
}

// The argument's value from a word of the command line.
image_value parse_value(const image_argument &a, const std::string &text) {
    image_value v;
    switch (a.kind) {
        case arg_kind::integer:
            // A range with a rule is checked once every word is read (see check_together).
            v.number = a.range.has_value() && a.rule == nullptr
                           ? cli::parse_ranged(text, a.what, a.range->low, a.range->high)
                           : cli::parse_int(text, a.what);
            break;
        case arg_kind::decimal: {
            char *end = nullptr;
            v.decimal = std::strtof(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(v.decimal) ||
                !(v.decimal >= float(a.range->low) && v.decimal <= float(a.range->high))) {
                throw usage_error{"bad " + std::string(a.what) + ": '" + text + "' (" + a.rule +
                                  ", " + range_text(*a.range) + ")"};
            }
            break;
        }
        case arg_kind::size:
            v.size = cli::parse_scale(text, a.what, true);
            break;
        case arg_kind::choice: {
            // The words of the synopsis, between the bars.
            const std::string words = std::string("|") + a.word + "|";
            const size_t at = words.find("|" + text + "|");
            if (text.empty() || text.find('|') != std::string::npos || at == std::string::npos)
                throw usage_error{"bad " + std::string(a.what) + ": '" + text + "' (" + a.rule +
                                  ")"};
            v.number = int32_t(std::count(words.begin(), words.begin() + long(at), '|'));
            break;
        }
        case arg_kind::picture:
            v.text = text;
            break;
        case arg_kind::colour:
            v.colour = cli::parse_colour(text, a.what);
            break;
        case arg_kind::flag:
            v.number = 1;
            break;
    }
    return v;
}

// Integers whose range comes with a rule are checked together, once all are read.
void check_together(const image_op &op, const image_values &values) {
    for (size_t i = 0; i < op.args.size(); ++i) {
        const image_argument &a = op.args[i];
        if (a.kind == arg_kind::integer && a.rule != nullptr && !a.range->holds(values[i].number))
            throw usage_error{a.rule + range_text(*a.range)};
    }
}

// The operation's words after IN OUT, then its options, in any order and as often as given.
image_values parse_arguments(const image_op &op, cli::args &args) {
    image_values values(op.args.size());
    for (size_t i = 0; i < op.args.size(); ++i) {
        const image_argument &a = op.args[i];
        if (a.fallback != nullptr) values[i] = parse_value(a, a.fallback);
    }
    for (size_t i = 0; i < op.args.size(); ++i) {
        const image_argument &a = op.args[i];
        if (a.is_option()) continue;
        if (a.optional && (args.empty() || args.peek().rfind("--", 0) == 0)) continue;
        values[i] = parse_value(a, args.next(a.missing != nullptr ? a.missing : a.what));
    }
    check_together(op, values);
    while (!args.empty()) {
        const std::string o = args.next("an option");
        const image_argument *known = nullptr;
        size_t at = 0;
        for (size_t i = 0; i < op.args.size(); ++i) {
            if (op.args[i].is_option() && o == op.args[i].word) {
                known = &op.args[i];
                at = i;
            }
        }
        if (known == nullptr && (o.size() < 2 || o[0] != '-'))
            throw usage_error{"unexpected argument: " + o + " (tamsa image OP --help)"};
        if (known == nullptr)
            throw usage_error{"unknown option: " + o + " (tamsa image OP --help)"};
        values[at] = parse_value(*known, known->kind == arg_kind::flag ? "" : args.value(o));
    }
    // Pictures are read once the command line is known to be right.
    for (size_t i = 0; i < op.args.size(); ++i) {
        if (op.args[i].kind == arg_kind::picture)
            values[i].top = std::make_shared<const picture>(load_input(values[i].text));
    }
    return values;
}

}  // namespace

std::span<const image_op> image_ops() {
    return kOps;
}

std::string op_synopsis(const image_op &op) {
    std::string s = std::string(op.name) + " IN OUT";
    for (const image_argument &a : op.args) {
        std::string word = a.word;
        if (a.value != nullptr) word += std::string(" ") + a.value;
        s += a.is_option() || a.optional ? " [" + word + "]" : " " + word;
    }
    return s;
}

std::string op_help(const image_op &op) {
    std::string text = op.help;
    for (const image_argument &a : op.args) {
        const std::string word = a.word;
        if (a.range.has_value()) {
            for (size_t at; (at = text.find("{" + word + "}")) != std::string::npos;)
                text.replace(at, word.size() + 2, range_text(*a.range));
        }
        if (a.fallback != nullptr) {
            for (size_t at; (at = text.find("{" + word + "=}")) != std::string::npos;)
                text.replace(at, word.size() + 3, a.fallback);
        }
    }
    return text;
}

namespace {

void print_usage() {
    std::fputs(
        "usage: tamsa image OP IN OUT [ARGUMENTS] [OPTIONS]\n"
        "\n"
        "Runs one of the library's operations on the picture IN and writes the result to OUT.\n"
        "Coordinates, sizes and shifts are in pixels, from (0, 0) at the top left. turn and\n"
        "flip are done here, by moving pixels.\n"
        "\n"
        "Operations:\n",
        stdout);
    for (const image_op &op : kOps) std::printf("  %s\n", op_synopsis(op).c_str());
    std::fputs(
        "\n"
        "  tamsa image OP --help  what one operation does, with ranges and defaults\n"
        "\n"
        "IN: PPM or PGM (binary or plain, 8 or 16 bits a sample), PAM (GRAYSCALE, RGB and their\n"
        "_ALPHA forms), PNG, or JPEG (8-bit grey or colour, baseline or progressive; CMYK is\n"
        "refused); 16-bit samples are rounded to 8 bits, transparency is dropped with a warning,\n"
        "and a JPEG's EXIF orientation is not applied (a warning says it).\n"
        "OUT: the format its extension names, in any case: .ppm (colour), .pgm (grey: a colour\n"
        "result is made grey by BT.601 luma, said on stderr), .pnm (grey or colour, as the result\n"
        "is), .pam, .png, or .jpg/.jpeg; a grey picture comes out grey when the result still is.\n"
        "An unknown extension is refused before any work. OUT is written whole or not at all: to\n"
        "a new file, renamed over OUT at the end.\n"
        "\n"
        "  IN -                   read standard input (a pipe or FIFO is fine as IN too)\n"
        "  OUT -                  write standard output, as --format says\n"
        "  --format F             for OUT -: ppm (default), pgm, pnm, pam, png or jpeg\n"
        "  --quality N            JPEG quality for a JPEG OUT, 1..100 (default 90)\n"
        "  -y, --overwrite        replace OUT when it exists (refused otherwise, also when OUT\n"
        "                         is IN)\n"
        "  -q, --quiet            errors only: no warnings, no time spent\n"
        "  -v, --verbose          also a line on what was written\n"
        "\n"
        "Threads: an operation on a big picture (above full HD for the cheapest, from about\n"
        "600x600 for a rotation) runs in bands on every CPU this process may run on, with the\n"
        "bytes one thread gives. TAMSA_THREADS=N in the environment sets the number of threads\n"
        "(1: one thread, as for small pictures; worth it on a machine already busy).\n"
        "\n"
        "Exit status: 0 done, 1 failed while running (a file, memory), 2 bad command line.\n",
        stdout);
}

void print_op_help(const image_op &op) {
    std::printf("usage: tamsa image %s\n\n%s\n", op_synopsis(op).c_str(), op_help(op).c_str());
}

// A grey input stays grey where the operation kept every pixel grey: those levels, once each,
// go into grey. Any other result is written from the bitmap itself.
picture_view result_view(const kv_bitmap &b, bool grey_input, picture &grey) {
    const picture_view whole{b.width, b.height, b.bytesperpixel, b.data};
    return grey_input && grey_of(whole, grey) ? grey.view() : whole;
}

// OUT's format: by its extension, or for "-" as --format says (PPM by default).
picture_format out_format(const std::string &out, const std::optional<std::string> &asked) {
    if (out != "-") {
        if (asked.has_value()) {
            throw usage_error{"--format is for OUT - (standard output); " + out +
                              " gets the format its extension names"};
        }
        return format_for(out);
    }
    if (isatty(STDOUT_FILENO) != 0) {
        throw usage_error{
            "standard output is a terminal: pipe the picture into a program, or "
            "name a file"};
    }
    return format_named(asked.value_or("ppm"));
}

// An existing file is replaced only when asked; a directory never.
void check_out(const std::string &out, bool overwrite) {
    if (out == "-") return;
    struct stat st {};
    if (stat(out.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) throw failure{out + ": is a directory"};
    if (S_ISREG(st.st_mode) && !overwrite)
        throw failure{out + " already exists; -y (--overwrite) replaces it"};
}

}  // namespace

int image_command(cli::args &args) {
    const std::string name = args.next("an operation (tamsa image --help lists them)");
    if (name == "help" || cli::is_help(name)) {
        const image_op *op = args.empty() ? nullptr : find_op(args.peek());
        if (op != nullptr) {
            print_op_help(*op);
        } else {
            print_usage();
        }
        return cli::kExitOk;
    }
    const image_op *op = find_op(name);
    if (op == nullptr)
        throw usage_error{"unknown operation: " + name + " (tamsa image --help lists them)"};
    if (args.asks_help()) {
        print_op_help(*op);
        return cli::kExitOk;
    }
    args.take_verbosity();
    const bool overwrite = args.take({"-y", "--overwrite"});
    const std::optional<std::string> stream_format = args.take_value("--format");
    const std::optional<std::string> quality_text = args.take_value("--quality");
    const std::string in = args.next("an input file");
    const std::string out = args.next("an output file");
    // Everything the command line can get wrong is refused before a file is read.
    const picture_format format = out_format(out, stream_format);
    int32_t quality = kDefaultJpegQuality;
    if (quality_text.has_value()) {
        if (format != picture_format::jpeg)
            throw usage_error{"--quality is for a JPEG OUT (.jpg, .jpeg or --format jpeg)"};
        quality = cli::parse_ranged(*quality_text, "quality", 1, 100);
    }
    const image_values values = parse_arguments(*op, args);
    const cli::size2 size = op->size != nullptr ? op->size(values) : cli::size2{};
    const std::string large = too_large_for(format, size.width, size.height);
    if (!large.empty()) throw usage_error{out + ": " + large};
    check_out(out, overwrite);
    cli::progress meter(true, "pass", "passes");
    if (!op->reports_steps) meter.start_timer("tamsa image " + name);
    bool grey_input = false;
    bitmap_ptr result = op->run(values, load_bitmap(in, grey_input), meter);
    picture grey;
    const picture_view written = result_view(*result, grey_input, grey);
    const std::string out_name = out == "-" ? "standard output" : out;
    if (format == picture_format::pgm && written.channels != 1)
        cli::note(out_name + ": the colour result is written grey (BT.601 luma), as PGM holds");
    if (out == "-") {
        if (!write_picture(stdout, written, format, quality) || std::fflush(stdout) != 0)
            throw cli::write_failure("standard output");
    } else {
        save_picture(out, written, format, quality);
    }
    meter.done();
    if (cli::verbose()) {
        cli::note("wrote " + (out == "-" ? std::string("standard output") : out) + ": " +
                  std::to_string(written.width) + "x" + std::to_string(written.height) + ", " +
                  (written.channels == 1 ? "grey" : "colour"));
    }
    return cli::kExitOk;
}

}  // namespace tamsa::tools
