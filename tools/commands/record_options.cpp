// tamsa record's options: one table that the parser and the help both read.
#include <algorithm>
#include <climits>
#include <string_view>

#include "tools/commands/record.h"

namespace tamsa::tools {

namespace {

using cli::usage_error;

constexpr const char *kInput =
    "Input (default: the built-in clip, 50 frames of 640x480 colour bars moving over a ramp):";
constexpr const char *kOutput = "Output:";
constexpr const char *kMessages = "Messages to the server, in the order they are sent:";
constexpr const char *kServer = "Server:";

// Rows in the order of the help. A new option is a row here, with its field in record_options.
const record_option kOptions[] = {
    {kInput, "CLIP", nullptr,
     "a Y4M file with 8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1 or mono frames,\n"
     "or a video file libavformat reads (MP4, MKV, AVI, MOV, NUT...)\n"
     "whose frames decode to one of those layouts (others are refused,\n"
     "with the command that converts them); frame rate, aspect,\n"
     "interlacing and range come from the stream"},
    {kInput, "-", nullptr,
     "a Y4M stream on standard input, for example from\n"
     "ffmpeg -i IN -f yuv4mpegpipe - | tamsa record -"},
    {kInput, "--size", "WxH",
     "CLIP holds raw planes of W x H pixels (Y, then U, then V), in\n"
     "the layout --pix-fmt names; with no CLIP, the built-in clip's\n"
     "size. W x H at most 67108864 pixels. A file that is not a whole\n"
     "number of frames is refused",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.raw_size = cli::parse_size(v, r.what);
     },
     "size"},
    {kInput, "--pix-fmt", "F",
     "the layout of raw planes, by ffmpeg's name, needed with --size\n"
     "and a CLIP: yuv420p, yuv422p, yuv444p, yuv411p (W a multiple\n"
     "of 4) or gray. There is no default: a 4:2:0 and a 4:1:1 frame\n"
     "of one size have the same bytes, and the wrong one gives false\n"
     "colours. Example: tamsa record in.yuv --size 720x480 --pix-fmt\n"
     "yuv420p",
     [](record_options &o, const record_option &, const std::string &v) {
         o.raw_layout = layout_by_name(v);
     }},
    {kInput, "--range", "limited|full",
     "the clip's levels: limited (studio, luma 16..235) or full\n"
     "(0..255); default: as the Y4M header says (XCOLORRANGE=FULL is\n"
     "full) or the video stream does (limited when a colour stream\n"
     "does not say; a grey one must), limited for raw planes",
     [](record_options &o, const record_option &, const std::string &v) {
         const std::string r = cli::lower(v);
         if (r != "limited" && r != "full")
             throw usage_error{"bad range '" + r + "' (limited or full)"};
         o.full_range = r == "full";
     }},
    {kInput, "--start", "N", "skip the first N frames (0 or more; default {default})",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.start = uint32_t(r.ranged(v));
     },
     "start", settings::range{0, INT32_MAX}, "0"},
    {kInput, "--frames", "N",
     "stop after N frames (1 or more; default: the whole clip); with\n"
     "--start S, frames S+1 to S+N of the clip",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.frames = cli::parse_count(v, r.what);
     },
     "frame count"},

    {kOutput, "--out", "DIR",
     "where frame-00001.ppm and on and contact.png go (default: {default})",
     [](record_options &o, const record_option &, const std::string &v) {
         if (v.empty()) throw usage_error{"bad --out: '' (a directory, or - )"};
         o.out_dir = v;
     },
     nullptr, std::nullopt, "out"},
    {kOutput, "--out", "-",
     "the frames to standard output, back to back, for a pipe into\n"
     "ffmpeg or netpbm; progress and the summary then go to stderr"},
    {kOutput, "--out", "NAME.y4m", "the frames as a Y4M file (--format y4m)"},
    {kOutput, "--out", "NAME.mkv",
     "the frames as a video file, by its extension: .mkv and .nut\n"
     "FFV1 (the RGB exactly, lossless), .mp4 and .mov H.264 (libx264,\n"
     "4:2:0), .avi MJPEG (quality 3); tagged with the clip's frame\n"
     "rate, aspect, interlacing and range. A NAME with another\n"
     "extension is refused: pipe Y4M into an encoder,\n"
     "tamsa record CLIP --out - --format y4m | ffmpeg -i - OUT.webm"},
    {kOutput, "--codec", "NAME",
     "the encoder of a video file, by libavcodec's name (libx264,\n"
     "ffv1, mjpeg, mpeg4...; ffmpeg -encoders lists them): RGB where\n"
     "it takes RGB, else 4:2:0 by the exact BT.601 rule",
     [](record_options &o, const record_option &, const std::string &v) { o.video.codec = v; }},
    {kOutput, "--crf", "N",
     "constant quality, for encoders that take it (libx264: 0..51,\n"
     "lower is better; its default is 23)",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.video.crf = r.ranged(v);
     },
     "crf", settings::range{0, 63}},
    {kOutput, "--bitrate", "R", "bits a second for lossy encoders: 2500000, 800k or 2.5M",
     [](record_options &o, const record_option &, const std::string &v) {
         o.video.bit_rate = parse_bit_rate(v);
     }},
    {kOutput, "--format", "F",
     "ppm (default), pgm (grey clips), pnm (PGM for grey frames, PPM\n"
     "for colour ones; the default for mono clips in a directory), png,\n"
     "rgb (raw 24-bit frames, with --out - only) or y4m (with --out -\n"
     "or --out NAME.y4m: a stream ffmpeg -i - reads, keeping the clip's\n"
     "frame rate, aspect and interlacing); in any case",
     [](record_options &o, const record_option &, const std::string &v) {
         o.format = cli::lower(v);
         if (!known_format(o.format))
             throw usage_error{"bad format '" + o.format + "' (" + kRecordFormats + ")"};
     }},
    {kOutput, "--chroma", "C",
     "the chroma of Y4M output: 444, 422, 420 or 411, each the mean\n"
     "of the pixels it covers; default: the clip's (mono stays mono,\n"
     "unless faded into another clip: 444). Y4M output is in the\n"
     "clip's range, full range tagged XCOLORRANGE=FULL",
     [](record_options &o, const record_option &, const std::string &v) {
         if (v == "444") {
             o.y4m_layout = chroma::c444;
         } else if (v == "422") {
             o.y4m_layout = chroma::c422;
         } else if (v == "420") {
             o.y4m_layout = chroma::c420;
         } else if (v == "411") {
             o.y4m_layout = chroma::c411;
         } else {
             throw usage_error{"bad chroma '" + v + "' (444, 422, 420 or 411)"};
         }
     }},
    {kOutput, "-y, --overwrite", nullptr,
     "replace the frames of an earlier run in DIR, or NAME.y4m or the\n"
     "video file\n"
     "(refused otherwise)",
     [](record_options &o, const record_option &, const std::string &) { o.overwrite = true; }},
    {kOutput, "--sheet-every", "N",
     "the contact sheet shows every Nth frame (1 or more; default:\n"
     "about 12 frames in all)",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.sheet_every = cli::parse_count(v, r.what);
     },
     "sheet interval"},
    {kOutput, "--no-progress", nullptr,
     "no progress line (it is shown only when stderr is a terminal)",
     [](record_options &o, const record_option &, const std::string &) { o.progress = false; }},
    {kOutput, "--no-output", nullptr, "write no frames at all: the pipeline alone, to time it",
     [](record_options &o, const record_option &, const std::string &) { o.out_dir.clear(); }},
    // Taken by every command before its options.
    {kOutput, "-q, --quiet", nullptr,
     "errors only: no notes, warnings, progress or summary; a reader\n"
     "of --out - that goes away ends the run with status 1 unsaid"},
    {kOutput, "-v, --verbose", nullptr,
     "also a line per frame on stderr: its messages and their time"},

    {kMessages, "--scale", "WxH",
     "resize to W x H pixels, nearest neighbour (W x H at most\n"
     "67108864); default: the clip's size. W:H is WxH; W:-1 or -1:H\n"
     "keeps the clip's proportions (rounded to the nearest pixel)",
     [](record_options &o, const record_option &r, const std::string &v) {
         const cli::scale_spec spec = cli::parse_scale(v, r.what);
         o.scale = {spec.width, spec.height};
     },
     "scale"},
    {kMessages, "--contrast", "P",
     "contrast in percent around mid-grey 128: {default} (default) keeps,\n"
     "0 gives flat grey, below 0 mirrors the levels ({range})",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.contrast = r.ranged(v);
         o.correct = true;
     },
     "contrast", settings::kContrast, "100"},
    {kMessages, "--brightness", "B",
     "added to every level after the contrast ({range}, default {default})",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.brightness = r.ranged(v);
         o.correct = true;
     },
     "brightness", settings::kBrightness, "0"},
    {kMessages, "--invert", nullptr, "every level L becomes 255 - L, after contrast and brightness",
     [](record_options &o, const record_option &, const std::string &) {
         o.invert = true;
         o.correct = true;
     }},
    {kMessages, "--deinterlace", nullptr,
     "keep one field: copy each of its rows over the row of the other\n"
     "field below it; on by default for clips whose header says\n"
     "interlaced (It, Ib, Im: then only frames whose own header says\n"
     "interlaced)",
     [](record_options &o, const record_option &, const std::string &) { o.deinterlace = true; }},
    {kMessages, "--field", "top|bottom",
     "the field kept (default: the one first in time, as the clip's or\n"
     "the frame's header says; top when it does not say)",
     [](record_options &o, const record_option &, const std::string &v) {
         const std::string f = cli::lower(v);
         if (f != "top" && f != "bottom")
             throw usage_error{"bad field '" + f + "' (top or bottom)"};
         o.field = f[0];
     }},
    {kMessages, "--no-deinterlace", nullptr, "keep both fields, even of an interlaced clip",
     [](record_options &o, const record_option &, const std::string &) { o.deinterlace = false; }},
    {kMessages, "--fade-with", "CLIP",
     "cross-fade into the frames of another clip of the same size",
     [](record_options &o, const record_option &, const std::string &v) { o.fade_with = v; }},
    {kMessages, "--fade-frames", "N", "frames the cross-fade takes (1 or more, default {default})",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.fade_frames = cli::parse_count(v, r.what);
     },
     "fade length", std::nullopt, "25"},
    {kMessages, "--fade-start", "N",
     "frames of the run before the cross-fade begins (0 or more,\n"
     "default {default}). A fade clip that ends first holds its last frame,\n"
     "with a warning",
     [](record_options &o, const record_option &r, const std::string &v) {
         o.fade_start = uint32_t(r.ranged(v));
     },
     "fade start", settings::range{0, INT32_MAX}, "0"},
    {kMessages, "--remap", nullptr, "reduce to the 216 colours of the 6x6x6 colour cube",
     [](record_options &o, const record_option &, const std::string &) { o.remap = true; }},

    {kServer, "--connect", "NAME",
     "use a running `tamsa serve --port NAME` (default: a server in\n"
     "this process)",
     [](record_options &o, const record_option &, const std::string &v) {
         o.connect = cli::parse_port(v);
     }},
};

