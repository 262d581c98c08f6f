// tamsa image: the library's operations on picture files.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "tamsa/tamsa.h"
#include "tools/commands/cli.h"
#include "tools/commands/commands.h"
#include "tools/pictures/picture.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;

struct bitmap_deleter {
    void operator()(kv_bitmap *b) const { kv_freebitmap(b); }
};
using bitmap_ptr = std::unique_ptr<kv_bitmap, bitmap_deleter>;

picture load_input(const std::string &path) {
    picture p = load_picture(path);
    const std::string name = path == "-" ? std::string("standard input") : path;
    if (p.dropped_alpha) cli::warn(name + ": transparency dropped (the library has no alpha)");
    if (p.orientation != 1) {
        cli::warn(name + ": EXIF orientation " + std::to_string(p.orientation) +
                  " is not applied; the picture is used as stored (turn and flip can right it)");
    }
    return p;
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

// Options after the operation's own arguments.
struct extras {
    cli::colour colour{255, 255, 255};
    cli::colour fill{0, 0, 0};
    int32_t transparency = 0;
    bool alpha = false;
    bool invert = false;
    int32_t step = 1;
};

extras parse_extras(cli::args &args, std::initializer_list<const char *> allowed) {
    extras e;
    while (!args.empty()) {
        const std::string o = args.next("an option");
        bool known = false;
        for (const char *a : allowed) known = known || o == a;
        if (!known && (o.size() < 2 || o[0] != '-'))
            throw usage_error{"unexpected argument: " + o + " (tamsa image OP --help)"};
        if (!known) throw usage_error{"unknown option: " + o + " (tamsa image OP --help)"};
        if (o == "--colour") e.colour = cli::parse_colour(args.value(o), "colour");
        if (o == "--fill") e.fill = cli::parse_colour(args.value(o), "fill colour");
        if (o == "--transparency")
            e.transparency = cli::parse_ranged(args.value(o), "transparency", 0, 100);
        if (o == "--alpha") e.alpha = true;
        if (o == "--invert") e.invert = true;
        if (o == "--step") e.step = cli::parse_ranged(args.value(o), "step", 1, 65536);
    }
    return e;
}

int32_t coordinate(cli::args &args, const char *what) {
    return cli::parse_int(args.next(what), what);
}

// Two points or corners: X1 Y1 X2 Y2.
struct corners {
    int32_t x1, y1, x2, y2;
};

corners parse_corners(cli::args &args) {
    const int32_t x1 = coordinate(args, "x1"), y1 = coordinate(args, "y1");
    const int32_t x2 = coordinate(args, "x2"), y2 = coordinate(args, "y2");
    return {x1, y1, x2, y2};
}

// An operation, parsed from its arguments, run on the input's bitmap; it returns the bitmap to
// write (the input itself for operations in place). Operations that work in steps report them.
using operation = std::function<bitmap_ptr(bitmap_ptr, cli::progress &)>;

// An operation with the size of its result, when that is known before any file is read.
struct planned_op {
    template <class F>
    planned_op(F f, cli::size2 s = {}) : run(std::move(f)), size(s) {}  // NOLINT: lambdas convert
    operation run;
    cli::size2 size;
};

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

planned_op parse_scale(cli::args &args) {
    const cli::scale_spec asked = cli::parse_scale(args.next("a size WxH"), "size", true);
    parse_extras(args, {});
    // A size in proportion to the picture's is known once it is read.
    const bool fixed = asked.percent == 0 && asked.width != 0 && asked.height != 0;
    return planned_op(
        [asked](bitmap_ptr b, cli::progress &) {
            const cli::size2 s = cli::resolve_scale(asked, b->width, b->height, "size");
            return made(kv_scalecopybitmap(b.get(), s.width, s.height), "scale");
        },
        fixed ? cli::size2{asked.width, asked.height} : cli::size2{});
}

planned_op parse_cut(cli::args &args) {
    const corners c = parse_corners(args);
    parse_extras(args, {});
    return [=](bitmap_ptr b, cli::progress &) {
        return made(kv_cutbitmap(b.get(), c.x1, c.y1, c.x2, c.y2), "cut");
    };
}

planned_op parse_rotate(cli::args &args) {
    const std::string text = args.next("an angle in degrees");
    char *end = nullptr;
    const float angle = std::strtof(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(angle) || std::fabs(angle) > 1e6f) {
        throw usage_error{"bad angle: '" + text + "' (degrees, -1000000..1000000)"};
    }
    const extras e = parse_extras(args, {"--fill"});
    return [=](bitmap_ptr b, cli::progress &) {
        return made(kv_rotatebitmap(b.get(), e.fill.red, e.fill.green, e.fill.blue, angle),
                    "rotate");
    };
}

planned_op parse_shear(cli::args &args) {
    const int32_t r1 = coordinate(args, "first row"), r2 = coordinate(args, "last row");
    const int32_t s1 = coordinate(args, "first shift"), s2 = coordinate(args, "last shift");
    if (s1 < 0 || s2 < 0 || s1 > 65536 || s2 > 65536)
        throw usage_error{"bad shift: shifts are 0..65536"};
    const extras e = parse_extras(args, {"--fill"});
    return [=](bitmap_ptr b, cli::progress &) {
        const int32_t ok =
            kv_shearbitmap(b.get(), r1, r2, s1, s2, e.fill.red, e.fill.green, e.fill.blue);
        return in_place(std::move(b), ok, "shear");
    };
}

planned_op parse_transpose(cli::args &args) {
    parse_extras(args, {});
    return [](bitmap_ptr b, cli::progress &) {
        const int32_t ok = kv_transposebitmap(b.get());
        return in_place(std::move(b), ok, "transpose");
    };
}

planned_op parse_smooth(cli::args &args) {
    const auto passes =
        uint32_t(cli::parse_ranged(args.next("a number of passes"), "passes", 1, 10000));
    parse_extras(args, {});
    return [passes](bitmap_ptr b, cli::progress &meter) {
        // Each pass runs before the bitmap is handed on: in one call's arguments, the move
        // could come first and leave it null (it does where they are evaluated left to right).
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
    };
}

planned_op parse_dither(cli::args &args) {
    const int32_t type = cli::parse_ranged(args.next("a matrix type"), "matrix type", 1, 7);
    parse_extras(args, {});
    return
        [type](bitmap_ptr b, cli::progress &) { return made(kv_dither(b.get(), type), "dither"); };
}

planned_op parse_correct(cli::args &args) {
    const int32_t contrast =
        cli::parse_ranged(args.next("a contrast in percent"), "contrast", -100000, 100000);
    // No brightness, or an option in its place, adds none.
    const int32_t brightness =
        args.empty() || args.peek().rfind("--", 0) == 0
            ? 0
            : cli::parse_ranged(args.next("a brightness"), "brightness", -255, 255);
    const extras e = parse_extras(args, {"--invert"});
    return [=](bitmap_ptr b, cli::progress &) {
        tamsa_correct_ll(b.get(), contrast, brightness, e.invert ? 1 : 0);
        return b;
    };
}

planned_op parse_remap(cli::args &args) {
    parse_extras(args, {});
    return [](bitmap_ptr b, cli::progress &) {
        const uint32_t n = uint32_t(b->width) * uint32_t(b->height);
        bitmap_ptr cube = made(kv_allocbitmap(b->width, b->height, 3), "remap");
        // Indexes first, in the last third of the result, then spread to their colours.
        uint8_t *indexes = cube->data + 2 * size_t(n);
        kv_remap24(b->data, indexes, nullptr, n * 3);
        cube_colours(indexes, n, cube->data);
        return cube;
    };
}

planned_op parse_blit(cli::args &args) {
    const std::string other = args.next("the picture to place");
    const int32_t x = coordinate(args, "x"), y = coordinate(args, "y");
    const extras e = parse_extras(args, {"--transparency", "--alpha"});
    const picture top = load_input(other);
    return [=](bitmap_ptr b, cli::progress &) {
        const bitmap_ptr source = to_bitmap(top);
        if (e.alpha) {
            kv_transalphachunkyblit(b.get(), source->width, source->height, source->data, x, y,
                                    e.transparency);
        } else {
            kv_blitbitmaptrans(b.get(), source.get(), x, y, e.transparency);
        }
        return b;
    };
}

planned_op parse_line(cli::args &args) {
    const corners c = parse_corners(args);
    const extras e = parse_extras(args, {"--colour"});
    return [=](bitmap_ptr b, cli::progress &) {
        kv_drawline(b.get(), c.x1, c.y1, c.x2, c.y2, e.colour.red, e.colour.green, e.colour.blue);
        return b;
    };
}

planned_op parse_box(cli::args &args) {
    const corners c = parse_corners(args);
    const extras e = parse_extras(args, {"--colour", "--step"});
    return [=](bitmap_ptr b, cli::progress &) {
        kv_drawbox(b.get(), c.x1, c.y1, c.x2, c.y2, e.colour.red, e.colour.green, e.colour.blue,
                   e.step);
        return b;
    };
}

// The picture turned counter-clockwise by quarters (1 to 3) quarter turns: pixels moved, none
// made anew.
bitmap_ptr turned(const kv_bitmap &b, int32_t quarters) {
    const bool sideways = quarters != 2;
    const int32_t w = b.width, h = b.height;
    bitmap_ptr out = made(kv_allocrawbitmap(sideways ? h : w, sideways ? w : h, 3), "turn");
    turn_pixels(b.data, w, h, 3, quarters, out->data);
    return out;
}

planned_op parse_turn(cli::args &args) {
    const std::string text = args.next("a quarter turn (90, 180 or 270)");
    if (text != "90" && text != "180" && text != "270") {
        throw usage_error{"bad turn: '" + text +
                          "' (90, 180 or 270 degrees counter-clockwise; rotate takes any angle)"};
    }
    parse_extras(args, {});
    const int32_t quarters = std::stoi(text) / 90;
    return [quarters](bitmap_ptr b, cli::progress &) { return turned(*b, quarters); };
}

// A mirror image: h exchanges left and right, v top and bottom. In place, by swapping pixels.
void flip(kv_bitmap &b, bool across) {
    flip_pixels(b.data, b.width, b.height, 3, across);
}

planned_op parse_flip(cli::args &args) {
    const std::string text = args.next("a direction (h or v)");
    if (text != "h" && text != "v")
        throw usage_error{"bad direction: '" + text + "' (h: left and right, v: top and bottom)"};
    parse_extras(args, {});
    const bool across = text == "h";
    return [across](bitmap_ptr b, cli::progress &) {
        flip(*b, across);
        return b;
    };
}

// One row per operation: its words and what they mean, for the help, and the parser of its
// arguments. Operations that report their steps show them; the others show the time spent.
struct op_row {
    const char *name;
    const char *synopsis;
    const char *text;
    planned_op (*parse)(cli::args &args);
    bool reports_steps = false;
};

constexpr op_row kOps[] = {
    {"scale", "scale IN OUT WxH|W:H|W:-1|-1:H|N%",
     "Resizes to W x H pixels by nearest neighbour: no smoothing, columns and rows are\n"
     "dropped or repeated. W and H 1 or more, W x H at most 67108864. W:H is WxH; -1 for one\n"
     "side keeps the proportions (rounded to the nearest pixel); N% (1..10000) scales both\n"
     "sides.",
     parse_scale},
    {"cut", "cut IN OUT X1 Y1 X2 Y2",
     "Copies the rectangle between two corners (pixels, both corners included, in any\n"
     "order); what lies outside the picture comes out black.",
     parse_cut},
    {"rotate", "rotate IN OUT DEGREES [--fill R,G,B]",
     "Rotates counter-clockwise by DEGREES (a decimal number, -1000000..1000000). The picture\n"
     "grows to hold every rotated pixel; --fill colours the corners it gains (each 0..255,\n"
     "default 0,0,0).",
     parse_rotate},
    {"shear", "shear IN OUT ROW1 ROW2 SHIFT1 SHIFT2 [--fill R,G,B]",
     "Shifts rows ROW1 to ROW2 to the right, by SHIFT1 pixels at ROW1 growing linearly to\n"
     "SHIFT2 at ROW2 (shifts 0..65536); other rows stay. The picture widens by the larger\n"
     "shift; --fill colours the pixels uncovered (each 0..255, default 0,0,0).",
     parse_shear},
    {"turn", "turn IN OUT 90|180|270",
     "Turns counter-clockwise by a quarter, half or three-quarter turn: every pixel is moved\n"
     "as it is, none is made anew (rotate resamples, and grows the picture).",
     parse_turn},
    {"flip", "flip IN OUT h|v",
     "A mirror image: h exchanges left and right, v top and bottom. Every pixel is moved as\n"
     "it is.",
     parse_flip},
    {"transpose", "transpose IN OUT", "Swaps rows and columns (a mirror along the diagonal).",
     parse_transpose},
    {"smooth", "smooth IN OUT PASSES",
     "Averages each inner pixel with its four neighbours (the pixel half, each neighbour an\n"
     "eighth), PASSES times (1..10000). The border keeps its pixels.",
     parse_smooth, true},
    {"dither", "dither IN OUT TYPE",
     "Ordered dithering to the 8 colours whose channels are 0 or 255, with threshold matrix\n"
     "TYPE: 1 classical screen 8x8, 2 rectangular 3x3, 3 halftone 6x6, 4 Bayer 4x4,\n"
     "5 Bayer 16x16, 6 four stars 5x5, 7 box 5x5.",
     parse_dither},
    {"correct", "correct IN OUT CONTRAST [BRIGHTNESS] [--invert]",
     "CONTRAST in percent around mid-grey 128: 100 keeps, 0 gives flat grey, below 0 mirrors\n"
     "the levels (-100000..100000). Then BRIGHTNESS is added (-255..255, default 0). --invert\n"
     "turns each level L into 255 - L at the end.",
     parse_correct},
    {"remap", "remap IN OUT",
     "Reduces to the 216 colours of the 6x6x6 colour cube (levels 0, 51, ..., 255).", parse_remap},
    {"blit", "blit IN OUT OTHER X Y [--transparency T] [--alpha]",
     "Places the picture OTHER with its top-left corner at (X, Y) of IN, clipped to IN's\n"
     "edges. --transparency T in percent: 0 (default) covers, 100 leaves IN showing\n"
     "(0..100). --alpha blends by OTHER's brightness instead: white covers, black leaves IN\n"
     "showing, and T adds transparency to every pixel.",
     parse_blit},
    {"line", "line IN OUT X1 Y1 X2 Y2 [--colour R,G,B]",
     "Draws a line between two points, both included, clipped to the picture (colour each\n"
     "0..255, default 255,255,255).",
     parse_line},
    {"box", "box IN OUT X1 Y1 X2 Y2 [--colour R,G,B] [--step N]",
     "Fills the box between two corners, both included, clipped to the picture (colour\n"
     "each 0..255, default 255,255,255). --step N sets only every Nth pixel of every Nth\n"
     "row, from the top-left corner (1..65536, default 1).",
     parse_box},
};

const op_row *find_op(const std::string &name) {
    for (const op_row &row : kOps) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

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
    for (const op_row &row : kOps) std::printf("  %s\n", row.synopsis);
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
        "Exit status: 0 done, 1 failed while running (a file, memory), 2 bad command line.\n",
        stdout);
}

void print_op_help(const op_row &row) {
    std::printf("usage: tamsa image %s\n\n%s\n", row.synopsis, row.text);
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
        const op_row *op = args.empty() ? nullptr : find_op(args.peek());
        if (op != nullptr) {
            print_op_help(*op);
        } else {
            print_usage();
        }
        return cli::kExitOk;
    }
    const op_row *op = find_op(name);
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
    const planned_op run = op->parse(args);
    const std::string large = too_large_for(format, run.size.width, run.size.height);
    if (!large.empty()) throw usage_error{out + ": " + large};
    check_out(out, overwrite);
    cli::progress meter(true, "pass", "passes");
    if (!op->reports_steps) meter.start_timer("tamsa image " + name);
    const picture source = load_input(in);
    bitmap_ptr result = run.run(to_bitmap(source), meter);
    picture grey;
    const picture_view written = result_view(*result, source.channels == 1, grey);
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
