// Frames into a video file through the video module (tools/video/): MKV and NUT take FFV1
// holding the RGB exactly; MP4 and MOV H.264 in 4:2:0; AVI MJPEG. YUV is made here by the Y4M
// writer's exact BT.601 rule. The file is written under a temporary name and takes its own once
// whole.
#ifndef TAMSA_TOOLS_WRITERS_VIDEO_OUT_H
#define TAMSA_TOOLS_WRITERS_VIDEO_OUT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/pictures/picture.h"
#include "tools/video/module.h"
#include "tools/writers/y4m_out.h"

namespace tamsa::tools {

// What the command line asks of the encoder.
struct video_choice {
    std::string codec;       // an encoder by libavcodec's name; "" the container's default
    std::optional<int> crf;  // constant quality, for encoders that take it
    int64_t bit_rate = 0;    // bits a second; 0: the encoder's default
    bool operator==(const video_choice &) const = default;
};

// Whether the name ends in .mkv, .mp4, .mov, .avi or .nut, in any case.
bool is_video_file(const std::string &name);

// Bits a second from "2500000", "800k" or "2.5M"; throws cli::usage_error.
int64_t parse_bit_rate(const std::string &text);

class video_file {
   public:
    // Checks the choice against the container and the encoder (cli::usage_error) and whether
    // the file may be written (cli::failure, also when the video module cannot be loaded); the
    // encoder starts with the first frame.
    video_file(const std::string &path, bool overwrite, const y4m_spec &spec,
               const video_choice &choice);
    ~video_file();
    video_file(const video_file &) = delete;
    video_file &operator=(const video_file &) = delete;

    // One frame, blue first as the bus holds it, or red first. Throws cli::failure.
    void write_bgr(const uint8_t *bgr, int32_t width, int32_t height);
    void write(const picture &p);
    // Drains the encoder, writes the trailer and gives the file its name.
    void finish();
    // "H.264 by libx264": what the frames were encoded as, and by which encoder.
    std::string encoded_as() const;

   private:
    // Fills the module's frame from blue-first pixels and sends it.
    void send_rgb(const uint8_t *bgr, int32_t width, int32_t height);

    const tamsa_video_api *api_ = nullptr;
    tv_writer *w_ = nullptr;
    tv_feed feed_{};
    picture rgb_;  // a blue-first frame put red first, for YUV
};

}  // namespace tamsa::tools

#endif
