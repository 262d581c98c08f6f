#include "tools/commands/record.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include <unistd.h>

#include "tamsa/client.h"
#include "tamsa/internal/tools.h"
#include "tools/commands/converter.h"
#include "tools/commands/session.h"
#include "tools/commands/stages.h"
#include "tools/readers/clip.h"
#include "tools/writers/sink.h"
#include "tools/writers/y4m_out.h"

namespace tamsa::tools {

bool is_y4m_file(const std::string &out) {
    const std::string name = cli::lower(out);
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".y4m") == 0;
}

bool known_format(const std::string &format) {
    for (const char *f : {"ppm", "pgm", "pnm", "png", "rgb", "y4m"}) {
        if (format == f) return true;
    }
    return false;
}

std::vector<uint8_t> level_swap_table() {
    std::vector<uint8_t> t(256);
    for (int i = 0; i < 256; ++i) {
        t[size_t(i)] = i < 216 ? uint8_t((i % 6) * 36 + (i / 6 % 6) * 6 + i / 36) : uint8_t(i);
    }
    return t;
}

namespace {

using cli::failure;
using cli::usage_error;
using clock_type = std::chrono::steady_clock;

constexpr uint32_t kBuiltInFrames = 50;

// A frame from the bus as a picture: red first, or its cube indexes spread to their colours.
// The picture is reused from frame to frame, so that its memory is not made anew for each.
void frame_picture(picture &p, const uint8_t *bytes, int32_t w, int32_t h, bool cube) {
    p.width = w;
    p.height = h;
    p.channels = 3;
    const size_t n = size_t(w) * size_t(h);
    p.pixels.resize(n * 3);
    if (cube) {
        cube_colours(bytes, n, p.pixels.data());
        return;
    }
    gfx::swap13(bytes, p.pixels.data(), n);
}

// The extension of the last name of --out ("mp4" of "g.mp4"), or "" for a name without one.
std::string extension_of(const std::string &out) {
    const std::string name = std::filesystem::path(out).filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
    return name.substr(dot + 1);
}

// --out names a directory, a Y4M file or standard output. A name with another extension would
// make a directory of frames where a file was meant, so it is refused, saying what to do
// instead; a directory that is there already is taken as it is.
void check_out_name(const std::string &out) {
    if (out.empty() || out == "-" || is_y4m_file(out) || is_video_file(out)) return;
    const std::string ext = extension_of(out);
    std::error_code e;
    if (ext.empty() || std::filesystem::is_directory(out, e)) return;
    const std::string stem = out.substr(0, out.size() - ext.size() - 1);
    const std::string kind = cli::lower(ext);
    if (kind == "ppm" || kind == "pgm" || kind == "pnm" || kind == "png") {
        throw usage_error{"--out " + out + ": frames go into a directory, a file each (--out " +
                          stem + " --format " + kind + "), or into one .y4m file"};
    }
    throw usage_error{"--out " + out + ": tamsa record writes no ." + ext +
                      " file (a directory of frames, a .y4m, .mkv, .mp4, .mov, .avi or .nut "
                      "file, or a stream); for others, pipe Y4M into an encoder: tamsa record "
                      "CLIP --out - --format y4m | ffmpeg -i - " +
                      out};
}

// The format asked for, in lower case, once it is known that the output can take it; "" when
// the clip decides.
std::string checked_format(const record_options &o) {
    check_out_name(o.out_dir);
    const std::string format = cli::lower(o.format);
    if (!format.empty() && !known_format(format))
        throw usage_error{"bad format '" + o.format + "' (" + kRecordFormats + ")"};
    if (format == "rgb" && o.out_dir != "-") {
        throw usage_error{"--format rgb writes raw frames to standard output only: add --out -"};
    }
    if (format == "y4m" && o.out_dir != "-" && !is_y4m_file(o.out_dir)) {
        throw usage_error{"--format y4m writes a stream: add --out - or --out NAME.y4m"};
    }
    if (is_y4m_file(o.out_dir) && !format.empty() && format != "y4m") {
        throw usage_error{"--out " + o.out_dir + " is a Y4M file, not --format " + format};
    }
    if (is_y4m_file(o.out_dir)) return "y4m";
    if (is_video_file(o.out_dir) && !format.empty()) {
        throw usage_error{"--out " + o.out_dir + " is a video file, which takes no --format (" +
                          "--codec NAME chooses its encoder)"};
    }
    return format;
}

// The format for the clip: as asked, else PNM (grey frames as PGM) for a mono clip written to
// a directory, PPM otherwise.
std::string format_for_clip(const std::string &format, const record_options &o,
                            const clip_info &info) {
    if (!format.empty()) return format;
    return info.layout == chroma::mono && o.out_dir != "-" ? "pnm" : "ppm";
}

// The clips a run reads, and what their headers made it decide.
struct record_input {
    std::unique_ptr<clip> main;
    std::unique_ptr<clip> fade;  // null without --fade-with
    std::string name;            // the main clip, as messages name it
    bool full_range = false;     // the main clip's levels, as --range or its header says
    bool fade_full_range = false;
    bool deinterlace = false;
    bool by_frame = false;  // frames say for themselves whether they are interlaced
    uint32_t total = 0;     // the frames the run will make, when that can be known; else 0
};

// The clip to cross-fade into, of the main clip's size. It holds raw planes when the main clip
// does; otherwise it is a Y4M or video file.
std::unique_ptr<clip> open_fade(const record_options &o, const clip &main) {
    const bool raw = !o.input.empty() && o.raw_size.width != 0;
    std::unique_ptr<clip> fade =
        raw ? open_raw(o.fade_with, o.raw_size.width, o.raw_size.height, o.raw_layout)
            : open_clip(o.fade_with, 0, 0, 0);
    if (fade->width() != main.width() || fade->height() != main.height()) {
        throw failure{"the fade clip's frames are " + std::to_string(fade->width()) + "x" +
                      std::to_string(fade->height()) + ", not " + std::to_string(main.width()) +
                      "x" + std::to_string(main.height())};
    }
    return fade;
}

// A clip whose levels nothing gives (grey frames in a video file that does not say) is not
// guessed at: a wrong range makes every frame too flat or too harsh.
void check_range_said(const clip_info &info, const std::string &name) {
    if (info.range_said) return;
    throw usage_error{name +
                      " does not say whether its levels are studio range (16..235) or "
                      "full range (0..255): --range limited or --range full"};
}

// Opens the clips, saying what in the main clip's header the run follows unasked
// (interlacing).
record_input open_input(const record_options &o) {
    record_input in;
    const uint32_t built_in = o.frames != 0 ? o.start + o.frames : kBuiltInFrames;
    const std::optional<chroma> raw_layout =
        o.raw_layout_named ? std::optional<chroma>(o.raw_layout) : std::nullopt;
    in.main = open_clip(o.input, o.raw_size.width, o.raw_size.height, built_in, raw_layout);
    const clip_info &info = in.main->info();
    in.name = o.input == "-" ? "standard input" : o.input;
    // The built-in clip is made studio range, whatever --range says.
    in.full_range = !o.input.empty() && o.full_range.value_or(info.full_range);
    if (!o.full_range.has_value()) check_range_said(in.main->info(), in.name);
    const bool interlaced = info.interlace == 't' || info.interlace == 'b' || info.interlace == 'm';
    in.deinterlace = o.deinterlace.value_or(interlaced);
    in.by_frame = !o.deinterlace.has_value() && info.interlace == 'm';
    if (interlaced && !o.deinterlace.has_value()) {
        const std::string order = info.interlace == 'm'   ? "each frame says which field is first"
                                  : info.interlace == 't' ? "top field first"
                                                          : "bottom field first";
        const std::string kept = o.field != 0            ? (o.field == 't' ? "top" : "bottom")
                                 : info.interlace == 'm' ? "first"
                                 : info.interlace == 't' ? "top"
                                                         : "bottom";
        cli::note(in.name + " is interlaced (" + order + "): deinterlacing, keeping the " + kept +
                  " field; --no-deinterlace keeps both fields");
    }
    if (!o.fade_with.empty()) {
        in.fade = open_fade(o, *in.main);
        in.fade_full_range = o.full_range.value_or(in.fade->info().full_range);
        if (!o.full_range.has_value()) check_range_said(in.fade->info(), o.fade_with);
    }
    in.total = info.frames;
    if (in.total != 0) in.total = in.total > o.start ? in.total - o.start : 0;
    if (o.frames != 0) in.total = in.total != 0 ? std::min(in.total, o.frames) : o.frames;
    return in;
}

// The contact sheet's interval: as asked, or one that gives about 12 frames.
uint32_t sheet_interval(const record_options &o, uint32_t total) {
    if (o.sheet_every != 0) return o.sheet_every;
    return std::max<uint32_t>(1, (total != 0 ? total : 50) / 12);
}

// One frame's place in the bus: the blocks its planes are read into and its result is made in,
// used by one stage at a time.
struct frame_slot {
    std::unique_ptr<converter> frames;
    uint32_t cube = 0;  // the cube indexes, with --remap
    yuv_frame header;   // the frame's header; its planes are in the bus
    uint32_t index = 0;
    uint8_t *bytes = nullptr;  // the result, once served
};

// Bus blocks the clip's decoder writes its luma planes into, so that the server converts them
// where they are: enough for the frames the slots hold and those a decoder keeps for reference
// (a decoder that finds none free uses its own memory, and the plane is copied).
void lend_blocks(session &s, clip &c, size_t slots) {
    const size_t bytes = c.block_bytes();
    if (bytes == 0) return;
    // Big frames take fewer, so that the bus keeps room for the run's other blocks.
    constexpr size_t kDecoderFrames = 18, kAlign = 64, kMostBytes = size_t(192) << 20;
    const size_t count = std::min(slots + kDecoderFrames, kMostBytes / (bytes + kAlign));
    std::vector<uint8_t *> blocks;
    std::vector<uint32_t> addresses;
    for (size_t k = 0; k < count; ++k) {
        const uint32_t address = s.alloc(bytes + kAlign, false);
        uint8_t *at = s.at(address, bytes + kAlign);
        const size_t skip = (kAlign - reinterpret_cast<uintptr_t>(at) % kAlign) % kAlign;
        blocks.push_back(at + skip);
        addresses.push_back(address + uint32_t(skip));
    }
    c.lend_blocks(blocks, addresses);
}

// The messages every frame takes, from the clip's planes to the bytes to write.
class frame_pipeline {
   public:
    frame_pipeline(session &s, const record_options &o, const record_input &in, size_t slots)
        : s_(s), o_(o), fade_(in.fade.get()), info_(in.main->info()), by_frame_(in.by_frame) {
        slots_.resize(slots);
        for (frame_slot &slot : slots_) {
            slot.frames =
                std::make_unique<converter>(s, info_, o.scale, in.deinterlace, in.full_range);
        }
        lend_blocks(s, *in.main, slots);
        if (fade_ != nullptr) {
            fade_name_ = o.fade_with == "-" ? "standard input" : o.fade_with;
            fade_frames_ = std::make_unique<converter>(s, fade_->info(), o.scale, in.deinterlace,
                                                       in.fade_full_range);
        }
        pixels_ = uint64_t(uint32_t(out_width())) * uint32_t(out_height());
        if (o.remap) {
            for (frame_slot &slot : slots_) slot.cube = s.alloc(pixels_, false);
            swap_ = s.alloc(256, false);
            const std::vector<uint8_t> table = level_swap_table();
            std::memcpy(s.at(swap_, 256), table.data(), 256);
        }
    }
    const std::vector<double> &round_trips() const { return s_.round_trips(); }
    int32_t out_width() const { return slots_[0].frames->out_width(); }
    int32_t out_height() const { return slots_[0].frames->out_height(); }
    size_t slots() const { return slots_.size(); }
    frame_slot &slot(size_t k) { return slots_[k]; }