// The row that sets the option named so, or null.
const record_option *option_named(const std::string &name) {
    for (const record_option &row : kOptions) {
        if (row.set == nullptr) continue;
        const std::string_view names = row.names;
        for (size_t from = 0; from != std::string_view::npos;) {
            const size_t comma = names.find(", ", from);
            if (names.substr(from, comma - from) == name) return &row;
            from = comma == std::string_view::npos ? comma : comma + 2;
        }
    }
    return nullptr;
}

// The options given, by their rows.
struct given_options {
    std::vector<const record_option *> rows;
    bool has(const char *name) const {
        const record_option *row = option_named(name);
        return std::find(rows.begin(), rows.end(), row) != rows.end();
    }
};

// Warns about options that others make pointless, and refuses those that cannot go together.
void check_together(record_options &o, const given_options &given) {
    if (given.has("--fade-frames") && o.fade_with.empty())
        cli::warn("--fade-frames has no effect without --fade-with");
    if (given.has("--fade-start") && o.fade_with.empty())
        cli::warn("--fade-start has no effect without --fade-with");
    if (given.has("--sheet-every") && o.out_dir == "-")
        cli::warn("--sheet-every has no effect with --out - (no contact sheet is written)");
    if (o.overwrite && o.out_dir == "-") cli::warn("--overwrite has no effect with --out -");
    if (o.full_range.has_value() && o.input.empty())
        cli::warn("--range has no effect on the built-in clip (it is studio range)");
    if (o.input == "-" && o.fade_with == "-")
        throw usage_error{"the clip and the fade clip cannot both be standard input"};
    const bool pix_fmt = given.has("--pix-fmt");
    if (pix_fmt && (o.raw_size.width == 0 || o.input.empty()))
        throw usage_error{"--pix-fmt gives the layout of raw planes: add --size WxH and the file"};
    // Refused when the file is opened, after a Y4M file given --size is told to drop it.
    o.raw_layout_named = pix_fmt || o.raw_size.width == 0 || o.input.empty();
    if (given.has("--chroma") && cli::lower(o.format) != "y4m" && !is_y4m_file(o.out_dir))
        cli::warn("--chroma has no effect without --format y4m");
    if (o.video.crf.has_value() && o.video.bit_rate != 0)
        throw usage_error{"--crf and --bitrate cannot go together (a quality or a size)"};
    if ((given.has("--codec") || given.has("--crf") || given.has("--bitrate")) &&
        !is_video_file(o.out_dir)) {
        cli::warn(
            "--codec, --crf and --bitrate have no effect without --out "
            "NAME.mkv|.mp4|.mov|.avi|.nut");
    }
    if (o.field != 0 && o.deinterlace == std::optional<bool>(false))
        cli::warn("--field has no effect with --no-deinterlace");
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

}  // namespace

