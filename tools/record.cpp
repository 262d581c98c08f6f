#include "tools/record.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "remote/protocol.h"
#include "tamsa/client.h"
#include "tools/clip.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;
using clock_type = std::chrono::steady_clock;

constexpr uint32_t kBuiltInFrames = 50;

// The server, its client and every block the pipeline holds in the bus.
class session {
   public:
    explicit session(const std::string &connect) {
        // A constructor that throws runs no destructor: what it made is given back here.
        try {
            open(connect);
        } catch (...) {
            release();
            throw;
        }
    }
    ~session() { release(); }
    session(const session &) = delete;
    session &operator=(const session &) = delete;

    uint32_t alloc(uint64_t size, bool clear) {
        const uint32_t a = size > UINT32_MAX
                               ? 0
                               : tamsa_client_alloc(client_, uint32_t(size),
                                                    clear ? TAMSA_MEMF_CLEAR : TAMSA_MEMF_ANY);
        if (a == 0) throw failure{"out of memory in the bus"};
        blocks_.push_back(a);
        return a;
    }
    uint8_t *at(uint32_t address, uint64_t length) {
        auto *p = static_cast<uint8_t *>(tamsa_client_pointer(client_, address, uint32_t(length)));
        if (p == nullptr) throw failure{"the server answered with an address outside the bus"};
        return p;
    }
    uint32_t load32(uint32_t address) { return tamsa_client_load32(client_, address); }
    void store32(uint32_t address, uint32_t value) {
        tamsa_client_store32(client_, address, value);
    }

    // A bitmap record in the bus: written for the server, or read from one it answered.
    void write_bitmap(uint32_t record, const tamsa_wire_bitmap &bitmap) {
        tamsa_client_write_bitmap(client_, record, &bitmap);
    }
    tamsa_wire_bitmap read_bitmap(uint32_t record) {
        tamsa_wire_bitmap bitmap{};
        if (tamsa_client_read_bitmap(client_, record, &bitmap) == 0) {
            throw failure{"the server answered with a record outside the bus"};
        }
        return bitmap;
    }

