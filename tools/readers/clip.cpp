#include "tools/readers/clip.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "tools/commands/cli.h"
#include "tools/readers/media.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;

// Raw planes and the built-in clip hold one chroma sample per 4 pixels of a row.
void check_411_size(int64_t w, int64_t h, const std::string &what) {
    if (w < 4 || h < 1 || w * h > cli::kMaxPixels) throw usage_error{what + ": bad frame size"};
    if (w % 4 != 0) {
        throw usage_error{what +
                          ": the width must be a multiple of 4 (one chroma sample per 4 pixels)"};
    }
}

void size_frame(yuv_frame &f, int32_t w, int32_t h, chroma layout) {
    f.width = w;
    f.height = h;
    f.layout = layout;
    f.y.resize(size_t(w) * size_t(h));
    const size_t c = size_t(chroma_width(layout, w)) * size_t(chroma_height(layout, h));
    f.u.resize(c);
    f.v.resize(c);
}

// A file, or standard input for "-", with room to put back what was read to look at it. Read
// with its own buffer over the descriptor, so that a read of a pipe that stalls can be given up
// from another thread (cancel()).
class input {
   public:
    explicit input(const std::string &path) : name_(path == "-" ? "standard input" : path) {
        if (path == "-") {
            if (isatty(STDIN_FILENO) != 0) {
                throw usage_error{
                    "standard input is a terminal: pipe a clip in (ffmpeg -i IN -f "
                    "yuv4mpegpipe - | tamsa record -)"};
            }
            fd_ = STDIN_FILENO;
        } else {
            fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd_ < 0) throw failure{path + ": " + std::strerror(errno)};
            owned_ = true;
        }
        // A regular file's reads do not wait, so only other inputs need the event.
        if (size() < 0) cancel_ = eventfd(0, EFD_CLOEXEC);
    }
    ~input() {
        if (cancel_ >= 0) close(cancel_);
        if (owned_) close(fd_);
    }
    input(const input &) = delete;
    input &operator=(const input &) = delete;

    const std::string &name() const { return name_; }

    size_t read(uint8_t *to, size_t n) {
        if (n == 0) return 0;  // mono frames have empty chroma planes
        size_t got = std::min(n, back_.size() - back_at_);
        std::memcpy(to, back_.data() + back_at_, got);
        back_at_ += got;
        while (got < n) {
            if (buf_at_ == buf_end_) {
                // Large reads go straight where they are wanted; small ones fill the buffer.
                if (n - got >= sizeof buf_) {
                    const size_t r = read_some(to + got, n - got);
                    if (r == 0) break;
                    got += r;
                    continue;
                }
                buf_at_ = 0;
                buf_end_ = read_some(buf_, sizeof buf_);
                if (buf_end_ == 0) break;
            }
            const size_t take = std::min(n - got, buf_end_ - buf_at_);
            std::memcpy(to + got, buf_ + buf_at_, take);
            buf_at_ += take;
            got += take;
        }
        consumed_ += got;
        return got;
    }
    int get() {
        uint8_t c;
        return read(&c, 1) == 1 ? c : EOF;
    }
    // Bytes read so far, less those put back.
    uint64_t consumed() const { return consumed_; }
    // Puts back bytes just read, to be read again.
    void put_back(const std::string &bytes) {
        back_ = bytes + back_.substr(back_at_);
        back_at_ = 0;
        consumed_ -= bytes.size();
    }
    // The size of a regular file, or -1 for a pipe.
    int64_t size() const {
        struct stat st {};
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
        return int64_t(st.st_size);
    }
    // Ends the input for good: a read waiting for a pipe returns as at its end. Safe from
    // another thread.
    void cancel() {
        if (cancel_ >= 0) (void)!eventfd_write(cancel_, 1);
    }
    // Whether a read ended for cancel(): the clip was not cut short then. On the reading thread.
    bool cancelled() const { return cancelled_; }

   private:
    // One read of at most n bytes; 0 at the end, on an error, or once cancelled.
    size_t read_some(uint8_t *to, size_t n) {
        for (;;) {
            if (cancel_ >= 0) {
                pollfd wait[2] = {{fd_, POLLIN, 0}, {cancel_, POLLIN, 0}};
                if (poll(wait, 2, -1) < 0) {
                    if (errno == EINTR) continue;
                    return 0;
                }
                if (wait[1].revents != 0) {
                    cancelled_ = true;
                    return 0;
                }
            }
            const ssize_t r = ::read(fd_, to, n);
            if (r < 0 && errno == EINTR) continue;
            return r < 0 ? 0 : size_t(r);
        }
    }

    std::string name_;
    int fd_ = -1;
    bool owned_ = false;
    int cancel_ = -1;
    bool cancelled_ = false;
    std::string back_;
    size_t back_at_ = 0;
    uint64_t consumed_ = 0;
    uint8_t buf_[1 << 16];
    size_t buf_at_ = 0, buf_end_ = 0;
};

