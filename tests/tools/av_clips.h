// Clips for the video tests, made and read back in process by libavcodec and libavformat: a
// moving pattern encoded in a given layout, codec and container with the stream's tags, and
// what a file holds when decoded.
#ifndef TAMSA_TESTS_TOOLS_AV_CLIPS_H
#define TAMSA_TESTS_TOOLS_AV_CLIPS_H

#include <string>
#include <vector>

#include "tools/readers/clip.h"

namespace tamsa_test {

struct clip_spec {
    std::string codec = "ffv1";      // an encoder by libavcodec's name
    std::string layout = "yuv420p";  // a pixel format by libavutil's name
    int frames = 3;
    int width = 64, height = 48;
    int rate_num = 25, rate_den = 1;
    int sar_num = 0, sar_den = 1;  // 0: not said
    char fields = 0;               // t or b: interlaced, that field first; p: progressive
    std::string range;             // "pc", "tv", or "" not said
    int qscale = 0;                // a fixed quantiser, for encoders that take one
};

// Whether this libavcodec has the encoder.
bool have_encoder(const std::string &name);

// Encodes the clip into path, the container chosen by the extension. Fails the test (with the
// reason) when it cannot.
void make_clip(const std::string &path, const clip_spec &clip);

// What a file's first video stream says and holds, decoded: the tags by the names libavutil
// gives them ("tt", "pc", "16:15", "30000/1001"), and each frame's planes one after another
// without row padding.
struct decoded_file {
    std::string codec, layout, range, field_order, aspect, rate;
    int frames = 0;
    bool interlaced = false, top_first = false;  // the first frame's flags
    std::string bytes;
    std::vector<tamsa::tools::yuv_frame> yuv;  // the frames, when their layout is one of ours
};
decoded_file decode_file(const std::string &path);

// Writes the frames as Y4M with the tags that go with them (fields, full range), as a program
// handing the decoded clip on would.
void write_y4m_of(const std::string &path, const decoded_file &file);

}  // namespace tamsa_test

#endif
