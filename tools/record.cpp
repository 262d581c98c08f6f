#include "tools/record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tamsa/client.h"
#include "tools/clip.h"
#include "tools/converter.h"
#include "tools/session.h"
#include "tools/sink.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;
using clock_type = std::chrono::steady_clock;

constexpr uint32_t kBuiltInFrames = 50;

// Cube indexes are made from the first, second and third byte of a pixel; the frames hold blue
// first, so the levels of red and blue come out exchanged. This table puts them back.
std::vector<uint8_t> level_swap_table() {
    std::vector<uint8_t> t(256);
    for (int i = 0; i < 256; ++i) {
        t[size_t(i)] = i < 216 ? uint8_t((i % 6) * 36 + (i / 6 % 6) * 6 + i / 36) : uint8_t(i);
    }
    return t;
}

// A frame from the bus as a picture: red first, or its cube indexes spread to their colours.
picture frame_picture(const uint8_t *bytes, int32_t w, int32_t h, bool cube) {
    picture p;
    p.width = w;
    p.height = h;
    p.channels = 3;
    const size_t n = size_t(w) * size_t(h);
    p.pixels.resize(n * 3);
    if (cube) {
        cube_colours(bytes, n, p.pixels.data());
        return p;
    }
    for (size_t i = 0; i < n; ++i) {
        uint8_t *o = &p.pixels[i * 3];
        o[0] = bytes[i * 3 + 2];
        o[1] = bytes[i * 3 + 1];
        o[2] = bytes[i * 3];
    }
    return p;
}

// The format asked for, in lower case, once it is known that the output can take it.
std::string checked_format(const record_options &o) {
    const std::string format = cli::lower(o.format);
    if (format != "ppm" && format != "png" && format != "rgb")
        throw usage_error{"bad format '" + o.format + "' (ppm, png or rgb, in any case)"};
    if (format == "rgb" && o.out_dir != "-") {
        throw usage_error{"--format rgb writes raw frames to standard output only: add --out -"};
    }
    return format;
}

// The clips a run reads, and what their headers made it decide.
struct record_input {
    std::unique_ptr<clip> main;
    std::unique_ptr<clip> fade;  // null without --fade-with
    std::string name;            // the main clip, as messages name it
    bool deinterlace = false;
    uint32_t total = 0;  // the frames the run will make, when that can be known; else 0
};

// The clip to cross-fade into, of the main clip's size. It holds raw planes when the main clip
// does; otherwise it is a Y4M file.
std::unique_ptr<clip> open_fade(const record_options &o, const clip &main) {
    const bool raw = !o.input.empty() && o.raw_size.width != 0;
    std::unique_ptr<clip> fade =
        raw ? open_raw(o.fade_with, o.raw_size.width, o.raw_size.height) : open_y4m(o.fade_with);
    if (fade->width() != main.width() || fade->height() != main.height()) {
        throw failure{"the fade clip's frames are " + std::to_string(fade->width()) + "x" +
                      std::to_string(fade->height()) + ", not " + std::to_string(main.width()) +
                      "x" + std::to_string(main.height())};
    }
    return fade;
}

// Opens the clips, saying what in the main clip's header the run cannot follow (full range)
// or follows unasked (interlacing).
record_input open_input(const record_options &o) {
    record_input in;
    const uint32_t built_in = o.frames != 0 ? o.frames : kBuiltInFrames;
    in.main = open_clip(o.input, o.raw_size.width, o.raw_size.height, built_in);
    const clip_info &info = in.main->info();
    in.name = o.input == "-" ? "standard input" : o.input;
    if (info.full_range) {
        cli::warn(in.name + " is full range (XCOLORRANGE=FULL), but the conversion is studio " +
                  "range (16..235): shadows and highlights clip and colours are up to 20 levels " +
                  "off");
    }
    const bool interlaced = info.interlace == 't' || info.interlace == 'b';
    in.deinterlace = o.deinterlace.value_or(interlaced);
    if (interlaced && !o.deinterlace.has_value()) {
        cli::note(in.name + " is interlaced (" + (info.interlace == 't' ? "top" : "bottom") +
                  " field first): deinterlacing; --no-deinterlace keeps both fields");
    }
    if (!o.fade_with.empty()) in.fade = open_fade(o, *in.main);
    in.total = info.frames;
    if (o.frames != 0) in.total = in.total != 0 ? std::min(in.total, o.frames) : o.frames;
    return in;
}