// Reads one line of at most limit characters, without its line feed. Returns false at the end
// of the input before any character; sets cut when the input ends inside the line.
bool read_line(input &in, std::string &line, size_t limit, bool &cut) {
    line.clear();
    cut = false;
    int c;
    while ((c = in.get()) != EOF && c != '\n') {
        if (line.size() >= limit) throw failure{in.name() + ": header line too long"};
        line.push_back(char(c));
    }
    if (c == EOF && line.empty()) return false;
    cut = c == EOF;
    return true;
}

// The bytes of a frame's planes, and reading them where they go.
struct plane_sizes {
    explicit plane_sizes(const clip_info &info)
        : y(size_t(info.width) * size_t(info.height)),
          c(size_t(chroma_width(info.layout, info.width)) *
            size_t(chroma_height(info.layout, info.height))) {}
    // Reads Y, U and V; false when the input ends first, with got the bytes read.
    bool read(input &in, uint8_t *py, uint8_t *pu, uint8_t *pv, uint64_t &got) const {
        const std::pair<uint8_t *, size_t> planes[3] = {{py, y}, {pu, c}, {pv, c}};
        for (const auto &[to, n] : planes) {
            const size_t read = in.read(to, n);
            got += read;
            if (read != n) return false;
        }
        return true;
    }
    size_t y, c;
};

struct chroma_tag {
    const char *tag;
    chroma layout;
};
constexpr chroma_tag kChromaTags[] = {
    {"420jpeg", chroma::c420}, {"420paldv", chroma::c420}, {"420mpeg2", chroma::c420},
    {"420", chroma::c420},     {"422", chroma::c422},      {"444", chroma::c444},
    {"411", chroma::c411},     {"mono", chroma::mono},
};

