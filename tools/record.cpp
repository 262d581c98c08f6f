#include "tools/record.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

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
        if (connect.empty()) {
            server_ = tamsa_server_start(TAMSA_PORT_NAME);
            if (server_ == nullptr) throw failure{"the server could not start"};
            client_ = tamsa_client_local(TAMSA_PORT_NAME);
        } else {
            client_ = tamsa_client_connect(connect.c_str());
            if (client_ == nullptr) {
                throw failure{"no server on port '" + connect +
                              "' (start one with: tamsa serve --port " + connect + ")"};
            }
        }
        if (client_ == nullptr) throw failure{"cannot reach the server"};
        block_ = alloc(32, true);
    }
    ~session() {
        for (uint32_t b : bitmaps_) tamsa_client_free_bitmap(client_, b);
        for (uint32_t b : blocks_) tamsa_client_free(client_, b);
        tamsa_client_close(client_);
        tamsa_server_stop(server_);
    }
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
    tamsa_server *server_ = nullptr;
    tamsa_client *client_ = nullptr;
    uint32_t block_ = 0;
    std::vector<uint32_t> blocks_;
    std::vector<uint32_t> bitmaps_;
    std::vector<double> trips_;
};

// A clip's frames in the bus, converted by the server one after the other.
class converter {
   public:
    converter(session &s, int32_t width, int32_t height, cli::size2 scale)
        : s_(s), width_(width), height_(height), scale_(scale) {
        const uint64_t pixels = uint64_t(width) * uint64_t(height);
        y_ = s.alloc(pixels, false);
        u_ = s.alloc(pixels / 4, false);
        v_ = s.alloc(pixels / 4, false);
        if (scale.width == 0) {
            // The conversion writes into a buffer of ours, described by a record of ours.
            rgb_ = s.alloc(pixels * 3, false);
            record_ = s.alloc(16, false);
            s.write_bitmap(record_, {rgb_, width, height, 3});
        }
    }
    int32_t out_width() const { return scale_.width != 0 ? scale_.width : width_; }
    int32_t out_height() const { return scale_.height != 0 ? scale_.height : height_; }

    // Sends the frame's conversion and returns the record of the blue-first result.
    uint32_t convert(const yuv_frame &f) {
        std::memcpy(s_.at(y_, f.y.size()), f.y.data(), f.y.size());
        std::memcpy(s_.at(u_, f.u.size()), f.u.data(), f.u.size());
        std::memcpy(s_.at(v_, f.v.size()), f.v.data(), f.v.size());
        if (scale_.width == 0) {
            s_.send(2, {y_, v_, u_, rgb_, uint32_t(width_) * uint32_t(height_), 4});
            return record_;
        }
        if (last_ != 0) s_.drop_bitmap(last_);
        last_ = s_.send(10, {y_, v_, u_, uint32_t(width_), uint32_t(height_),
                             uint32_t(scale_.width), uint32_t(scale_.height)});
        if (last_ == 0) throw failure{"the server could not make a converted frame"};
        s_.keep_bitmap(last_);
        return last_;
    }

