// The video files written, by extension: the command reads the names to know when to open the
// video module, the module the muxer and the default encoder.
#ifndef TAMSA_TOOLS_VIDEO_CONTAINERS_H
#define TAMSA_TOOLS_VIDEO_CONTAINERS_H

#include <string>

namespace tamsa::tools {

struct container_row {
    const char *ext;
    const char *muxer;
    const char *codec;  // the default encoder
};
inline constexpr container_row kContainers[] = {{"mkv", "matroska", "ffv1"},
                                                {"nut", "nut", "ffv1"},
                                                {"mp4", "mp4", "libx264"},
                                                {"mov", "mov", "libx264"},
                                                {"avi", "avi", "mjpeg"}};

// The row of a file name's extension, in any case, or null.
inline const container_row *container_of(const std::string &name) {
    const size_t slash = name.rfind('/');
    std::string file = name.substr(slash == std::string::npos ? 0 : slash + 1);
    for (char &c : file) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0) return nullptr;
    for (const container_row &row : kContainers) {
        if (file.compare(dot + 1, std::string::npos, row.ext) == 0) return &row;
    }
    return nullptr;
}

}  // namespace tamsa::tools

#endif