// The contact sheet's interval: as asked, or one that gives about 12 frames.
uint32_t sheet_interval(const record_options &o, uint32_t total) {
    if (o.sheet_every != 0) return o.sheet_every;
    return std::max<uint32_t>(1, (total != 0 ? total : 50) / 12);
}

// The messages every frame takes, from the clip's planes to the bytes to write.
class frame_pipeline {
   public:
    frame_pipeline(session &s, const record_options &o, const record_input &in)
        : s_(s),
          o_(o),
          fade_(in.fade.get()),
          main_frames_(s, in.main->info(), o.scale, in.deinterlace) {
        if (fade_ != nullptr) {
            fade_frames_ = std::make_unique<converter>(s, fade_->info(), o.scale, in.deinterlace);
        }
        pixels_ = uint64_t(uint32_t(out_width())) * uint32_t(out_height());
        if (o.remap) {
            cube_ = s.alloc(pixels_, false);
            swap_ = s.alloc(256, false);
            const std::vector<uint8_t> table = level_swap_table();
            std::memcpy(s.at(swap_, 256), table.data(), 256);
        }
    }
    int32_t out_width() const { return main_frames_.out_width(); }
    int32_t out_height() const { return main_frames_.out_height(); }

    // Sends the messages of frame i and returns its bytes in the bus: blue-first pixels, or
    // cube indexes with --remap.
    const uint8_t *run(uint32_t i, const yuv_frame &frame) {
        const uint32_t record = main_frames_.convert(frame);
        if (o_.correct) {
            s_.send(TAMSA_OP_CORRECT, {record, uint32_t(o_.contrast),
                                       uint32_t(o_.brightness) + 256u, o_.invert ? 1u : 0u});
        }
        if (fade_ != nullptr) cross_fade(i, record);
        if (o_.remap) {
            s_.send(TAMSA_OP_REMAP24, {record, cube_, 0, uint32_t(pixels_ * 3)});
            s_.send(TAMSA_OP_REMAP8, {cube_, swap_, uint32_t(pixels_)});
            return s_.at(cube_, pixels_);
        }
        return s_.at(s_.read_bitmap(record).data, pixels_ * 3);
    }

   private:
    // Fades frame i towards the fade clip's frame; once that clip ends, towards its last frame.
    void cross_fade(uint32_t i, uint32_t record) {
        if (fade_->next(other_)) other_ok_ = true;
        if (!other_ok_) return;
        const uint32_t second = fade_frames_->convert(other_);
        const uint32_t level =
            std::min<uint32_t>(255, uint32_t(uint64_t(i) * 255 / std::max(1u, o_.fade_frames)));
        const uint32_t data = s_.read_bitmap(record).data;
        s_.send(TAMSA_OP_FADEOVER, {data, s_.read_bitmap(second).data, data, level,
                                    uint32_t(out_width()), uint32_t(out_height()), 3});
    }

    session &s_;
    const record_options &o_;
    clip *fade_;
    converter main_frames_;
    std::unique_ptr<converter> fade_frames_;
    uint64_t pixels_ = 0;
    uint32_t cube_ = 0, swap_ = 0;
    yuv_frame other_;
    bool other_ok_ = false;
};

// Every frame of the clip through the pipeline and into the sink (and the report, when the
// frames are kept), with the progress line; times the whole.
void record_frames(const record_options &o, record_input &in, frame_pipeline &pipeline,
                   frame_sink &sink, bool keep_frames, record_report &report) {
    cli::progress meter(o.progress, "frame", "frames");
    const auto start = clock_type::now();
    yuv_frame frame;
    for (uint32_t i = 0; (o.frames == 0 || i < o.frames) && in.main->next(frame); ++i) {
        const uint8_t *bytes = pipeline.run(i, frame);
        if (sink.writes() || keep_frames) {
            picture p = frame_picture(bytes, pipeline.out_width(), pipeline.out_height(), o.remap);
            if (sink.writes()) sink.write(p, i);
            if (keep_frames) report.kept.push_back(std::move(p));
        }
        ++report.frames;
        meter.step(report.frames, in.total);
    }
    report.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    meter.done();
}

// The end of the run: the warning of a clip cut short, the contact sheet, the message count and
// the median round trip.
void finish_run(const record_input &in, frame_sink &sink, const session &s, record_report &report) {
    if (!in.main->truncated().empty()) {
        report.truncated = in.name + ": " + in.main->truncated() + "; kept the " +
                           cli::count_of(report.frames, "frame", "frames") + " before it";
        cli::warn(report.truncated);
    }
    report.sheet = sink.finish();
    std::vector<double> trips = s.round_trips();
    report.messages = trips.size();
    if (!trips.empty()) {
        std::nth_element(trips.begin(), trips.begin() + long(trips.size() / 2), trips.end());
        report.median_round_trip_ms = trips[trips.size() / 2];
    }
}

