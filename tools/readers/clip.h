// Sources of captured frames for the recorder pipeline: planar YUV clips from a Y4M file or
// stream (4:2:0, 4:2:2, 4:4:4, 4:1:1 or mono), from raw 4:1:1 planes, or made up on the spot.
#ifndef TAMSA_TOOLS_READERS_CLIP_H
#define TAMSA_TOOLS_READERS_CLIP_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tamsa::tools {

// How the chroma planes sample the picture.
enum class chroma { c420, c422, c444, c411, mono };

// Pixels per chroma sample across and down; 0 for mono, which has no chroma planes.
int32_t chroma_across(chroma c);
int32_t chroma_down(chroma c);
// The size of a chroma plane of a frame of that size: partial groups at the right and bottom
// edges get a sample of their own.
int32_t chroma_width(chroma c, int32_t width);
int32_t chroma_height(chroma c, int32_t height);
// "4:2:0" and so on.
const char *chroma_name(chroma c);

struct yuv_frame {
    int32_t width = 0;
    int32_t height = 0;
    chroma layout = chroma::c411;
    // The frame's own interlacing, from its header: t or b (the field first in time), p
    // (progressive), or 0 when the frame does not say.
    char field = 0;
    // y: width * height; u, v: chroma_width * chroma_height each, rows top first.
    std::vector<uint8_t> y, u, v;
};

// A frame a decoder keeps where it put it until released: its planes with their row lengths,
// and the bus address of its luma plane when a block lent to the clip holds it (rows exactly
// width bytes apart), else 0.
struct held_frame {
    const uint8_t *y = nullptr, *u = nullptr, *v = nullptr;
    size_t y_stride = 0, u_stride = 0, v_stride = 0;
    uint32_t y_address = 0;
    void *hold = nullptr;
    void (*release)(void *hold) = nullptr;  // outlives the clip
    void let_go() {
        if (release != nullptr && hold != nullptr) release(hold);
        *this = held_frame{};
    }
};

// What a clip's header says about its frames.
struct clip_info {
    int32_t width = 0;
    int32_t height = 0;
    chroma layout = chroma::c411;
    // p progressive, t top field first, b bottom field first, m mixed (each frame says), ?
    // unknown
    char interlace = 'p';
    bool full_range = false;     // XCOLORRANGE=FULL
    bool range_said = true;      // false: the clip does not say, and no rule does (--range must)
    std::string rate = "25:1";   // frames a second, as the header's F tag gives it
    std::string aspect = "0:0";  // the pixels' aspect, as the A tag gives it (0:0 unknown)
    uint32_t frames = 0;         // how many frames it holds, when that can be known; else 0
};

class clip {
   public:
    virtual ~clip() = default;
    // Fills the next frame; false at the end of the clip, or when the clip ends inside a frame
    // (then truncated() says so). Throws cli::failure when the clip is damaged otherwise.
    virtual bool next(yuv_frame &frame) = 0;
    // The same, with the planes read straight into y, u and v (of the sizes yuv_frame gives
    // them); frame gets the rest and keeps its planes as they were.
    virtual bool next_into(yuv_frame &frame, uint8_t *y, uint8_t *u, uint8_t *v);
    // Gives up a read that waits for more of the clip, and every later one, from another
    // thread: the clip then ends as if its input had.
    virtual void cancel() {}
    // Bytes of each bus block the clip's decoder could write a frame's luma plane into (0 when
    // it cannot), for lend_blocks().
    virtual size_t block_bytes() const { return 0; }
    // Lends the decoder bus blocks of block_bytes() each, 64-byte aligned, by pointer and
    // address: they must outlive the clip and its frames.
    virtual void lend_blocks(const std::vector<uint8_t *> &, const std::vector<uint32_t> &) {}
    // Whether frames come through next_held(), as they leave the decoder, without a copy.
    virtual bool holds_frames() const { return false; }
    // The next frame where the decoder put it; false at the end, as next(). The frame stays
    // valid until its let_go().
    virtual bool next_held(yuv_frame &, held_frame &) { return false; }
    const clip_info &info() const { return info_; }
    int32_t width() const { return info_.width; }
    int32_t height() const { return info_.height; }
    // Why the clip ended early ("frame 5 is truncated: ..."), or "".
    const std::string &truncated() const { return truncated_; }

   protected:
    clip_info info_;
    std::string truncated_;
};

// A Y4M clip; "-" reads standard input. Throws cli::failure for what it cannot read.
std::unique_ptr<clip> open_y4m(const std::string &path);
// Raw planes, frame after frame: Y, then U, then V (none for mono); "-" reads standard input. A
// file that starts like a Y4M file, one whose layout is not given (nullopt), or a file that is
// not a whole number of frames, is refused (cli::usage_error).
std::unique_ptr<clip> open_raw(const std::string &path, int32_t width, int32_t height,
                               std::optional<chroma> layout = chroma::c411);
// A layout by the name ffmpeg gives it (yuv420p, yuv422p, yuv444p, yuv411p, gray); throws
// cli::usage_error naming those known.
chroma layout_by_name(const std::string &name);
const char *layout_name(chroma c);
// The built-in test clip: colour bars moving across a gradient, frames frames long.
std::unique_ptr<clip> synthetic_clip(int32_t width, int32_t height, uint32_t frames);
// Opens a clip by its name: "" for the built-in one, raw planes when a size is given, Y4M for
// standard input and files that start as Y4M files do, else a video file when libavformat
// takes it for one (open_media), else Y4M, whose reader says what the file is not.
std::unique_ptr<clip> open_clip(const std::string &path, int32_t raw_width, int32_t raw_height,
                                uint32_t synthetic_frames,
                                std::optional<chroma> raw_layout = chroma::c411);

// Writes frames as a Y4M clip of their layout (for tests and for handing clips to other
// programs); extra goes into the header after the chroma tag (" It", " XCOLORRANGE=FULL").
void write_y4m(FILE *f, const std::vector<yuv_frame> &frames, const std::string &extra = "");

}  // namespace tamsa::tools

#endif
