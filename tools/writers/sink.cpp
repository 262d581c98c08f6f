#include "tools/writers/sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "tamsa/internal/tools.h"
#include "tools/commands/cli.h"

namespace tamsa::tools {

namespace {

using cli::failure;

// Frame files of an earlier run: frame-NNNNN.ppm, .pgm, .pnm or .png. The contact sheet is
// not one: alone it is replaced, and it goes with the frames they replace.
bool is_frame_file(const std::string &name) {
    if (name.rfind("frame-", 0) != 0) return false;
    const size_t dot = name.find('.');
    if (dot == std::string::npos || dot < 6 + 5) return false;
    for (size_t k = 6; k < dot; ++k) {
        if (name[k] < '0' || name[k] > '9') return false;
    }
    const std::string ext = name.substr(dot);
    return ext == ".ppm" || ext == ".png" || ext == ".pgm" || ext == ".pnm";
}

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
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
    const std::filesystem::path sheet = std::filesystem::path(dir) / "contact.png";
    if (overwrite && std::filesystem::exists(sheet, e)) old.push_back(sheet);
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

// Writes every byte of the pieces, going on after short and interrupted writes.
bool write_all(int fd, iovec *piece, int count) {
    while (count > 0) {
        const ssize_t n = writev(fd, piece, std::min(count, IOV_MAX));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        size_t done = size_t(n);
        while (count > 0 && done >= piece->iov_len) {
            done -= piece->iov_len;
            ++piece;
            --count;
        }
        if (count > 0) {
            piece->iov_base = static_cast<uint8_t *>(piece->iov_base) + done;
            piece->iov_len -= done;
        }
    }
    return true;
}

// The pipe a stream goes into, when the system allows it: a wide one takes a large frame in
// fewer turns of the reader.
constexpr int kPipeBytes = 1 << 20;

}  // namespace

bool write_in_place(int fd, uint8_t *bgr, int32_t width, int32_t height, bool ppm_header) {
    const size_t bytes = size_t(width) * size_t(height) * 3;
    gfx::swap13(bgr, bgr, uint64_t(width) * uint64_t(height));
    char header[48];
    const int length =
        ppm_header ? std::snprintf(header, sizeof header, "P6\n%d %d\n255\n", width, height) : 0;
    iovec pieces[2] = {{header, size_t(length)}, {bgr, bytes}};
    return write_all(fd, pieces, 2);
}

file_pool::file_pool(unsigned workers) : most_in_hand_(std::max(1u, workers)) {
    for (unsigned k = 0; k < workers; ++k) workers_.emplace_back([this] { work(); });
}

file_pool::~file_pool() {
    {
        const std::lock_guard<std::mutex> lock(m_);
        closing_ = true;
        queued_.notify_all();
    }
    for (std::thread &t : workers_) t.join();
    // Frames not put in place, after a failure: their files go.
    for (const auto &j : in_hand_) {
        if (!j->temporary.empty()) std::remove(j->temporary.c_str());
    }
}

void file_pool::add(const std::string &path, picture &p) {
    while (in_hand_.size() >= most_in_hand_) settle_oldest();
    auto j = std::make_shared<job>();
    j->path = path;
    j->p = std::move(p);
    const std::lock_guard<std::mutex> lock(m_);
    p = picture{};
    if (!spare_.empty()) {
        p = std::move(spare_.back());
        spare_.pop_back();
    }
    in_hand_.push_back(j);
    waiting_.push_back(j);
    queued_.notify_one();
}

void file_pool::finish() {
    while (!in_hand_.empty()) settle_oldest();
}

void file_pool::settle_oldest() {
    std::shared_ptr<job> j = in_hand_.front();
    {
        std::unique_lock<std::mutex> lock(m_);
        done_.wait(lock, [&j] { return j->done; });
    }
    if (j->error) std::rethrow_exception(j->error);
    put_in_place(j->temporary, j->path);
    in_hand_.pop_front();
}

void file_pool::work() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        queued_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        std::shared_ptr<job> j = waiting_.front();
        waiting_.pop_front();
        lock.unlock();
        std::string temporary;
        std::exception_ptr error;
        try {
            temporary = write_beside(j->path, j->p);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        j->temporary = temporary;
        j->error = error;
        j->done = true;
        spare_.push_back(std::move(j->p));
        done_.notify_all();
    }
}