// Warns about options that others make pointless, and refuses two that cannot go together.
void check_together(const record_options &o, bool fade_frames_given, bool sheet_given) {
    if (fade_frames_given && o.fade_with.empty())
        cli::warn("--fade-frames has no effect without --fade-with");
    if (sheet_given && o.out_dir == "-")
        cli::warn("--sheet-every has no effect with --out - (no contact sheet is written)");
    if (o.overwrite && o.out_dir == "-") cli::warn("--overwrite has no effect with --out -");
    if (o.input == "-" && o.fade_with == "-")
        throw usage_error{"the clip and the fade clip cannot both be standard input"};
}

}  // namespace

record_report run_record(const record_options &o, bool keep_frames) {
    const std::string format = checked_format(o);
    record_input in = open_input(o);
    frame_sink sink(o.out_dir, o.overwrite, format, sheet_interval(o, in.total));
    session s(o.connect);
    frame_pipeline pipeline(s, o, in);
    record_report report;
    report.width = in.main->width();
    report.height = in.main->height();
    report.out_width = pipeline.out_width();
    report.out_height = pipeline.out_height();
    record_frames(o, in, pipeline, sink, keep_frames, report);
    finish_run(in, sink, s, report);
    return report;
}

record_options parse_record_options(cli::args &args) {
    record_options o;
    bool any_correction = false, fade_frames_given = false, sheet_given = false;
    while (!args.empty()) {
        const std::string a = args.next("an option");
        if (a == "--size") {
            o.raw_size = cli::parse_size(args.value(a), "size");
        } else if (a == "--out") {
            o.out_dir = args.value(a);
            if (o.out_dir.empty()) throw usage_error{"bad --out: '' (a directory, or - )"};
        } else if (a == "--format") {
            o.format = cli::lower(args.value(a));
            if (o.format != "ppm" && o.format != "png" && o.format != "rgb")
                throw usage_error{"bad format '" + o.format + "' (ppm, png or rgb, in any case)"};
        } else if (a == "--frames") {
            o.frames = cli::parse_count(args.value(a), "frame count");
        } else if (a == "--scale") {
            o.scale = cli::parse_size(args.value(a), "scale");
        } else if (a == "--contrast") {
            o.contrast = cli::parse_ranged(args.value(a), "contrast", -100000, 100000);
            any_correction = true;
        } else if (a == "--brightness") {
            o.brightness = cli::parse_ranged(args.value(a), "brightness", -255, 255);
            any_correction = true;
        } else if (a == "--invert") {
            o.invert = true;
            any_correction = true;
        } else if (a == "--deinterlace") {
            o.deinterlace = true;
        } else if (a == "--no-deinterlace") {
            o.deinterlace = false;
        } else if (a == "--fade-with") {
            o.fade_with = args.value(a);
        } else if (a == "--fade-frames") {
            o.fade_frames = cli::parse_count(args.value(a), "fade length");
            fade_frames_given = true;
        } else if (a == "--remap") {
            o.remap = true;
        } else if (a == "--connect") {
            o.connect = cli::parse_port(args.value(a));
        } else if (a == "--sheet-every") {
            o.sheet_every = cli::parse_count(args.value(a), "sheet interval");
            sheet_given = true;
        } else if (a == "-y" || a == "--overwrite") {
            o.overwrite = true;
        } else if (a == "--no-progress") {
            o.progress = false;
        } else if (a == "--no-output") {
            o.out_dir.clear();
        } else if (a.size() > 1 && a[0] == '-') {
            throw usage_error{"unknown option: " + a + " (tamsa record --help lists them)"};
        } else if (o.input.empty()) {
            o.input = a;
        } else {
            throw usage_error{"more than one input clip: " + a};
        }
    }
    o.correct = any_correction;
    check_together(o, fade_frames_given, sheet_given);
    return o;
}

