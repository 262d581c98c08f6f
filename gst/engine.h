// The element's frames through the server, as `tamsa record` sends a clip's: the command's
// converter lays out each frame's planes and sends its conversion (and deinterlacing and
// resizing), then correction and the colour cube follow as the command sends them. Kept free of
// GStreamer, so that the element's glue holds only what caps and buffers need.
//
// With a server of its own in this process, the common frames (studio range, whole chroma
// groups or grey, chroma shared by rows as they come, no deinterlacing, no one-pass 4:1:1
// resize) skip the server's thread: their messages are served on the caller's thread, where a
// wake-up of another thread per message would cost more than the conversion on a busy
// machine, and planes already in the bus are used where they lie.
#ifndef TAMSA_GST_ENGINE_H
#define TAMSA_GST_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

    // Whether the server is this engine's own, in this process: then blocks of this process's
    // bus are memory the server works in.
    bool in_process() const { return port_.empty(); }

    // A plane as the element maps it; bus is its bus address when the whole plane lies in a
    // live block of this process's bus and the server is in this process, else 0.
    struct plane {
        const uint8_t *data = nullptr;
        size_t stride = 0;
        uint32_t bus = 0;
    };

    // One frame: its planes (u and v unused for mono), its own interlacing (t, b or p, as
    // yuv_frame's field) and the field deinterlacing keeps (t, b, or 0 for none), into out,
    // rows out_stride apart (out_bus as plane's bus), blue first or red first. Throws
    // cli::failure.
    void convert(plane y, plane u, plane v, char frame_field, char field, const effects &fx,
                 uint8_t *out, size_t out_stride, uint32_t out_bus, bool red_first);

    // Frames converted; planes copied in because they did not lie in the bus as the conversion
    // reads them (4:2:0 chroma, whose rows are always laid out again, is not counted); frames
    // copied out because the output did not lie in the bus as the server writes it.
    struct counts {
        uint64_t frames = 0, copied_in = 0, copied_out = 0;
    };
    const counts &copies() const { return counts_; }

   private:
    bool direct(char frame_field) const;
    uint32_t convert_direct(plane y, plane u, plane v, size_t out_stride, uint32_t out_bus,
                            bool &in_place);
    uint32_t send(int32_t id, std::initializer_list<uint32_t> args);
    void make_converter();

    std::string port_, own_port_;
    stream_format format_;
    std::unique_ptr<tools::session> session_;
    std::unique_ptr<tools::converter> converter_;
    uint32_t cube_ = 0, swap_ = 0;
    // The caller's-thread path: whether the stream may take it, its blocks (made at its first
    // frame), and the result value the server's loop would carry from message to message.
    bool direct_ = false;
    uint32_t op_ = 0, y_ = 0, u_ = 0, v_ = 0, rgb_ = 0, record_ = 0, result_ = 0;
    counts counts_;
};

}  // namespace tamsa::gst

#endif
