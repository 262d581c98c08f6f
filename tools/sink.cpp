#include "tools/sink.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "tools/cli.h"

namespace tamsa::tools {

namespace {

using cli::failure;

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

}  // namespace

frame_sink::frame_sink(const std::string &dir, bool overwrite, const std::string &format,
                       uint32_t sheet_every)
    : dir_(dir), format_(format), every_(sheet_every) {
    if (stream()) {
        if (isatty(STDOUT_FILENO) != 0) {
            throw cli::usage_error{
                "standard output is a terminal: pipe the frames into a program (tamsa "
                "record --out - | ffmpeg -f image2pipe -c:v ppm -i - OUT)"};
        }
        // A reader that goes away makes the writes fail, and the run with them.
        std::signal(SIGPIPE, SIG_IGN);
    } else if (!dir_.empty()) {
        clear_old_frames(dir_, overwrite);
        std::error_code e;
        std::filesystem::create_directories(dir_, e);
        if (e) throw failure{dir_ + ": " + e.message()};
    }
}

void frame_sink::write(const picture &p, uint32_t index) {
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

std::string frame_sink::finish() {
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

}  // namespace tamsa::tools
