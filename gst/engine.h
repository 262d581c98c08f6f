// The element's frames through the server, as `tamsa record` sends a clip's: the command's
// converter lays out each frame's planes and sends its conversion (and deinterlacing and
// resizing), then correction and the colour cube follow as the command sends them. Kept free of
// GStreamer, so that the element's glue holds only what caps and buffers need.
#ifndef TAMSA_GST_ENGINE_H
#define TAMSA_GST_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/commands/converter.h"
#include "tools/commands/session.h"
#include "tools/readers/clip.h"

namespace tamsa::gst {

// A stream's frames as its caps describe them.
struct stream_format {
    int32_t width = 0, height = 0;
    tools::chroma layout = tools::chroma::c420;
    // p progressive, t or b interlaced with that field first in time, m each frame says
    char interlace = 'p';
    bool full_range = false;
    int32_t out_width = 0, out_height = 0;
    bool deinterlace = false;
};

// What is done to each converted frame, read afresh for every frame.
struct effects {
    int32_t contrast = 100;  // percent around mid-grey
    int32_t brightness = 0;  // -255..255
    bool invert = false;
    bool remap = false;  // the 216 colours of the colour cube
    bool correct() const { return contrast != 100 || brightness != 0 || invert; }
};

class engine {
   public:
    // port: a `tamsa serve` port, or "" for a server of this engine's own in this process.
    // Throws cli::failure when the server cannot be started or reached.
    explicit engine(const std::string &port);

    // Readies the blocks of a stream of that format; throws cli::failure.
    void configure(const stream_format &format);
    const stream_format &format() const { return format_; }

    // One frame: its planes (u and v unused for mono), its own interlacing (t, b or p, as
    // yuv_frame's field) and the field deinterlacing keeps (t, b, or 0 for none), into out,
    // rows out_stride apart, blue first or red first. Throws cli::failure.
    void convert(tools::converter::plane y, tools::converter::plane u, tools::converter::plane v,
                 char frame_field, char field, const effects &fx, uint8_t *out, size_t out_stride,
                 bool red_first);

   private:
    std::string port_, own_port_;
    stream_format format_;
    std::unique_ptr<tools::session> session_;
    std::unique_ptr<tools::converter> converter_;
    uint32_t cube_ = 0, swap_ = 0;
};

}  // namespace tamsa::gst

#endif