int32_t record_option::ranged(const std::string &text) const {
    return cli::parse_ranged(text, what, range->low, range->high);
}

std::span<const record_option> record_option_table() {
    return kOptions;
}

record_options parse_record_options(cli::args &args) {
    record_options o;
    given_options given;
    while (!args.empty()) {
        const std::string a = args.next("an option");
        if (const record_option *row = option_named(a); row != nullptr) {
            row->set(o, *row, row->value != nullptr ? args.value(a) : std::string());
            given.rows.push_back(row);
        } else if (a.size() > 1 && a[0] == '-') {
            throw usage_error{"unknown option: " + a + " (tamsa record --help lists them)"};
        } else if (o.input.empty()) {
            o.input = a;
        } else {
            throw usage_error{"unexpected argument: " + a + " (more than one input clip)"};
        }
    }
    check_together(o, given);
    return o;
}

std::string record_help() {
    std::string text =
        "usage: tamsa record [CLIP | -] [OPTIONS]\n"
        "\n"
        "Sends every frame of a YUV clip to the server as the recorder does: one message converts\n"
        "it to RGB, and one more each resizes, corrects, deinterlaces, cross-fades and reduces it\n"
        "to the colour cube, as asked. Writes what comes back as numbered pictures and a contact\n"
        "sheet, a stream or a video file, and prints how fast it went.\n";
    // The option in a column of 23, its help beside it.
    constexpr size_t kColumn = 23;
    const std::string indent(kColumn + 2, ' ');
    const char *section = nullptr;
    for (const record_option &row : kOptions) {
        if (section != row.section) {
            section = row.section;
            text += std::string("\n") + section + "\n";
        }
        std::string left = row.names;
        if (row.value != nullptr) left += std::string(" ") + row.value;
        left.resize(std::max(left.size() + 1, kColumn), ' ');
        std::string help = row.help;
        if (row.range.has_value()) {
            replace_all(help, "{range}",
                        std::to_string(row.range->low) + ".." + std::to_string(row.range->high));
        }
        if (row.fallback != nullptr) replace_all(help, "{default}", row.fallback);
        replace_all(help, "\n", "\n" + indent);
        text += "  " + left + help + "\n";
    }
    return text +
           "\n"
           "The conversion is ITU-R BT.601: studio range (luma 16..235) by the server's message,\n"
           "full range (0..255) here, per pixel. The 4:2:0 chroma of interlaced frames is taken "
           "by\n"
           "field: each row gets its own field's chroma.\n"
           "\n"
           "SIGINT or SIGTERM ends the run after the frame in hand: every frame written is whole, "
           "the\n"
           "contact sheet shows them (a video file is ended and playable), and one line says "
           "how\n"
           "many were kept.\n"
           "\n"
           "Exit status: 0 done (also when the clip's last frame is cut short: the frames before "
           "it\n"
           "are kept, with a warning), 1 failed while running (also when no frame could be kept),\n"
           "2 bad command line, 130 or 143 stopped by SIGINT or SIGTERM.\n";
}

}  // namespace tamsa::tools