    // Sends one message through the session's op_block and returns word 0 of the reply.
    uint32_t send(int32_t id, std::initializer_list<uint32_t> args) {
        uint32_t n = 1;
        for (uint32_t w : args) store32(block_ + 4 * n++, w);
        const auto start = clock_type::now();
        const int32_t status = tamsa_client_send(client_, id, block_, -1);
        trips_.push_back(
            std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
        if (status != TAMSA_REPLIED) {
            throw failure{"message " + std::to_string(id) + " was not served (status " +
                          std::to_string(status) + ")"};
        }
        return load32(block_);
    }

    // A bitmap the server handed back, freed when the session ends unless dropped sooner.
    void keep_bitmap(uint32_t record) { bitmaps_.push_back(record); }
    void drop_bitmap(uint32_t record) {
        bitmaps_.erase(std::remove(bitmaps_.begin(), bitmaps_.end(), record), bitmaps_.end());
        tamsa_client_free_bitmap(client_, record);
    }

    const std::vector<double> &round_trips() const { return trips_; }

   private:
    void open(const std::string &connect) {
        if (connect.empty()) {
            server_ = tamsa_server_start(TAMSA_PORT_NAME);
            if (server_ == nullptr) throw failure{"the server could not start"};
            client_ = tamsa_client_local(TAMSA_PORT_NAME);
        } else {
            errno = 0;
            client_ = tamsa_client_connect(connect.c_str());
            if (client_ == nullptr && errno == ENAMETOOLONG) {
                throw failure{remote::socket_path_problem(connect.c_str())};
            }
            if (client_ == nullptr) {
                throw failure{"no server on port '" + connect +
                              "' (start one with: tamsa serve --port " + connect + ")"};
            }
        }
        if (client_ == nullptr) throw failure{"cannot reach the server"};
        block_ = alloc(32, true);
    }

    void release() {
        for (uint32_t b : bitmaps_) tamsa_client_free_bitmap(client_, b);
        for (uint32_t b : blocks_) tamsa_client_free(client_, b);
        bitmaps_.clear();
        blocks_.clear();
        tamsa_client_close(client_);
        tamsa_server_stop(server_);
        client_ = nullptr;
        server_ = nullptr;
    }

    tamsa_server *server_ = nullptr;
    tamsa_client *client_ = nullptr;
    uint32_t block_ = 0;
    std::vector<uint32_t> blocks_;
    std::vector<uint32_t> bitmaps_;
    std::vector<double> trips_;
};

// A clip's frames in the bus, converted by the server one after the other. The planes are laid
// out for one conversion message (id 2) with the group that fits the clip's chroma: 4:2:2 and
// 4:1:1 as they come (2 and 4 pixels a sample), 4:2:0 with each chroma row given to both of its
// rows, 4:4:4 and widths that split a chroma group with one sample a pixel, and mono with one
// neutral sample a row. A resize is then one more message (id 9) on the converted frame, so
// no chroma is dropped before the conversion; 4:1:1 clips are converted and resized in one
// message (id 10), which gives the same pixels, unless deinterlacing must see the frame at its
// own size first.
class converter {
   public:
    converter(session &s, const clip_info &info, cli::size2 scale, bool deinterlace)
        : s_(s),
          width_(info.width),
          height_(info.height),
          layout_(info.layout),
          scale_(scale),
          deinterlace_(deinterlace) {
        const uint64_t pixels = uint64_t(width_) * uint64_t(height_);
        const int32_t across = chroma_across(layout_);
        if (layout_ == chroma::mono) {
            group_ = uint32_t(width_);
        } else if (width_ % across == 0) {
            group_ = uint32_t(across);
        } else {
            group_ = 1;
        }
        const uint64_t chroma_bytes = pixels / group_;
        y_ = s.alloc(pixels, false);
        u_ = s.alloc(chroma_bytes, false);
        v_ = s.alloc(chroma_bytes, false);
        if (layout_ == chroma::mono) {
            std::memset(s.at(u_, chroma_bytes), 128, chroma_bytes);
            std::memset(s.at(v_, chroma_bytes), 128, chroma_bytes);
        }
        one_pass_ = scale.width != 0 && layout_ == chroma::c411 && group_ == 4 && !deinterlace;
        if (!one_pass_) {
            // The conversion writes into a buffer of ours, described by a record of ours.
            rgb_ = s.alloc(pixels * 3, false);
            record_ = s.alloc(16, false);
            s.write_bitmap(record_, {rgb_, width_, height_, 3});
        }
    }
    int32_t out_width() const { return scale_.width != 0 ? scale_.width : width_; }
    int32_t out_height() const { return scale_.height != 0 ? scale_.height : height_; }

    // Sends the frame's messages (conversion, deinterlacing when asked, resizing) and returns
    // the record of the blue-first result.
    uint32_t convert(const yuv_frame &f) {
        const uint64_t pixels = uint64_t(width_) * uint64_t(height_);
        std::memcpy(s_.at(y_, pixels), f.y.data(), pixels);
        if (layout_ != chroma::mono) {
            lay_out(f.u, s_.at(u_, pixels / group_));
            lay_out(f.v, s_.at(v_, pixels / group_));
        }
        if (one_pass_) {
            replace_last(
                s_.send(TAMSA_OP_YUVSCALE, {y_, v_, u_, uint32_t(width_), uint32_t(height_),
                                            uint32_t(scale_.width), uint32_t(scale_.height)}));
            return last_;
        }
        s_.send(TAMSA_OP_YUVTORGB, {y_, v_, u_, rgb_, uint32_t(pixels), group_});
        if (deinterlace_) s_.send(TAMSA_OP_DEINTERLACE, {record_});
        if (scale_.width == 0) return record_;
        replace_last(s_.send(TAMSA_OP_SCALECOPYBITMAP,
                             {record_, uint32_t(scale_.width), uint32_t(scale_.height)}));
        return last_;
    }

   private:
    // One chroma plane of the clip into the bus, in the layout the group needs.
    void lay_out(const std::vector<uint8_t> &plane, uint8_t *to) const {
        const int32_t across = chroma_across(layout_), down = chroma_down(layout_);
        const size_t cw = size_t(chroma_width(layout_, width_));
        if (group_ == uint32_t(across)) {
            // Whole groups in every row: each chroma row serves down rows as it is.
            for (int32_t row = 0; row < height_; ++row) {
                std::memcpy(to + size_t(row) * cw, plane.data() + size_t(row / down) * cw, cw);
            }
            return;
        }
        for (int32_t row = 0; row < height_; ++row) {
            const uint8_t *from = plane.data() + size_t(row / down) * cw;
            uint8_t *out = to + size_t(row) * size_t(width_);
            for (int32_t x = 0; x < width_; ++x) out[x] = from[x / across];
        }
    }