class y4m_clip final : public clip {
   public:
    void cancel() override { in_.cancel(); }
    explicit y4m_clip(const std::string &path) : in_(path) {
        const std::string &name = in_.name();
        std::string header;
        bool cut = false;
        // Raw planes have no header and may have no line feed for long: the start tells.
        uint8_t head[9] = {};
        const std::string start(reinterpret_cast<const char *>(head), in_.read(head, sizeof head));
        in_.put_back(start);
        if (start.empty()) {
            if (path == "-") {
                throw failure{
                    "standard input is empty: no Y4M stream came (ffmpeg -i IN -f yuv4mpegpipe "
                    "- | tamsa record -)"};
            }
            throw failure{name + " is empty"};
        }
        if (start != "YUV4MPEG2" || !read_line(in_, header, 4096, cut) ||
            (header.size() > 9 && header[9] != ' ')) {
            // Files that are not were offered to libavformat first; standard input was not.
            throw failure{name + ": not a Y4M file (it does not start with YUV4MPEG2)" +
                          (path == "-" ? "" : " nor a video file") +
                          "; raw planes need --size WxH and --pix-fmt F"};
        }
        if (cut) throw failure{name + ": file ends inside a header"};
        int64_t w = -1, h = -1;
        // A stream without a C tag holds 4:2:0.
        info_.layout = chroma::c420;
        size_t at = 9;
        while (at < header.size()) {
            while (at < header.size() && header[at] == ' ') ++at;
            const size_t end = std::min(header.find(' ', at), header.size());
            const std::string tag = header.substr(at, end - at);
            at = end;
            if (tag.empty()) continue;
            if (tag[0] == 'W') w = number(tag.substr(1));
            if (tag[0] == 'H') h = number(tag.substr(1));
            if (tag[0] == 'C') info_.layout = layout_of(tag.substr(1));
            if (tag[0] == 'I') {
                if (tag != "Ip" && tag != "It" && tag != "Ib" && tag != "I?" && tag != "Im") {
                    throw failure{name + ": interlacing '" + tag +
                                  "' is not read (Ip, It, Ib, Im or I?)"};
                }
                info_.interlace = tag[1];
            }
            if (tag[0] == 'F' && tag.size() > 1) info_.rate = ratio(tag.substr(1));
            if (tag[0] == 'A' && tag.size() > 1) info_.aspect = ratio(tag.substr(1));
            if (tag == "XCOLORRANGE=FULL") info_.full_range = true;
        }
        if (w < 0 || h < 0) throw failure{name + ": the header gives no frame size"};
        if (w < 1 || h < 1 || w * h > cli::kMaxPixels) throw failure{name + ": bad frame size"};
        info_.width = int32_t(w);
        info_.height = int32_t(h);
        const int64_t size = in_.size();
        if (size > 0) {
            const uint64_t frame = 6 + frame_bytes();
            info_.frames = uint32_t(std::min<uint64_t>(
                UINT32_MAX, (uint64_t(size) - std::min(uint64_t(size), in_.consumed())) / frame));
        }
    }

    bool next(yuv_frame &frame) override {
        if (!next_header(frame)) return false;
        size_frame(frame, info_.width, info_.height, info_.layout);
        return read_planes(frame.y.data(), frame.u.data(), frame.v.data());
    }

    bool next_into(yuv_frame &frame, uint8_t *y, uint8_t *u, uint8_t *v) override {
        return next_header(frame) && read_planes(y, u, v);
    }

   private:
    // Reads a FRAME line and gives frame the clip's size and the line's field; false at the end.
    bool next_header(yuv_frame &frame) {
        std::string line;
        bool cut = false;
        if (!truncated_.empty() || !read_line(in_, line, 4096, cut)) return false;
        if (line.rfind("FRAME", 0) != 0 || (line.size() > 5 && line[5] != ' ')) {
            if (cut && std::string("FRAME").rfind(line, 0) == 0) {
                if (!in_.cancelled())
                    truncated_ = which() + " is truncated (the file ends inside its header)";
                return false;
            }
            throw failure{in_.name() + ": " + which() + " has no FRAME header"};
        }
        frame.width = info_.width;
        frame.height = info_.height;
        frame.layout = info_.layout;
        frame.field = field_of(line);
        return true;
    }

    bool read_planes(uint8_t *y, uint8_t *u, uint8_t *v) {
        const plane_sizes sizes(info_);
        uint64_t got = 0;
        if (!sizes.read(in_, y, u, v, got)) {
            if (in_.cancelled()) return false;
            truncated_ = which() + " is truncated (" + std::to_string(got) + " of " +
                         std::to_string(frame_bytes()) + " bytes)";
            return false;
        }
        ++frames_;
        return true;
    }

    std::string which() const { return "frame " + std::to_string(frames_ + 1); }

    uint64_t frame_bytes() const {
        const uint64_t c = uint64_t(chroma_width(info_.layout, info_.width)) *
                           uint64_t(chroma_height(info_.layout, info_.height));
        return uint64_t(info_.width) * uint64_t(info_.height) + 2 * c;
    }