frame_sink::frame_sink(const std::string &dir, bool overwrite, const std::string &format,
                       uint32_t sheet_every, const y4m_spec &spec, unsigned writers,
                       const video_choice &video)
    : dir_(dir), format_(format), every_(sheet_every), spec_(spec) {
    if (dir_ != "-" && is_video_file(dir_)) {
        video_ = std::make_unique<video_file>(dir_, overwrite, spec, video);
    } else if (y4m_file()) {
        std::error_code e;
        if (std::filesystem::is_directory(dir_, e)) throw failure{dir_ + " is a directory"};
        if (std::filesystem::exists(dir_, e) && !overwrite)
            throw failure{dir_ + " already exists; --overwrite (-y) replaces it"};
        // Written beside the target and renamed once whole, as pictures are.
        temporary_ = dir_ + ".part" + std::to_string(getpid());
        out_ = std::fopen(temporary_.c_str(), "wb");
        if (out_ == nullptr) throw failure{dir_ + ": cannot write (" + std::strerror(errno) + ")"};
    } else if (stream()) {
        out_ = stdout;
        if (isatty(STDOUT_FILENO) != 0) {
            throw cli::usage_error{
                "standard output is a terminal: pipe the frames into a program (tamsa "
                "record --out - | ffmpeg -f image2pipe -c:v ppm -i - OUT)"};
        }
        // A reader that goes away makes the writes fail, and the run with them.
        std::signal(SIGPIPE, SIG_IGN);
        struct stat st {};
        if (fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode))
            (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeBytes);
    } else if (!dir_.empty()) {
        clear_old_frames(dir_, overwrite);
        std::error_code e;
        std::filesystem::create_directories(dir_, e);
        if (e) throw failure{dir_ + ": " + e.message()};
        if (writers > 0) pool_ = std::make_unique<file_pool>(writers);
    }
}

frame_sink::~frame_sink() {
    if (!temporary_.empty()) {
        std::fclose(out_);
        std::remove(temporary_.c_str());
    }
}

bool frame_sink::y4m_file() const {
    return dir_ != "-" && ends_with(cli::lower(dir_), ".y4m");
}

void frame_sink::write(picture &p, uint32_t index) {
    if (video_ != nullptr) {
        video_->write(p);
        return;
    }
    // Grey frames for PGM and PNM; PGM takes no other.
    const bool grey_format = format_ == "pgm" || format_ == "pnm";
    picture grey;
    picture &frame = grey_format && grey_of(p.view(), grey) ? grey : p;
    if (format_ == "pgm" && frame.channels != 1) {
        throw failure{"frame " + std::to_string(index + 1) +
                      " is in colour, and --format pgm writes grey frames only (pnm writes "
                      "each as it is)"};
    }
    if (stream()) {
        const std::string name = y4m_file() ? dir_ : "standard output";
        bool ok;
        if (format_ == "rgb") {
            ok = std::fwrite(p.pixels.data(), 1, p.pixels.size(), out_) == p.pixels.size();
        } else if (format_ == "y4m") {
            if (!header_done_) {
                const std::string header = y4m_header(p.width, p.height, spec_);
                header_done_ = std::fwrite(header.data(), 1, header.size(), out_) == header.size();
            }
            const std::vector<uint8_t> planes = y4m_planes(p, spec_.layout, spec_.full_range);
            ok = header_done_ && std::fputs("FRAME\n", out_) >= 0 &&
                 std::fwrite(planes.data(), 1, planes.size(), out_) == planes.size();
        } else {
            const picture_format f = format_ == "png"   ? picture_format::png
                                     : format_ == "ppm" ? picture_format::ppm
                                                        : picture_format::pnm;
            ok = write_picture(out_, frame, f);
        }
        if (!ok) throw cli::write_failure(name);
        return;
    }
    char name[32];
    std::snprintf(name, sizeof name, "frame-%05u.%s", index + 1, format_.c_str());
    const std::string path = (std::filesystem::path(dir_) / name).string();
    if (index % every_ == 0) sheet_.add(p);
    if (pool_ == nullptr) {
        save_picture(path, frame);
    } else {
        pool_->add(path, frame);
    }
}

void frame_sink::write_bus(uint8_t *bgr, int32_t width, int32_t height) {
    if (video_ != nullptr) {
        video_->write_bgr(bgr, width, height);
        return;
    }
    // Frames go around stdio from here on: nothing of ours may wait in its buffer.
    if (std::fflush(stdout) != 0 ||
        !write_in_place(STDOUT_FILENO, bgr, width, height, format_ == "ppm"))
        throw cli::write_failure("standard output");
}

std::string frame_sink::finish() {
    if (video_ != nullptr) {
        video_->finish();
        return "";
    }
    if (y4m_file()) {
        FILE *f = out_;
        out_ = nullptr;
        const bool ok = std::fflush(f) == 0;
        if (std::fclose(f) != 0 || !ok || std::rename(temporary_.c_str(), dir_.c_str()) != 0) {
            const int e = errno;
            std::remove(temporary_.c_str());
            temporary_.clear();
            throw failure{dir_ + ": cannot write (" + std::strerror(e) + ")"};
        }
        temporary_.clear();
        return "";
    }
    if (stream()) {
        if (std::fflush(stdout) != 0) throw cli::write_failure("standard output");
        return "";
    }
    settle();
    if (sheet_.empty()) return "";
    const std::string sheet = (std::filesystem::path(dir_) / "contact.png").string();
    save_picture(sheet, sheet_.compose());
    return sheet;
}

}  // namespace tamsa::tools