    void replace_last(uint32_t record) {
        if (last_ != 0) s_.drop_bitmap(last_);
        last_ = record;
        if (last_ == 0) throw failure{"the server could not make a resized frame"};
        s_.keep_bitmap(last_);
    }

    session &s_;
    int32_t width_, height_;
    chroma layout_;
    cli::size2 scale_;
    bool deinterlace_;
    bool one_pass_ = false;
    uint32_t group_ = 1;
    uint32_t y_ = 0, u_ = 0, v_ = 0, rgb_ = 0, record_ = 0, last_ = 0;
};

// Cube indexes are made from the first, second and third byte of a pixel; the frames hold blue
// first, so the levels of red and blue come out exchanged. This table puts them back.
std::vector<uint8_t> level_swap_table() {
    std::vector<uint8_t> t(256);
    for (int i = 0; i < 256; ++i) {
        t[size_t(i)] = i < 216 ? uint8_t((i % 6) * 36 + (i / 6 % 6) * 6 + i / 36) : uint8_t(i);
    }
    return t;
}

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

// One picture of every Nth frame, four to a row, with a gap between them.
class contact_sheet {
   public:
    void add(const picture &p) {
        constexpr int32_t kThumb = 160;
        const int32_t tw = std::min(kThumb, p.width);
        const int32_t th = std::max(1, int32_t(int64_t(p.height) * tw / p.width));
        picture t;
        t.width = tw;
        t.height = th;
        t.pixels.resize(size_t(tw) * size_t(th) * 3);
        for (int32_t y = 0; y < th; ++y) {
            const int64_t sy = int64_t(y) * p.height / th;
            for (int32_t x = 0; x < tw; ++x) {
                const int64_t sx = int64_t(x) * p.width / tw;
                std::memcpy(&t.pixels[(size_t(y) * size_t(tw) + size_t(x)) * 3],
                            &p.pixels[(size_t(sy) * size_t(p.width) + size_t(sx)) * 3], 3);
            }
        }
        thumbs_.push_back(std::move(t));
    }
    bool empty() const { return thumbs_.empty(); }

    picture compose() const {
        constexpr int32_t kGap = 4;
        const int32_t columns = int32_t(std::min<size_t>(4, thumbs_.size()));
        const int32_t rows = int32_t((thumbs_.size() + size_t(columns) - 1) / size_t(columns));
        const int32_t cw = thumbs_[0].width, ch = thumbs_[0].height;
        picture s;
        s.width = columns * (cw + kGap) + kGap;
        s.height = rows * (ch + kGap) + kGap;
        s.pixels.assign(size_t(s.width) * size_t(s.height) * 3, 40);
        for (size_t i = 0; i < thumbs_.size(); ++i) {
            const int32_t x0 = kGap + int32_t(i % size_t(columns)) * (cw + kGap);
            const int32_t y0 = kGap + int32_t(i / size_t(columns)) * (ch + kGap);
            for (int32_t y = 0; y < ch; ++y) {
                std::memcpy(&s.pixels[(size_t(y0 + y) * size_t(s.width) + size_t(x0)) * 3],
                            &thumbs_[i].pixels[size_t(y) * size_t(cw) * 3], size_t(cw) * 3);
            }
        }
        return s;
    }