    // A frame header's I tag: its first letter tells which field comes first (t, T: top; b, B:
    // bottom; 1, 2, 3: a whole frame shown 1 to 3 times), its second whether the frame was
    // sampled as fields (i) or at once (p).
    static char field_of(const std::string &line) {
        for (size_t at = line.find(" I"); at != std::string::npos; at = line.find(" I", at + 1)) {
            if (at + 2 >= line.size()) break;
            const char order = line[at + 2];
            const char sampling = at + 3 < line.size() ? line[at + 3] : '?';
            if (sampling == 'p' || order == '1' || order == '2' || order == '3') return 'p';
            if (order == 't' || order == 'T') return 't';
            if (order == 'b' || order == 'B') return 'b';
        }
        return 0;
    }

    // A ratio tag's value, N:D with digits on both sides.
    std::string ratio(const std::string &text) const {
        const size_t colon = text.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
            text.find_first_not_of("0123456789:") != std::string::npos ||
            text.find(':', colon + 1) != std::string::npos || text.size() > 21) {
            throw failure{in_.name() + ": bad ratio '" + text + "' in the header"};
        }
        return text;
    }

    int64_t number(const std::string &text) const {
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            throw failure{in_.name() + ": bad number '" + text + "' in the header"};
        }
        return std::stoll(text);
    }

    chroma layout_of(const std::string &tag) const {
        for (const chroma_tag &t : kChromaTags) {
            if (tag == t.tag) return t.layout;
        }
        throw failure{in_.name() + ": chroma 'C" + tag +
                      "' is not read (8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1 or mono); convert it "
                      "with: ffmpeg -i IN -pix_fmt yuv420p -f yuv4mpegpipe -"};
    }

    input in_;
    uint32_t frames_ = 0;
};

class raw_clip final : public clip {
   public:
    void cancel() override { in_.cancel(); }
    raw_clip(const std::string &path, int32_t w, int32_t h, std::optional<chroma> named)
        : in_(path) {
        // Raw planes have no header; a Y4M header read as pixels would give a garbled clip.
        uint8_t head[9] = {};
        const size_t got = in_.read(head, sizeof head);
        const std::string start(reinterpret_cast<const char *>(head), got);
        if (start == "YUV4MPEG2") {
            throw usage_error{in_.name() +
                              " is a Y4M file, whose header gives its frame size: drop --size"};
        }
        in_.put_back(start);
        // Frames of one size in different layouts can have the same bytes (4:2:0 and 4:1:1
        // do), so no layout is safe to assume: a wrong one gives false colours unnoticed.
        if (!named.has_value()) {
            throw usage_error{
                "--size needs --pix-fmt: raw planes do not say their layout, and a "
                "4:2:0 and a 4:1:1 frame of one size have the same bytes; name it: "
                "yuv420p, yuv422p, yuv444p, yuv411p or gray"};
        }
        const chroma layout = *named;
        if (layout == chroma::c411) {
            check_411_size(w, h, in_.name());
        } else if (w < 1 || h < 1 || int64_t(w) * h > cli::kMaxPixels) {
            throw usage_error{in_.name() + ": bad frame size"};
        }
        info_.width = w;
        info_.height = h;
        info_.layout = layout;
        const uint64_t c = uint64_t(chroma_width(layout, w)) * uint64_t(chroma_height(layout, h));
        const uint64_t frame = uint64_t(w) * uint64_t(h) + 2 * c;
        const int64_t size = in_.size();
        // A size that is no whole number of frames means the layout or the size is not the
        // file's: its frames would come out as garbage.
        if (size >= 0 && uint64_t(size) % frame != 0) {
            throw usage_error{in_.name() + ": " + std::to_string(size) +
                              " bytes is not a whole number of " + std::to_string(w) + "x" +
                              std::to_string(h) + " " + layout_name(layout) + " frames (" +
                              std::to_string(frame) + " bytes each); --size and --pix-fmt " +
                              "give the frames' size and layout"};
        }
        if (size > 0)
            info_.frames = uint32_t(std::min<uint64_t>(UINT32_MAX, uint64_t(size) / frame));
    }