    // Reads the clip's next frame into the slot; false at its end. Sends no message.
    bool load(frame_slot &slot, clip &c) { return slot.frames->load(c, slot.header); }

    // Sends the messages of the slot's frame and keeps where its bytes are in the bus:
    // blue-first pixels, or cube indexes with --remap. They are the run's own until the slot's
    // next frame.
    void serve(frame_slot &slot) {
        const uint32_t record = slot.frames->send(field_of(slot.header));
        if (o_.correct) {
            s_.send(TAMSA_OP_CORRECT, {record, uint32_t(o_.contrast),
                                       uint32_t(o_.brightness) + 256u, o_.invert ? 1u : 0u});
        }
        if (fade_ != nullptr) cross_fade(slot.index, record);
        if (o_.remap) {
            s_.send(TAMSA_OP_REMAP24, {record, slot.cube, 0, uint32_t(pixels_ * 3)});
            s_.send(TAMSA_OP_REMAP8, {slot.cube, swap_, uint32_t(pixels_)});
            slot.bytes = s_.at(slot.cube, pixels_);
            return;
        }
        slot.bytes = s_.at(s_.read_bitmap(record).data, pixels_ * 3);
    }

   private:
    // The field deinterlacing keeps: as asked, else the one first in time, as the frame or the
    // clip says; 0 for a frame of a mixed clip that says it is progressive.
    char field_of(const yuv_frame &frame) const {
        if (by_frame_ && frame.field == 'p') return 0;
        if (o_.field != 0) return o_.field;
        if (frame.field == 't' || frame.field == 'b') return frame.field;
        return info_.interlace == 'b' ? 'b' : 't';
    }

