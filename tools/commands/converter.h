// A clip's frames in the bus, converted by the server one after the other. The planes are laid
// out for one conversion message (id 2) with the group that fits the clip's chroma: 4:2:2 and
// 4:1:1 as they come (2 and 4 pixels a sample), 4:2:0 with each chroma row given to both of its
// rows, 4:4:4 and widths that split a chroma group with one sample a pixel, and mono with one
// neutral sample a row. A resize is then one more message (id 9) on the converted frame, so
// no chroma is dropped before the conversion; 4:1:1 clips are converted and resized in one
// message (id 10), which gives the same pixels, unless deinterlacing must see the frame at its
// own size first. The 4:2:0 chroma of an interlaced frame belongs to its fields by rows (the
// top field's rows 0, 2, 4... of the plane, the bottom's 1, 3, 5...), and each row of the frame
// takes its own field's. Full-range frames are converted here by the full-range rule, into
// the block the conversion message would write: that message is studio range.
#ifndef TAMSA_TOOLS_COMMANDS_CONVERTER_H
#define TAMSA_TOOLS_COMMANDS_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/commands/cli.h"
#include "tools/commands/session.h"
#include "tools/readers/clip.h"

namespace tamsa::tools {

class converter {
   public:
    // Takes the blocks of the clip's frames from the session; throws cli::failure.
    converter(session &s, const clip_info &info, cli::size2 scale, bool deinterlace,
              bool full_range = false);
    ~converter() { held_.let_go(); }
    converter(const converter &) = delete;
    converter &operator=(const converter &) = delete;
    int32_t out_width() const { return scale_.width != 0 ? scale_.width : width_; }
    int32_t out_height() const { return scale_.height != 0 ? scale_.height : height_; }

    // Sends the frame's messages (conversion, deinterlacing when asked, resizing) and returns
    // the record of the blue-first result. field: the field deinterlacing keeps, t or b; 0 keeps
    // both, when the converter was made to deinterlace.
    uint32_t convert(const yuv_frame &f, char field = 't');

    // The same for planes as a video framework hands them, rows stride bytes apart; frame_field
    // is the frame's own interlacing, as yuv_frame's field. u and v are unused for mono.
    struct plane {
        const uint8_t *data = nullptr;
        size_t stride = 0;
    };
    uint32_t convert(plane y, plane u, plane v, char frame_field, char field);

    // The two halves of convert(), which may run on different threads: load() reads the clip's
    // next frame into the bus (its planes straight into the blocks where their layout allows,
    // or a decoded frame's luma taken where the decoder put it; header gets the frame's header)
    // and calls no server; send() sends its messages.
    bool load(clip &c, yuv_frame &header);
    uint32_t send(char field);

   private:
    // The chroma row of a frame's row: by field for an interlaced frame.
    int32_t chroma_row(int32_t row, bool by_field) const;
    bool by_field(char frame_field) const;
    void lay_out(plane from, uint8_t *to, bool by_field) const;
    void lay_out_planes(plane u, plane v, bool by_field);
    void replace_last(uint32_t record);

    session &s_;
    held_frame held_;  // a decoder's frame, from load() until send() has converted it
    int32_t width_, height_;
    chroma layout_;
    cli::size2 scale_;
    bool deinterlace_;
    char interlace_;  // the clip's, as clip_info says
    bool full_range_;
    bool one_pass_ = false;
    uint32_t group_ = 1;
    uint32_t y_ = 0, u_ = 0, v_ = 0, rgb_ = 0, record_ = 0, lower_ = 0, last_ = 0;
    uint8_t *y_at_ = nullptr, *u_at_ = nullptr, *v_at_ = nullptr;
    std::vector<uint8_t> stage_u_, stage_v_;  // chroma planes read before they are laid out
};

}  // namespace tamsa::tools

#endif
