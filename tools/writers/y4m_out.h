// Frames back to YUV for Y4M streams: the inverse of the BT.601 rule the conversion used, studio
// or full range, with chroma averaged over each group of the layout asked for.
#ifndef TAMSA_TOOLS_WRITERS_Y4M_OUT_H
#define TAMSA_TOOLS_WRITERS_Y4M_OUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pictures/picture.h"
#include "tools/readers/clip.h"

namespace tamsa::tools {

// What a Y4M stream's header says besides the frame size.
struct y4m_spec {
    std::string rate = "25:1";
    std::string aspect = "0:0";
    char interlace = 'p';
    chroma layout = chroma::c444;
    bool full_range = false;  // levels 0..255, tagged XCOLORRANGE=FULL; else studio range
};

// The stream header, with its line feed.
std::string y4m_header(int32_t width, int32_t height, const y4m_spec &spec);

// The planes of one frame (Y, then U, then V), without its FRAME line. Chroma is the mean of
// the samples each group covers, rounded; groups cut by the right or bottom edge average the
// pixels they hold.
std::vector<uint8_t> y4m_planes(const picture &p, chroma layout, bool full_range = false);

// The pixel aspect that keeps the picture's shape when frames of from_w x from_h are resized
// to to_w x to_h; 0:0 (unknown) stays.
std::string resized_aspect(const std::string &aspect, int32_t from_w, int32_t from_h, int32_t to_w,
                           int32_t to_h);

}  // namespace tamsa::tools

#endif
