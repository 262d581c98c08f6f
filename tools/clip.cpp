#include "tools/clip.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "tools/cli.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;

constexpr int64_t kMaxPixels = int64_t(1) << 26;

void check_size(int64_t w, int64_t h, const std::string &what) {
    if (w < 4 || h < 1 || w * h > kMaxPixels) throw usage_error{what + ": bad frame size"};
    if (w % 4 != 0) {
        throw usage_error{what +
                          ": the width must be a multiple of 4 (one chroma sample per 4 pixels)"};
    }
}

void size_frame(yuv_frame &f, int32_t w, int32_t h) {
    f.width = w;
    f.height = h;
    f.y.resize(size_t(w) * size_t(h));
    f.u.resize(size_t(w / 4) * size_t(h));
    f.v.resize(size_t(w / 4) * size_t(h));
}

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};

// Reads one line of at most limit characters, without its line feed; false at the end of the
// file before any character.
bool read_line(FILE *f, std::string &line, size_t limit, const std::string &what) {
    line.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') {
        if (line.size() >= limit) throw failure{what + ": header line too long"};
        line.push_back(char(c));
    }
    if (c == EOF && line.empty()) return false;
    if (c == EOF) throw failure{what + ": file ends inside a header"};
    return true;
}

class y4m_clip final : public clip {
   public:
    explicit y4m_clip(const std::string &path)
        : path_(path), file_(std::fopen(path.c_str(), "rb")) {
        if (file_ == nullptr) throw failure{path + ": " + std::strerror(errno)};
        std::string header;
        if (!read_line(file_.get(), header, 4096, path) || header.rfind("YUV4MPEG2", 0) != 0 ||
            (header.size() > 9 && header[9] != ' ')) {
            throw failure{path + ": not a Y4M file"};
        }
        int64_t w = -1, h = -1;
        std::string chroma = "420jpeg";  // what a stream without a C tag holds
        size_t at = 9;
        while (at < header.size()) {
            while (at < header.size() && header[at] == ' ') ++at;
            const size_t end = std::min(header.find(' ', at), header.size());
            const std::string tag = header.substr(at, end - at);
            at = end;
            if (tag.empty()) continue;
            if (tag[0] == 'W') w = number(tag.substr(1));
            if (tag[0] == 'H') h = number(tag.substr(1));
            if (tag[0] == 'C') chroma = tag.substr(1);
            if (tag[0] == 'I' && tag != "Ip" && tag != "It" && tag != "Ib" && tag != "I?") {
                throw failure{path + ": mixed interlacing is not read"};
            }
        }
        if (w < 0 || h < 0) throw failure{path + ": the header gives no frame size"};
        if (chroma != "411") {
            throw failure{path + ": chroma 'C" + chroma + "' is not 4:1:1 ('C411')"};
        }
        check_size(w, h, path);
        width_ = int32_t(w);
        height_ = int32_t(h);
    }

    bool next(yuv_frame &frame) override {
        std::string line;
        if (!read_line(file_.get(), line, 4096, path_)) return false;
        if (line.rfind("FRAME", 0) != 0 || (line.size() > 5 && line[5] != ' ')) {
            throw failure{path_ + ": frame " + std::to_string(frames_ + 1) +
                          " has no FRAME header"};
        }
        size_frame(frame, width_, height_);
        for (std::vector<uint8_t> *plane : {&frame.y, &frame.u, &frame.v}) {
            if (std::fread(plane->data(), 1, plane->size(), file_.get()) != plane->size()) {
                throw failure{path_ + ": frame " + std::to_string(frames_ + 1) + " is truncated"};
            }
        }
        ++frames_;
        return true;
    }

   private:
    int64_t number(const std::string &text) const {
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            throw failure{path_ + ": bad number '" + text + "' in the header"};
        }
        return std::stoll(text);
    }

    std::string path_;
    std::unique_ptr<FILE, file_closer> file_;
    uint32_t frames_ = 0;
};

class raw_clip final : public clip {
   public:
    raw_clip(const std::string &path, int32_t w, int32_t h)
        : path_(path), file_(std::fopen(path.c_str(), "rb")) {
        if (file_ == nullptr) throw failure{path + ": " + std::strerror(errno)};
        check_size(w, h, path);
        width_ = w;
        height_ = h;
    }

    bool next(yuv_frame &frame) override {
        size_frame(frame, width_, height_);
        const size_t got = std::fread(frame.y.data(), 1, frame.y.size(), file_.get());
        if (got == 0 && std::feof(file_.get())) return false;
        if (got != frame.y.size() ||
            std::fread(frame.u.data(), 1, frame.u.size(), file_.get()) != frame.u.size() ||
            std::fread(frame.v.data(), 1, frame.v.size(), file_.get()) != frame.v.size()) {
            throw failure{path_ + ": frame " + std::to_string(frames_ + 1) + " is truncated"};
        }
        ++frames_;
        return true;
    }