   private:
    std::vector<picture> thumbs_;
};

// Frame files of an earlier run: frame-NNNNN.ppm or .png, and the contact sheet.
bool is_frame_file(const std::string &name) {
    if (name == "contact.png") return true;
    if (name.rfind("frame-", 0) != 0) return false;
    const size_t dot = name.find('.');
    if (dot == std::string::npos || dot < 6 + 5) return false;
    for (size_t k = 6; k < dot; ++k) {
        if (name[k] < '0' || name[k] > '9') return false;
    }
    const std::string ext = name.substr(dot);
    return ext == ".ppm" || ext == ".png";
}

// Refuses a directory that holds an earlier run's frames, or removes them when told to, so
// that the directory never mixes two runs.
void clear_old_frames(const std::string &dir, bool overwrite) {
    std::error_code e;
    if (!std::filesystem::is_directory(dir, e)) return;
    std::vector<std::filesystem::path> old;
    for (const auto &entry : std::filesystem::directory_iterator(dir, e)) {
        if (is_frame_file(entry.path().filename().string())) old.push_back(entry.path());
    }
    if (e) throw failure{dir + ": " + e.message()};
    if (old.empty()) return;
    if (!overwrite) {
        throw failure{dir + "/ already holds " +
                      cli::count_of(old.size(), "frame file", "frame files") +
                      " of an earlier run; --overwrite (-y) replaces them"};
    }
    for (const auto &path : old) {
        if (!std::filesystem::remove(path, e) && e)
            throw failure{path.string() + ": " + e.message()};
    }
}

// Where the frames go: numbered files and a contact sheet in a directory, or one stream on
// standard output.
class frame_sink {
   public:
    frame_sink(const record_options &o, const std::string &format, uint32_t sheet_every)
        : dir_(o.out_dir), format_(format), every_(sheet_every) {
        if (stream()) {
            if (isatty(STDOUT_FILENO) != 0) {
                throw usage_error{
                    "standard output is a terminal: pipe the frames into a program (tamsa "
                    "record --out - | ffmpeg -f image2pipe -c:v ppm -i - OUT)"};
            }
            // A reader that goes away makes the writes fail, and the run with them.
            std::signal(SIGPIPE, SIG_IGN);
        } else if (!dir_.empty()) {
            clear_old_frames(dir_, o.overwrite);
            std::error_code e;
            std::filesystem::create_directories(dir_, e);
            if (e) throw failure{dir_ + ": " + e.message()};
        }
    }
    frame_sink(const frame_sink &) = delete;
    frame_sink &operator=(const frame_sink &) = delete;

    bool stream() const { return dir_ == "-"; }
    bool writes() const { return !dir_.empty(); }

    void write(const picture &p, uint32_t index) {
        if (stream()) {
            bool ok;
            if (format_ == "rgb") {
                ok = std::fwrite(p.pixels.data(), 1, p.pixels.size(), stdout) == p.pixels.size();
            } else {
                ok = write_picture(stdout, p,
                                   format_ == "png" ? picture_format::png : picture_format::ppm);
            }
            if (!ok) throw failure{std::string("standard output: ") + std::strerror(errno)};
            return;
        }
        char name[32];
        std::snprintf(name, sizeof name, "frame-%05u.%s", index + 1, format_.c_str());
        save_picture((std::filesystem::path(dir_) / name).string(), p);
        if (index % every_ == 0) sheet_.add(p);
    }

    // Writes the contact sheet, or flushes the stream; returns the sheet's file or "".
    std::string finish() {
        if (stream()) {
            if (std::fflush(stdout) != 0)
                throw failure{std::string("standard output: ") + std::strerror(errno)};
            return "";
        }
        if (sheet_.empty()) return "";
        const std::string sheet = (std::filesystem::path(dir_) / "contact.png").string();
        save_picture(sheet, sheet_.compose());
        return sheet;
    }

   private:
    std::string dir_;
    std::string format_;
    uint32_t every_;
    contact_sheet sheet_;
};

}  // namespace

