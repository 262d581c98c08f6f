// Clips in video files (MP4, MKV, AVI, MOV, NUT and whatever else libavformat reads), read
// through the video module (tools/video/), which the first video file loads.
#ifndef TAMSA_TOOLS_READERS_MEDIA_H
#define TAMSA_TOOLS_READERS_MEDIA_H

#include <memory>
#include <string>

#include "tools/readers/clip.h"

namespace tamsa::tools {

// The video file's first video stream, or null when libavformat does not take the file for a
// video file (raw planes, a damaged Y4M file: the Y4M reader's messages say more). Throws
// cli::failure for a video file it cannot read (frames of another layout, no decoder) and when
// the video module cannot be loaded.
std::unique_ptr<clip> open_media(const std::string &path);

}  // namespace tamsa::tools

#endif
