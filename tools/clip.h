// Sources of captured frames for the recorder pipeline: YUV 4:1:1 planar clips (one chroma
// sample per 4 pixels of a row), from a Y4M file, from raw planes, or made up on the spot.
#ifndef TAMSA_TOOLS_CLIP_H
#define TAMSA_TOOLS_CLIP_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tamsa::tools {

struct yuv_frame {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> y, u, v;  // y: width * height; u, v: width / 4 * height
};

class clip {
   public:
    virtual ~clip() = default;
    // Fills the next frame; false at the end of the clip. Throws cli::usage_error when the
    // clip is damaged.
    virtual bool next(yuv_frame &frame) = 0;
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

   protected:
    int32_t width_ = 0;
    int32_t height_ = 0;
};

// A Y4M clip whose chroma is 4:1:1 ("C411"); throws cli::usage_error for anything else.
std::unique_ptr<clip> open_y4m(const std::string &path);
// Raw planes, frame after frame: Y, then U, then V.
std::unique_ptr<clip> open_raw(const std::string &path, int32_t width, int32_t height);
// The built-in test clip: colour bars moving across a gradient, frames frames long.
std::unique_ptr<clip> synthetic_clip(int32_t width, int32_t height, uint32_t frames);
// Opens a clip by its name: "" for the built-in one, raw planes when a size is given, Y4M else.
std::unique_ptr<clip> open_clip(const std::string &path, int32_t raw_width, int32_t raw_height,
                                uint32_t synthetic_frames);

// Writes frames as a Y4M 4:1:1 clip (for tests and for handing clips to other programs).
void write_y4m(FILE *f, const std::vector<yuv_frame> &frames);

}  // namespace tamsa::tools

#endif