    // Fades frame i towards the fade clip's frame, from frame --fade-start on; once that clip
    // ends, towards its last frame, which is said once.
    void cross_fade(uint32_t i, uint32_t record) {
        if (i < o_.fade_start) return;
        if (!fade_ended_ && fade_->next(other_)) {
            ++fade_read_;
            other_ok_ = true;
        } else if (!fade_ended_) {
            fade_ended_ = true;
            const std::string why =
                fade_->truncated().empty() ? "" : " (" + fade_->truncated() + ")";
            if (fade_read_ == 0) {
                cli::warn(fade_name_ + " holds no frames to fade into" + why);
            } else {
                cli::warn(fade_name_ + " ends after " +
                          cli::count_of(fade_read_, "frame", "frames") + why + ": from frame " +
                          std::to_string(o_.start + i + 1) +
                          " of the clip on, the fade holds its last frame");
            }
        }
        if (!other_ok_) return;
        const uint32_t second = fade_frames_->convert(other_, field_of(other_));
        const uint32_t level = std::min<uint32_t>(
            255, uint32_t(uint64_t(i - o_.fade_start) * 255 / std::max(1u, o_.fade_frames)));
        const uint32_t data = s_.read_bitmap(record).data;
        s_.send(TAMSA_OP_FADEOVER, {data, s_.read_bitmap(second).data, data, level,
                                    uint32_t(out_width()), uint32_t(out_height()), 3});
    }

