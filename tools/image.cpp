// tamsa image: the library's operations on picture files.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "tamsa/tamsa.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/picture.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;

struct bitmap_deleter {
    void operator()(kv_bitmap *b) const { kv_freebitmap(b); }
};
using bitmap_ptr = std::unique_ptr<kv_bitmap, bitmap_deleter>;

constexpr const char *kUsage =
    "usage: tamsa image OP IN OUT [ARGS]   (IN and OUT: .ppm or .png)\n"
    "  scale WxH                               nearest-neighbour resize\n"
    "  cut X1 Y1 X2 Y2                         the rectangle between two corners, black outside\n"
    "  rotate DEGREES [--fill R,G,B]           rotate counter-clockwise\n"
    "  shear ROW1 ROW2 SHIFT1 SHIFT2 [--fill R,G,B]   shift rows right, growing linearly\n"
    "  transpose                               swap rows and columns\n"
    "  smooth PASSES                           average with the four neighbours\n"
    "  dither TYPE                             ordered dither to 8 colours, matrix 1..7\n"
    "  correct CONTRAST BRIGHTNESS [--invert]  contrast in percent, brightness -255..255\n"
    "  remap                                   reduce to the 216-colour cube\n"
    "  blit OTHER X Y [--transparency T] [--alpha]   place the picture OTHER at (X, Y)\n"
    "  line X1 Y1 X2 Y2 [--colour R,G,B]\n"
    "  box X1 Y1 X2 Y2 [--colour R,G,B] [--step N]\n";

bitmap_ptr to_bitmap(const picture &p) {
    bitmap_ptr b(kv_allocrawbitmap(p.width, p.height, 3));
    if (b == nullptr)
        throw failure{"out of memory for a " + std::to_string(p.width) + "x" +
                      std::to_string(p.height) + " picture"};
    const size_t n = size_t(p.width) * size_t(p.height);
    for (size_t i = 0; i < n; ++i) {
        for (size_t c = 0; c < 3; ++c)
            b->data[i * 3 + c] = p.pixels[i * size_t(p.channels) + (p.channels == 3 ? c : 0)];
    }
    return b;
}

picture from_bitmap(const kv_bitmap &b) {
    picture p;
    p.width = b.width;
    p.height = b.height;
    p.channels = b.bytesperpixel;
    p.pixels.assign(b.data, b.data + size_t(b.width) * size_t(b.height) * size_t(b.bytesperpixel));
    return p;
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
        if (!known) throw usage_error{"unknown option: " + o};
        if (o == "--colour") e.colour = cli::parse_colour(args.value(o), "colour");
        if (o == "--fill") e.fill = cli::parse_colour(args.value(o), "fill colour");
        if (o == "--transparency") e.transparency = cli::parse_int(args.value(o), "transparency");
        if (o == "--alpha") e.alpha = true;
        if (o == "--invert") e.invert = true;
        if (o == "--step") e.step = int32_t(cli::parse_count(args.value(o), "step"));
    }
    return e;
}

int32_t coordinate(cli::args &args, const char *what) {
    return cli::parse_int(args.next(what), what);
}

// An operation, parsed from its arguments, run on the input's bitmap; it returns the bitmap to
// write (the input itself for operations in place).
using operation = std::function<bitmap_ptr(bitmap_ptr)>;

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