   private:
    session &s_;
    int32_t width_, height_;
    cli::size2 scale_;
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
    for (size_t i = 0; i < n; ++i) {
        uint8_t *o = &p.pixels[i * 3];
        if (cube) {
            const uint8_t c = bytes[i];
            o[0] = uint8_t(c / 36 % 6 * 51);
            o[1] = uint8_t(c / 6 % 6 * 51);
            o[2] = uint8_t(c % 6 * 51);
        } else {
            o[0] = bytes[i * 3 + 2];
            o[1] = bytes[i * 3 + 1];
            o[2] = bytes[i * 3];
        }
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

}  // namespace

record_report run_record(const record_options &o, bool keep_frames) {
    if (o.format != "ppm" && o.format != "png")
        throw usage_error{"bad format '" + o.format + "' (ppm or png)"};
    const uint32_t built_in = o.frames != 0 ? o.frames : kBuiltInFrames;
    std::unique_ptr<clip> input = open_clip(o.input, o.raw_size.width, o.raw_size.height, built_in);
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
    if (!o.out_dir.empty()) {
        std::error_code e;
        std::filesystem::create_directories(o.out_dir, e);
        if (e) throw failure{o.out_dir + ": " + e.message()};
    }

    session s(o.connect);
    converter main_frames(s, input->width(), input->height(), o.scale);
    std::unique_ptr<converter> fade_frames;
    if (fade)
        fade_frames = std::make_unique<converter>(s, input->width(), input->height(), o.scale);

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
    const uint32_t every = o.sheet_every != 0
                               ? o.sheet_every
                               : std::max<uint32_t>(1, (o.frames != 0 ? o.frames : built_in) / 12);
    contact_sheet sheet;
    const bool show = o.progress && isatty(STDERR_FILENO) != 0;

    const auto start = clock_type::now();
    yuv_frame frame, other;
    bool other_ok = false;
    for (uint32_t i = 0; (o.frames == 0 || i < o.frames) && input->next(frame); ++i) {
        const uint32_t record = main_frames.convert(frame);
        if (o.correct) {
            s.send(5, {record, uint32_t(o.contrast), uint32_t(o.brightness) + 256u,
                       o.invert ? 1u : 0u});
        }
        if (o.deinterlace) s.send(8, {record});
        if (fade) {
            if (fade->next(other)) other_ok = true;
            if (other_ok) {
                const uint32_t second = fade_frames->convert(other);
                const uint32_t level = std::min<uint32_t>(
                    255, uint32_t(uint64_t(i) * 255 / std::max(1u, o.fade_frames)));
                const uint32_t data = s.read_bitmap(record).data;
                s.send(7, {data, s.read_bitmap(second).data, data, level, w, h, 3});
            }
        }
        const uint8_t *bytes;
        if (o.remap) {
            s.send(4, {record, cube, 0, uint32_t(pixels * 3)});
            s.send(6, {cube, swap, uint32_t(pixels)});
            bytes = s.at(cube, pixels);
        } else {
            bytes = s.at(s.read_bitmap(record).data, pixels * 3);
        }
        if (!o.out_dir.empty() || keep_frames) {
            picture p = frame_picture(bytes, int32_t(w), int32_t(h), o.remap);
            if (!o.out_dir.empty()) {
                char name[32];
                std::snprintf(name, sizeof name, "frame-%05u.%s", i + 1, o.format.c_str());
                save_picture((std::filesystem::path(o.out_dir) / name).string(), p);
                if (i % every == 0) sheet.add(p);
            }
            if (keep_frames) report.kept.push_back(std::move(p));
        }
        ++report.frames;
        if (show) std::fprintf(stderr, "\rframe %u", report.frames);
    }
    report.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (show) std::fputc('\n', stderr);

    if (!o.out_dir.empty() && !sheet.empty()) {
        report.sheet = (std::filesystem::path(o.out_dir) / "contact.png").string();
        save_picture(report.sheet, sheet.compose());
    }
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
    bool any_correction = false;
    while (!args.empty()) {
        const std::string a = args.next("an option");
        if (a == "--size") {
            o.raw_size = cli::parse_size(args.value(a), "size");
        } else if (a == "--out") {
            o.out_dir = args.value(a);
        } else if (a == "--format") {
            o.format = args.value(a);
        } else if (a == "--frames") {
            o.frames = cli::parse_count(args.value(a), "frame count");
        } else if (a == "--scale") {
            o.scale = cli::parse_size(args.value(a), "scale");
        } else if (a == "--contrast") {
            o.contrast = cli::parse_int(args.value(a), "contrast");
            any_correction = true;
        } else if (a == "--brightness") {
            o.brightness = cli::parse_int(args.value(a), "brightness");
            any_correction = true;
        } else if (a == "--invert") {
            o.invert = true;
            any_correction = true;
        } else if (a == "--deinterlace") {
            o.deinterlace = true;
        } else if (a == "--fade-with") {
            o.fade_with = args.value(a);
        } else if (a == "--fade-frames") {
            o.fade_frames = cli::parse_count(args.value(a), "fade length");
        } else if (a == "--remap") {
            o.remap = true;
        } else if (a == "--connect") {
            o.connect = args.value(a);
        } else if (a == "--sheet-every") {
            o.sheet_every = cli::parse_count(args.value(a), "sheet interval");
        } else if (a == "--no-progress") {
            o.progress = false;
        } else if (!a.empty() && a[0] == '-') {
            throw usage_error{"unknown option: " + a};
        } else if (o.input.empty()) {
            o.input = a;
        } else {
            throw usage_error{"more than one input clip: " + a};
        }
    }
    o.correct = any_correction;
    if (o.contrast < -100000 || o.contrast > 100000)
        throw usage_error{"bad contrast (percent, -100000..100000)"};
    if (o.brightness < -255 || o.brightness > 255) throw usage_error{"bad brightness (-255..255)"};
    return o;
}

int record_command(cli::args &args) {
    const record_options o = parse_record_options(args);
    const record_report r = run_record(o);
    std::printf("recorded %u frames of %dx%d", r.frames, r.width, r.height);
    if (r.out_width != r.width || r.out_height != r.height)
        std::printf(" as %dx%d", r.out_width, r.out_height);
    std::printf(" in %.2f s: %.1f frames/s, %llu messages, median round trip %.3f ms\n", r.seconds,
                r.seconds > 0 ? r.frames / r.seconds : 0.0,
                static_cast<unsigned long long>(r.messages), r.median_round_trip_ms);
    if (!o.out_dir.empty()) {
        std::printf("frames in %s/, contact sheet %s\n", o.out_dir.c_str(),
                    r.sheet.empty() ? "(none)" : r.sheet.c_str());
    }
    return 0;
}

}  // namespace tamsa::tools