record_report run_record(const record_options &o, bool keep_frames) {
    const std::string format = cli::lower(o.format);
    if (format != "ppm" && format != "png" && format != "rgb")
        throw usage_error{"bad format '" + o.format + "' (ppm, png or rgb, in any case)"};
    if (format == "rgb" && o.out_dir != "-") {
        throw usage_error{"--format rgb writes raw frames to standard output only: add --out -"};
    }
    const uint32_t built_in = o.frames != 0 ? o.frames : kBuiltInFrames;
    std::unique_ptr<clip> input = open_clip(o.input, o.raw_size.width, o.raw_size.height, built_in);
    const clip_info &info = input->info();
    const std::string name = o.input == "-" ? "standard input" : o.input;
    if (info.full_range) {
        cli::warn(name + " is full range (XCOLORRANGE=FULL), but the conversion is studio range " +
                  "(16..235): shadows and highlights clip and colours are up to 20 levels off");
    }
    const bool interlaced = info.interlace == 't' || info.interlace == 'b';
    const bool deinterlace = o.deinterlace.value_or(interlaced);
    if (interlaced && !o.deinterlace.has_value()) {
        cli::note(name + " is interlaced (" + (info.interlace == 't' ? "top" : "bottom") +
                  " field first): deinterlacing; --no-deinterlace keeps both fields");
    }
    std::unique_ptr<clip> fade;
    if (!o.fade_with.empty()) {
        // The fade clip holds raw planes when the main clip does; otherwise it is a Y4M file.
        const bool raw = !o.input.empty() && o.raw_size.width != 0;
        fade = raw ? open_raw(o.fade_with, o.raw_size.width, o.raw_size.height)
                   : open_y4m(o.fade_with);
        if (fade->width() != input->width() || fade->height() != input->height()) {
            throw failure{"the fade clip's frames are " + std::to_string(fade->width()) + "x" +
                          std::to_string(fade->height()) + ", not " +
                          std::to_string(input->width()) + "x" + std::to_string(input->height())};
        }
    }
    uint32_t total = info.frames;
    if (o.frames != 0) total = total != 0 ? std::min(total, o.frames) : o.frames;
    const uint32_t every =
        o.sheet_every != 0 ? o.sheet_every : std::max<uint32_t>(1, (total != 0 ? total : 50) / 12);
    frame_sink sink(o, format, every);

    session s(o.connect);
    converter main_frames(s, info, o.scale, deinterlace);
    std::unique_ptr<converter> fade_frames;
    if (fade) fade_frames = std::make_unique<converter>(s, fade->info(), o.scale, deinterlace);

    record_report report;
    report.width = input->width();
    report.height = input->height();
    report.out_width = main_frames.out_width();
    report.out_height = main_frames.out_height();
    const uint32_t w = uint32_t(report.out_width), h = uint32_t(report.out_height);
    const uint64_t pixels = uint64_t(w) * h;

    uint32_t cube = 0, swap = 0;
    if (o.remap) {
        cube = s.alloc(pixels, false);
        swap = s.alloc(256, false);
        const std::vector<uint8_t> table = level_swap_table();
        std::memcpy(s.at(swap, 256), table.data(), 256);
    }
    cli::progress meter(o.progress, "frame", "frames");

    const auto start = clock_type::now();
    yuv_frame frame, other;
    bool other_ok = false;
    for (uint32_t i = 0; (o.frames == 0 || i < o.frames) && input->next(frame); ++i) {
        const uint32_t record = main_frames.convert(frame);
        if (o.correct) {
            s.send(TAMSA_OP_CORRECT, {record, uint32_t(o.contrast), uint32_t(o.brightness) + 256u,
                                      o.invert ? 1u : 0u});
        }
        if (fade) {
            if (fade->next(other)) other_ok = true;
            if (other_ok) {
                const uint32_t second = fade_frames->convert(other);
                const uint32_t level = std::min<uint32_t>(
                    255, uint32_t(uint64_t(i) * 255 / std::max(1u, o.fade_frames)));
                const uint32_t data = s.read_bitmap(record).data;
                s.send(TAMSA_OP_FADEOVER, {data, s.read_bitmap(second).data, data, level, w, h, 3});
            }
        }
        const uint8_t *bytes;
        if (o.remap) {
            s.send(TAMSA_OP_REMAP24, {record, cube, 0, uint32_t(pixels * 3)});
            s.send(TAMSA_OP_REMAP8, {cube, swap, uint32_t(pixels)});
            bytes = s.at(cube, pixels);
        } else {
            bytes = s.at(s.read_bitmap(record).data, pixels * 3);
        }
        if (sink.writes() || keep_frames) {
            picture p = frame_picture(bytes, int32_t(w), int32_t(h), o.remap);
            if (sink.writes()) sink.write(p, i);
            if (keep_frames) report.kept.push_back(std::move(p));
        }
        ++report.frames;
        meter.step(report.frames, total);
    }
    report.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    meter.done();
    if (!input->truncated().empty()) {
        report.truncated = name + ": " + input->truncated() + "; kept the " +
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
    if (fade_frames_given && o.fade_with.empty())
        cli::warn("--fade-frames has no effect without --fade-with");
    if (sheet_given && o.out_dir == "-")
        cli::warn("--sheet-every has no effect with --out - (no contact sheet is written)");
    if (o.overwrite && o.out_dir == "-") cli::warn("--overwrite has no effect with --out -");
    if (o.input == "-" && o.fade_with == "-")
        throw usage_error{"the clip and the fade clip cannot both be standard input"};
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