operation parse_operation(const std::string &op, cli::args &args) {
    if (op == "scale") {
        const cli::size2 s = cli::parse_size(args.next("a size WxH"), "size");
        parse_extras(args, {});
        return [s](bitmap_ptr b) {
            return made(kv_scalecopybitmap(b.get(), s.width, s.height), "scale");
        };
    }
    if (op == "cut") {
        const int32_t x1 = coordinate(args, "x1"), y1 = coordinate(args, "y1");
        const int32_t x2 = coordinate(args, "x2"), y2 = coordinate(args, "y2");
        parse_extras(args, {});
        return [=](bitmap_ptr b) { return made(kv_cutbitmap(b.get(), x1, y1, x2, y2), "cut"); };
    }
    if (op == "rotate") {
        const std::string text = args.next("an angle in degrees");
        char *end = nullptr;
        const float angle = std::strtof(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(angle) || std::fabs(angle) > 1e6f) {
            throw usage_error{"bad angle: '" + text + "'"};
        }
        const extras e = parse_extras(args, {"--fill"});
        return [=](bitmap_ptr b) {
            return made(kv_rotatebitmap(b.get(), e.fill.red, e.fill.green, e.fill.blue, angle),
                        "rotate");
        };
    }
    if (op == "shear") {
        const int32_t r1 = coordinate(args, "first row"), r2 = coordinate(args, "last row");
        const int32_t s1 = coordinate(args, "first shift"), s2 = coordinate(args, "last shift");
        if (s1 < 0 || s2 < 0 || s1 > 65536 || s2 > 65536) throw usage_error{"shifts are 0..65536"};
        const extras e = parse_extras(args, {"--fill"});
        return [=](bitmap_ptr b) {
            const int32_t ok =
                kv_shearbitmap(b.get(), r1, r2, s1, s2, e.fill.red, e.fill.green, e.fill.blue);
            return in_place(std::move(b), ok, "shear");
        };
    }
    if (op == "transpose") {
        parse_extras(args, {});
        return [](bitmap_ptr b) {
            const int32_t ok = kv_transposebitmap(b.get());
            return in_place(std::move(b), ok, "transpose");
        };
    }
    if (op == "smooth") {
        const uint32_t passes = cli::parse_count(args.next("a number of passes"), "passes");
        if (passes > 10000) throw usage_error{"at most 10000 passes"};
        parse_extras(args, {});
        return [passes](bitmap_ptr b) {
            const int32_t ok = kv_smoothbitmap(b.get(), int32_t(passes));
            return in_place(std::move(b), ok, "smooth");
        };
    }
    if (op == "dither") {
        const int32_t type = cli::parse_int(args.next("a matrix type 1..7"), "matrix type");
        if (type < 1 || type > 7)
            throw usage_error{"bad matrix type: " + std::to_string(type) + " (1..7)"};
        parse_extras(args, {});
        return [type](bitmap_ptr b) { return made(kv_dither(b.get(), type), "dither"); };
    }
    if (op == "correct") {
        const int32_t contrast = coordinate(args, "contrast"),
                      brightness = coordinate(args, "brightness");
        if (brightness < -255 || brightness > 255) throw usage_error{"bad brightness (-255..255)"};
        const extras e = parse_extras(args, {"--invert"});
        return [=](bitmap_ptr b) {
            tamsa_correct_ll(b.get(), contrast, brightness, e.invert ? 1 : 0);
            return b;
        };
    }
    if (op == "remap") {
        parse_extras(args, {});
        return [](bitmap_ptr b) {
            const uint32_t n = uint32_t(b->width) * uint32_t(b->height);
            bitmap_ptr cube = made(kv_allocbitmap(b->width, b->height, 3), "remap");
            // Indexes first, in the last third of the result, then spread to their colours.
            uint8_t *indexes = cube->data + 2 * size_t(n);
            kv_remap24(b->data, indexes, nullptr, n * 3);
            for (uint32_t i = 0; i < n; ++i) {
                const uint8_t c = indexes[i];
                cube->data[i * 3] = uint8_t(c / 36 * 51);
                cube->data[i * 3 + 1] = uint8_t(c / 6 % 6 * 51);
                cube->data[i * 3 + 2] = uint8_t(c % 6 * 51);
            }
            return cube;
        };
    }
    if (op == "blit") {
        const std::string other = args.next("the picture to place");
        const int32_t x = coordinate(args, "x"), y = coordinate(args, "y");
        const extras e = parse_extras(args, {"--transparency", "--alpha"});
        const picture top = load_picture(other);
        return [=](bitmap_ptr b) {
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
    if (op == "line" || op == "box") {
        const int32_t x1 = coordinate(args, "x1"), y1 = coordinate(args, "y1");
        const int32_t x2 = coordinate(args, "x2"), y2 = coordinate(args, "y2");
        const bool box = op == "box";
        const extras e =
            box ? parse_extras(args, {"--colour", "--step"}) : parse_extras(args, {"--colour"});
        return [=](bitmap_ptr b) {
            if (box) {
                kv_drawbox(b.get(), x1, y1, x2, y2, e.colour.red, e.colour.green, e.colour.blue,
                           e.step);
            } else {
                kv_drawline(b.get(), x1, y1, x2, y2, e.colour.red, e.colour.green, e.colour.blue);
            }
            return b;
        };
    }
    throw usage_error{"unknown operation: " + op + " (tamsa image help lists them)"};
}

}  // namespace

int image_command(cli::args &args) {
    const std::string op = args.next("an operation (tamsa image help lists them)");
    if (op == "help" || op == "-h" || op == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string in = args.next("an input file");
    const std::string out = args.next("an output file");
    const operation run = parse_operation(op, args);
    bitmap_ptr result = run(to_bitmap(load_picture(in)));
    save_picture(out, from_bitmap(*result));
    return 0;
}

}  // namespace tamsa::tools