const char *const kRecordHelp =
    "usage: tamsa record [CLIP | -] [OPTIONS]\n"
    "\n"
    "Sends every frame of a YUV clip to the server as the recorder does: one message converts\n"
    "it to RGB, and one more each resizes, corrects, deinterlaces, cross-fades and reduces it\n"
    "to the colour cube, as asked. Writes what comes back as numbered pictures and a contact\n"
    "sheet, and prints how fast it went.\n"
    "\n"
    "Input (default: the built-in clip, 50 frames of 640x480 colour bars moving over a ramp):\n"
    "  CLIP                   a Y4M file with 8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1 or mono frames\n"
    "  -                      a Y4M stream on standard input, for example from\n"
    "                         ffmpeg -i IN -f yuv4mpegpipe - | tamsa record -\n"
    "  --size WxH             CLIP holds raw 4:1:1 planes of W x H pixels (Y, then U, then V,\n"
    "                         a chroma sample per 4 pixels; W a multiple of 4); with no CLIP,\n"
    "                         the built-in clip's size. W x H at most 67108864 pixels\n"
    "  --frames N             stop after N frames (1 or more; default: the whole clip)\n"
    "\n"
    "Output:\n"
    "  --out DIR              where frame-00001.ppm and on and contact.png go (default: out)\n"
    "  --out -                the frames to standard output, back to back, for a pipe into\n"
    "                         ffmpeg -f image2pipe -c:v ppm -i - or netpbm; progress and the\n"
    "                         summary then go to stderr\n"
    "  --format F             ppm (default), png, or rgb (raw 24-bit frames, with --out -\n"
    "                         only); in any case\n"
    "  -y, --overwrite        replace the frames of an earlier run in DIR (refused otherwise)\n"
    "  --sheet-every N        the contact sheet shows every Nth frame (1 or more; default:\n"
    "                         about 12 frames in all)\n"
    "  --no-progress          no progress line (it is shown only when stderr is a terminal)\n"
    "  --no-output            write no frames at all: the pipeline alone, to time it\n"
    "\n"
    "Messages to the server, in the order they are sent:\n"
    "  --scale WxH            resize to W x H pixels, nearest neighbour (W x H at most\n"
    "                         67108864); default: the clip's size\n"
    "  --contrast P           contrast in percent around mid-grey 128: 100 (default) keeps,\n"
    "                         0 gives flat grey, below 0 mirrors the levels (-100000..100000)\n"
    "  --brightness B         added to every level after the contrast (-255..255, default 0)\n"
    "  --invert               every level L becomes 255 - L, after contrast and brightness\n"
    "  --deinterlace          copy each even row over the odd row below it; on by default for\n"
    "                         clips whose header says interlaced (It, Ib)\n"
    "  --no-deinterlace       keep both fields, even of an interlaced clip\n"
    "  --fade-with CLIP       cross-fade into the frames of another clip of the same size\n"
    "  --fade-frames N        frames the cross-fade takes (1 or more, default 25)\n"
    "  --remap                reduce to the 216 colours of the 6x6x6 colour cube\n"
    "\n"
    "Server:\n"
    "  --connect NAME         use a running `tamsa serve --port NAME` (default: a server in\n"
    "                         this process)\n"
    "\n"
    "The conversion is studio range (luma 16..235, ITU-R BT.601); full-range clips are\n"
    "converted the same way, with a warning.\n"
    "\n"
    "Exit status: 0 done (also when the clip's last frame is cut short: the frames before it\n"
    "are kept, with a warning), 1 failed while running, 2 bad command line.\n";

int record_command(cli::args &args) {
    if (args.asks_help()) {
        std::fputs(kRecordHelp, stdout);
        return cli::kExitOk;
    }
    const record_options o = parse_record_options(args);
    const record_report r = run_record(o);
    // With the frames on standard output, the summary goes to stderr.
    FILE *out = o.out_dir == "-" ? stderr : stdout;
    std::fprintf(out, "recorded %s of %dx%d", cli::count_of(r.frames, "frame", "frames").c_str(),
                 r.width, r.height);
    if (r.out_width != r.width || r.out_height != r.height)
        std::fprintf(out, " as %dx%d", r.out_width, r.out_height);
    std::fprintf(out, " in %.2f s: %.1f frames/s, %s, median round trip %.3f ms\n", r.seconds,
                 r.seconds > 0 ? r.frames / r.seconds : 0.0,
                 cli::count_of(r.messages, "message", "messages").c_str(), r.median_round_trip_ms);
    if (!o.out_dir.empty() && o.out_dir != "-") {
        std::fprintf(out, "frames in %s/, contact sheet %s\n", o.out_dir.c_str(),
                     r.sheet.empty() ? "(none)" : r.sheet.c_str());
    }
    return cli::kExitOk;
}

}  // namespace tamsa::tools