   private:
    std::string path_;
    std::unique_ptr<FILE, file_closer> file_;
    uint32_t frames_ = 0;
};

// Studio-range luma and chroma of an RGB colour.
void to_yuv(double r, double g, double b, double &y, double &u, double &v) {
    y = 16.0 + 0.257 * r + 0.504 * g + 0.098 * b;
    u = 128.0 - 0.148 * r - 0.291 * g + 0.439 * b;
    v = 128.0 + 0.439 * r - 0.368 * g - 0.071 * b;
}

uint8_t to_byte(double x) {
    return uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, x))));
}

// The frames are worked out once: the bars only move, by whole chroma groups, so every frame
// is a rotation of the first one's bar rows above a gradient that stays put.
class synthetic final : public clip {
   public:
    synthetic(int32_t w, int32_t h, uint32_t frames) : frames_(frames) {
        check_size(w, h, "the built-in clip");
        width_ = w;
        height_ = h;
        size_frame(first_, w, h);
        static constexpr uint8_t bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255},
                                               {0, 255, 0},     {255, 0, 255}, {255, 0, 0},
                                               {0, 0, 255},     {0, 0, 0}};
        bar_rows_ = h * 2 / 3;
        for (int32_t row = 0; row < h; ++row) {
            for (int32_t x0 = 0; x0 < w; x0 += 4) {
                double us = 0, vs = 0;
                for (int32_t x = x0; x < x0 + 4; ++x) {
                    double r, g, b;
                    if (row < bar_rows_) {
                        const auto &bar = bars[int64_t(x) * 8 / w];
                        r = bar[0];
                        g = bar[1];
                        b = bar[2];
                    } else {
                        // A ramp left to right, tinted by the row.
                        const double t = double(x) / w;
                        const double s = double(row - bar_rows_) / std::max(1, h - bar_rows_);
                        r = 255.0 * t;
                        g = 255.0 * t * (1.0 - s);
                        b = 255.0 * (0.5 * t + 0.5 * s);
                    }
                    double y, u, v;
                    to_yuv(r, g, b, y, u, v);
                    first_.y[size_t(row) * size_t(w) + size_t(x)] = to_byte(y);
                    us += u;
                    vs += v;
                }
                const size_t c = size_t(row) * size_t(w / 4) + size_t(x0 / 4);
                first_.u[c] = to_byte(us / 4);
                first_.v[c] = to_byte(vs / 4);
            }
        }
    }

    bool next(yuv_frame &frame) override {
        if (made_ >= frames_) return false;
        frame = first_;
        // Frame n shows the bars moved left by 4n pixels, one chroma group a frame.
        const size_t groups = size_t(width_ / 4);
        const size_t shift = made_ % groups;
        for (int32_t row = 0; row < bar_rows_; ++row) {
            uint8_t *y = frame.y.data() + size_t(row) * size_t(width_);
            std::rotate(y, y + shift * 4, y + width_);
            for (std::vector<uint8_t> *plane : {&frame.u, &frame.v}) {
                uint8_t *c = plane->data() + size_t(row) * groups;
                std::rotate(c, c + shift, c + groups);
            }
        }
        ++made_;
        return true;
    }

   private:
    uint32_t frames_;
    uint32_t made_ = 0;
    int32_t bar_rows_ = 0;
    yuv_frame first_;
};

}  // namespace

std::unique_ptr<clip> open_y4m(const std::string &path) {
    return std::make_unique<y4m_clip>(path);
}

std::unique_ptr<clip> open_raw(const std::string &path, int32_t width, int32_t height) {
    return std::make_unique<raw_clip>(path, width, height);
}

std::unique_ptr<clip> synthetic_clip(int32_t width, int32_t height, uint32_t frames) {
    return std::make_unique<synthetic>(width, height, frames);
}

std::unique_ptr<clip> open_clip(const std::string &path, int32_t raw_width, int32_t raw_height,
                                uint32_t synthetic_frames) {
    if (path.empty()) {
        return synthetic_clip(raw_width > 0 ? raw_width : 640, raw_height > 0 ? raw_height : 480,
                              synthetic_frames);
    }
    if (raw_width > 0) return open_raw(path, raw_width, raw_height);
    return open_y4m(path);
}

void write_y4m(FILE *f, const std::vector<yuv_frame> &frames) {
    if (frames.empty()) return;
    std::fprintf(f, "YUV4MPEG2 W%d H%d F25:1 Ip A1:1 C411\n", frames[0].width, frames[0].height);
    for (const yuv_frame &frame : frames) {
        std::fputs("FRAME\n", f);
        std::fwrite(frame.y.data(), 1, frame.y.size(), f);
        std::fwrite(frame.u.data(), 1, frame.u.size(), f);
        std::fwrite(frame.v.data(), 1, frame.v.size(), f);
    }
}

}  // namespace tamsa::tools