    session &s_;
    const record_options &o_;
    clip *fade_;
    const clip_info &info_;
    bool by_frame_;
    std::vector<frame_slot> slots_;
    std::unique_ptr<converter> fade_frames_;
    std::string fade_name_;
    uint64_t pixels_ = 0;
    uint32_t swap_ = 0;
    yuv_frame other_;
    bool other_ok_ = false;
    bool fade_ended_ = false;
    uint32_t fade_read_ = 0;
};

// Slots in a run that overlaps its stages: one frame being read, one served, one written.
constexpr size_t kStages = 3;

// Threads that write frame files at once, in an overlapped run.
constexpr unsigned kFileWriters = 2;

// Whether the run overlaps reading, serving and writing; TAMSA_RECORD_SERIAL=1 takes one frame
// at a time through them, so that tests can compare the two.
bool overlapped() {
    const char *serial = std::getenv("TAMSA_RECORD_SERIAL");
    return serial == nullptr || std::strcmp(serial, "1") != 0;
}

// The last stage: a served frame into the sink, and into the report when frames are kept.
class frame_writer {
   public:
    frame_writer(const record_options &o, frame_sink &sink, bool keep, record_report &report,
                 int32_t width, int32_t height)
        : o_(o), sink_(sink), keep_(keep), report_(report), width_(width), height_(height) {}

    void write(const frame_slot &slot) {
        if (sink_.takes_bus_frames() && !o_.remap && !keep_) {
            sink_.write_bus(slot.bytes, width_, height_);
        } else if (sink_.writes() || keep_) {
            frame_picture(p_, slot.bytes, width_, height_, o_.remap);
            if (keep_) report_.kept.push_back(p_);
            if (sink_.writes()) sink_.write(p_, slot.index);
        }
    }

