// Clips in video files (MP4, MKV, AVI, MOV, NUT and whatever else libavformat reads), decoded by
// libavcodec. Frames in a layout the server converts (8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1, grey)
// come out as they leave the decoder; others are refused with the command that converts them.
#ifndef TAMSA_TOOLS_READERS_MEDIA_H
#define TAMSA_TOOLS_READERS_MEDIA_H

#include <memory>
#include <string>

#include "tools/readers/clip.h"

namespace tamsa::tools {

// The video file's first video stream, or null when libavformat does not take the file for a
// video file (raw planes, a damaged Y4M file: the Y4M reader's messages say more). Throws
// cli::failure for a video file it cannot read: frames of another layout, a range that is not
// given for grey frames, no decoder.
std::unique_ptr<clip> open_media(const std::string &path);

}  // namespace tamsa::tools

#endif