    bool next(yuv_frame &frame) override {
        if (!truncated_.empty()) return false;
        size_frame(frame, info_.width, info_.height, info_.layout);
        return read_planes(frame.y.data(), frame.u.data(), frame.v.data());
    }

    bool next_into(yuv_frame &frame, uint8_t *y, uint8_t *u, uint8_t *v) override {
        if (!truncated_.empty()) return false;
        frame.width = info_.width;
        frame.height = info_.height;
        frame.layout = info_.layout;
        return read_planes(y, u, v);
    }

   private:
    bool read_planes(uint8_t *y, uint8_t *u, uint8_t *v) {
        const plane_sizes sizes(info_);
        uint64_t got = 0;
        if (sizes.read(in_, y, u, v, got)) {
            ++frames_;
            return true;
        }
        if (got == 0 || in_.cancelled()) return false;
        truncated_ = "frame " + std::to_string(frames_ + 1) + " is truncated (" +
                     std::to_string(got) + " of " + std::to_string(sizes.y + 2 * sizes.c) +
                     " bytes)";
        return false;
    }

    input in_;
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
        check_411_size(w, h, "the built-in clip");
        info_.width = w;
        info_.height = h;
        info_.layout = chroma::c411;
        info_.frames = frames;
        info_.aspect = "1:1";  // square pixels, as a capture card's 640x480 has
        size_frame(first_, w, h, chroma::c411);
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
        // Frame n shows the bars moved left by 4n pixels, one chroma group a frame: each bar row
        // is its first frame's row in two pieces, the rows below the bars the same as ever.
        const size_t groups = size_t(info_.width / 4);
        const size_t shift = made_ % groups;
        const auto turn = [this, shift](const std::vector<uint8_t> &from, std::vector<uint8_t> &to,
                                        size_t row_bytes, size_t step) {
            to.resize(from.size());
            const size_t bar_bytes = size_t(bar_rows_) * row_bytes;
            const size_t cut = shift * step;
            for (size_t row = 0; row < bar_bytes; row += row_bytes) {
                std::memcpy(&to[row], &from[row + cut], row_bytes - cut);
                std::memcpy(&to[row + row_bytes - cut], &from[row], cut);
            }
            std::memcpy(to.data() + bar_bytes, from.data() + bar_bytes, from.size() - bar_bytes);
        };
        frame.width = first_.width;
        frame.height = first_.height;
        frame.layout = first_.layout;
        turn(first_.y, frame.y, size_t(info_.width), 4);
        turn(first_.u, frame.u, groups, 1);
        turn(first_.v, frame.v, groups, 1);
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

bool clip::next_into(yuv_frame &frame, uint8_t *y, uint8_t *u, uint8_t *v) {
    if (!next(frame)) return false;
    std::memcpy(y, frame.y.data(), frame.y.size());
    if (!frame.u.empty()) {
        std::memcpy(u, frame.u.data(), frame.u.size());
        std::memcpy(v, frame.v.data(), frame.v.size());
    }
    return true;
}

std::unique_ptr<clip> open_y4m(const std::string &path) {
    return std::make_unique<y4m_clip>(path);
}

std::unique_ptr<clip> open_raw(const std::string &path, int32_t width, int32_t height,
                               std::optional<chroma> layout) {
    return std::make_unique<raw_clip>(path, width, height, layout);
}

namespace {

struct layout_row {
    const char *name;
    chroma layout;
};
constexpr layout_row kLayoutNames[] = {{"yuv420p", chroma::c420},
                                       {"yuv422p", chroma::c422},
                                       {"yuv444p", chroma::c444},
                                       {"yuv411p", chroma::c411},
                                       {"gray", chroma::mono}};

}  // namespace

chroma layout_by_name(const std::string &name) {
    for (const layout_row &row : kLayoutNames) {
        if (cli::lower(name) == row.name) return row.layout;
    }
    throw usage_error{"bad pixel format '" + name +
                      "' (yuv420p, yuv422p, yuv444p, yuv411p or gray)"};
}

const char *layout_name(chroma c) {
    for (const layout_row &row : kLayoutNames) {
        if (row.layout == c) return row.name;
    }
    return "?";
}

namespace {

// Whether a regular file does not start with a Y4M signature, and so may be a video file.
// Pipes and FIFOs are Y4M streams: what is read from them to look cannot be put back.
bool may_be_video_file(const std::string &path) {
    struct stat st {};
    if (path == "-" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char head[9] = {};
    const ssize_t got = ::read(fd, head, sizeof head);
    close(fd);
    return got != ssize_t(sizeof head) || std::memcmp(head, "YUV4MPEG2", sizeof head) != 0;
}

}  // namespace

std::unique_ptr<clip> synthetic_clip(int32_t width, int32_t height, uint32_t frames) {
    return std::make_unique<synthetic>(width, height, frames);
}

std::unique_ptr<clip> open_clip(const std::string &path, int32_t raw_width, int32_t raw_height,
                                uint32_t synthetic_frames, std::optional<chroma> raw_layout) {
    if (path.empty()) {
        return synthetic_clip(raw_width > 0 ? raw_width : 640, raw_height > 0 ? raw_height : 480,
                              synthetic_frames);
    }
    if (raw_width > 0) return open_raw(path, raw_width, raw_height, raw_layout);
    if (may_be_video_file(path)) {
        std::unique_ptr<clip> media = open_media(path);
        if (media != nullptr) return media;
    }
    return open_y4m(path);
}

void write_y4m(FILE *f, const std::vector<yuv_frame> &frames, const std::string &extra) {
    if (frames.empty()) return;
    const char *tag = "411";
    for (const chroma_tag &t : kChromaTags) {
        if (t.layout == frames[0].layout) {
            tag = t.tag;
            break;
        }
    }
    const bool interlace_given = extra.find(" I") != std::string::npos;
    std::fprintf(f, "YUV4MPEG2 W%d H%d F25:1%s A1:1 C%s%s\n", frames[0].width, frames[0].height,
                 interlace_given ? "" : " Ip", tag, extra.c_str());
    for (const yuv_frame &frame : frames) {
        std::fputs("FRAME\n", f);
        for (const std::vector<uint8_t> *plane : {&frame.y, &frame.u, &frame.v}) {
            if (!plane->empty()) std::fwrite(plane->data(), 1, plane->size(), f);
        }
    }
}

int32_t chroma_across(chroma c) {
    switch (c) {
        case chroma::c420:
        case chroma::c422:
            return 2;
        case chroma::c444:
            return 1;
        case chroma::c411:
            return 4;
        case chroma::mono:
            break;
    }
    return 0;
}

int32_t chroma_down(chroma c) {
    return c == chroma::c420 ? 2 : c == chroma::mono ? 0 : 1;
}

int32_t chroma_width(chroma c, int32_t width) {
    const int32_t n = chroma_across(c);
    return n == 0 ? 0 : (width + n - 1) / n;
}

int32_t chroma_height(chroma c, int32_t height) {
    const int32_t n = chroma_down(c);
    return n == 0 ? 0 : (height + n - 1) / n;
}

const char *chroma_name(chroma c) {
    switch (c) {
        case chroma::c420:
            return "4:2:0";
        case chroma::c422:
            return "4:2:2";
        case chroma::c444:
            return "4:4:4";
        case chroma::c411:
            return "4:1:1";
        case chroma::mono:
            break;
    }
    return "mono";
}

}  // namespace tamsa::tools