   private:
    const record_options &o_;
    frame_sink &sink_;
    bool keep_;
    record_report &report_;
    int32_t width_, height_;
    picture p_;
};

// Every frame of the clip through the pipeline and into the sink (and the report, when the
// frames are kept), with the progress line; times the whole.
void record_frames(const record_options &o, record_input &in, frame_pipeline &pipeline,
                   frame_sink &sink, bool keep_frames, record_report &report) {
    cli::progress meter(o.progress, "frame", "frames");
    const auto start = clock_type::now();
    yuv_frame frame;
    for (uint32_t skipped = 0; skipped < o.start; ++skipped) {
        if (cli::stop_signal() != 0 || !in.main->next(frame)) break;
        report.skipped = skipped + 1;
    }
    frame_writer writer(o, sink, keep_frames, report, pipeline.out_width(), pipeline.out_height());
    // Sends a frame's messages, with its line under --verbose and the progress line.
    const auto serve = [&](frame_slot &slot) {
        const size_t messages = pipeline.round_trips().size();
        pipeline.serve(slot);
        ++report.frames;
        if (cli::verbose()) {
            meter.done();
            const std::vector<double> &trips = pipeline.round_trips();
            double ms = 0;
            for (size_t k = messages; k < trips.size(); ++k) ms += trips[k];
            char time[32];
            std::snprintf(time, sizeof time, "%.3f ms", ms);
            cli::note("frame " + std::to_string(o.start + slot.index + 1) + " of the clip: " +
                      cli::count_of(trips.size() - messages, "message", "messages") + ", " + time +
                      " there and back");
        }
        meter.step(report.frames, in.total);
    };
    if (report.skipped == o.start && pipeline.slots() > 1) {
        frame_stages stages(pipeline.slots(), o.frames,
                            {.read =
                                 [&](size_t k, uint32_t i) {
                                     frame_slot &slot = pipeline.slot(k);
                                     if (!pipeline.load(slot, *in.main)) return false;
                                     slot.index = i;
                                     return true;
                                 },
                             .write = [&](size_t k) { writer.write(pipeline.slot(k)); },
                             .cancel = [&] { in.main->cancel(); }});
        try {
            // A signal ends the run between frames, so that every frame written is whole.
            for (size_t k = 0; cli::stop_signal() == 0 && stages.next(k);) {
                serve(pipeline.slot(k));
                stages.served(k);
            }
            stages.finish();
        } catch (...) {
            // The frames before the failure are kept, as one at a time they would be; a failure
            // to write them came first.
            stages.stop();
            sink.settle();
            throw;
        }
    } else if (report.skipped == o.start) {
        frame_slot &slot = pipeline.slot(0);
        for (uint32_t i = 0; o.frames == 0 || i < o.frames; ++i) {
            if (cli::stop_signal() != 0 || !pipeline.load(slot, *in.main)) break;
            slot.index = i;
            serve(slot);
            writer.write(slot);
        }
    }
    report.stopped_by = cli::stop_signal();
    report.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    meter.done();
}

// The end of the run: the warning of a clip cut short, the contact sheet, the message count and
// the median round trip.
void finish_run(const record_options &o, const record_input &in, frame_sink &sink, const session &s,
                record_report &report) {
    if (report.stopped_by == 0 && report.frames == 0) {
        // Nothing to keep is a failure, not a run that went through.
        const std::string why =
            !in.main->truncated().empty() ? in.main->truncated()
            : o.start > 0 ? "it has " + cli::count_of(report.skipped, "frame", "frames") +
                                ", and --start " + std::to_string(o.start) + " skips them all"
                          : "it holds no frames";
        throw failure{in.name + ": " + why + "; no frame to keep"};
    }
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

// An encoder's packet buffer can be many frames' worth (145 MB for a 720p FFV1 frame), zeroed as
// it is made; in 4 KiB pages that first touch took a third of a second here, in huge pages a
// tenth of that. glibc's malloc asks for huge pages only when told so in the environment at
// start, so a run into a video file starts itself again once with that said, before it has
// read or made anything. Only where the system gives huge pages on request; where the new
// start fails, the run goes on as it is.
void restart_with_huge_malloc() {
    const char *given = std::getenv("GLIBC_TUNABLES");
    const std::string tunables = given != nullptr ? given : "";
    if (tunables.find("glibc.malloc.hugetlb") != std::string::npos) return;
    std::ifstream thp("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(thp, modes);
    if (modes.find("[madvise]") == std::string::npos) return;
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(cmdline), {}};
    std::vector<char *> argv;
    for (size_t at = 0; at < all.size(); at += std::strlen(&all[at]) + 1) {
        argv.push_back(const_cast<char *>(&all[at]));
    }
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (argv.empty() || n <= 0) return;
    self[n] = '\0';
    argv.push_back(nullptr);
    const std::string with =
        tunables.empty() ? "glibc.malloc.hugetlb=1" : tunables + ":glibc.malloc.hugetlb=1";
    setenv("GLIBC_TUNABLES", with.c_str(), 1);
    std::fflush(nullptr);
    execv(self, argv.data());
    if (given != nullptr) {
        setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
    } else {
        unsetenv("GLIBC_TUNABLES");
    }
}

}  // namespace

record_report run_record(const record_options &given, bool keep_frames) {
    const std::string asked = checked_format(given);
    record_input in = open_input(given);
    // A side kept in proportion is known now that the clip is open.
    record_options o = given;
    if ((o.scale.width == 0) != (o.scale.height == 0)) {
        o.scale = cli::resolve_scale({o.scale.width, o.scale.height, 0}, in.main->width(),
                                     in.main->height(), "--scale");
    }
    const std::string format = format_for_clip(asked, o, in.main->info());
    const clip_info &info = in.main->info();
    if (format == "pgm" && info.layout != chroma::mono) {
        throw usage_error{"--format pgm writes grey frames, and " + in.name + " is in colour (" +
                          chroma_name(info.layout) + "); --format pnm writes grey frames as PGM"};
    }
    y4m_spec spec;
    spec.rate = info.rate;
    // The clip's own layout unless --chroma says; a grey clip faded into another may gain
    // colour, so that one is written 4:4:4.
    spec.layout = o.y4m_layout.value_or(
        info.layout == chroma::mono && in.fade != nullptr ? chroma::c444 : info.layout);
    spec.full_range = in.full_range;
    const int32_t out_w = o.scale.width != 0 ? o.scale.width : info.width;
    const int32_t out_h = o.scale.width != 0 ? o.scale.height : info.height;
    spec.aspect = resized_aspect(info.aspect, info.width, info.height, out_w, out_h);
    // Deinterlaced frames are whole pictures; others keep the clip's tag (mixed ones cannot
    // say their frames' own, so say unknown).
    spec.interlace = in.deinterlace ? 'p' : info.interlace == 'm' ? '?' : info.interlace;
    const bool overlap = overlapped();
    frame_sink sink(o.out_dir, o.overwrite, format, sheet_interval(o, in.total), spec,
                    overlap ? kFileWriters : 0, o.video);
    session s(o.connect);
    frame_pipeline pipeline(s, o, in, overlap ? kStages : 1);
    record_report report;
    report.width = in.main->width();
    report.height = in.main->height();
    report.out_width = pipeline.out_width();
    report.out_height = pipeline.out_height();
    record_frames(o, in, pipeline, sink, keep_frames, report);
    finish_run(o, in, sink, s, report);
    report.encoded_as = sink.encoded_as();
    return report;
}

int record_command(cli::args &args) {
    if (args.asks_help()) {
        std::fputs(record_help().c_str(), stdout);
        return cli::kExitOk;
    }
    args.take_verbosity();
    const record_options o = parse_record_options(args);
    if (is_video_file(o.out_dir)) restart_with_huge_malloc();
    cli::catch_stop_signals();
    const record_report r = run_record(o);
    const bool one_file = is_y4m_file(o.out_dir) || is_video_file(o.out_dir);
    if (r.stopped_by != 0) {
        const std::string where = o.out_dir.empty()  ? ""
                                  : o.out_dir == "-" ? " on standard output"
                                  : one_file         ? " in " + o.out_dir
                                                     : " in " + o.out_dir + "/";
        cli::error(std::string("stopped by ") + (r.stopped_by == SIGINT ? "SIGINT" : "SIGTERM") +
                   ": kept " + cli::count_of(r.frames, "whole frame", "whole frames") + where);
        return cli::exit_for_signal(r.stopped_by);
    }
    if (cli::quiet()) return cli::kExitOk;
    // With the frames on standard output, the summary goes to stderr.
    FILE *out = o.out_dir == "-" ? stderr : stdout;
    std::fprintf(out, "recorded %s of %dx%d", cli::count_of(r.frames, "frame", "frames").c_str(),
                 r.width, r.height);
    if (r.skipped != 0) std::fprintf(out, " from frame %u", r.skipped + 1);
    if (r.out_width != r.width || r.out_height != r.height)
        std::fprintf(out, " as %dx%d", r.out_width, r.out_height);
    std::fprintf(out, " in %.2f s: %.1f frames/s, %s, median round trip %.3f ms\n", r.seconds,
                 r.seconds > 0 ? r.frames / r.seconds : 0.0,
                 cli::count_of(r.messages, "message", "messages").c_str(), r.median_round_trip_ms);
    if (!r.encoded_as.empty()) {
        std::fprintf(out, "frames in %s (%s)\n", o.out_dir.c_str(), r.encoded_as.c_str());
    } else if (one_file) {
        std::fprintf(out, "frames in %s\n", o.out_dir.c_str());
    } else if (!o.out_dir.empty() && o.out_dir != "-") {
        std::fprintf(out, "frames in %s/, contact sheet %s\n", o.out_dir.c_str(),
                     r.sheet.empty() ? "(none)" : r.sheet.c_str());
    }
    return cli::kExitOk;
}

}  // namespace tamsa::tools
