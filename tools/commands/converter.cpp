#include "tools/commands/converter.h"

#include <cstring>

#include "tamsa/client.h"
#include "tamsa/internal/full_range.h"

namespace tamsa::tools {

converter::converter(session &s, const clip_info &info, cli::size2 scale, bool deinterlace,
                     bool full_range)
    : s_(s),
      width_(info.width),
      height_(info.height),
      layout_(info.layout),
      scale_(scale),
      deinterlace_(deinterlace),
      interlace_(info.interlace),
      full_range_(full_range) {
    const uint64_t pixels = uint64_t(width_) * uint64_t(height_);
    const int32_t across = chroma_across(layout_);
    if (layout_ == chroma::mono) {
        group_ = uint32_t(width_);
    } else if (width_ % across == 0) {
        group_ = uint32_t(across);
    } else {
        group_ = 1;
    }
    const uint64_t chroma_bytes = pixels / group_;
    y_ = s.alloc(pixels, false);
    u_ = s.alloc(chroma_bytes, false);
    v_ = s.alloc(chroma_bytes, false);
    y_at_ = s.at(y_, pixels);
    u_at_ = s.at(u_, chroma_bytes);
    v_at_ = s.at(v_, chroma_bytes);
    if (layout_ == chroma::mono) {
        std::memset(u_at_, 128, chroma_bytes);
        std::memset(v_at_, 128, chroma_bytes);
    }
    one_pass_ =
        scale.width != 0 && layout_ == chroma::c411 && group_ == 4 && !deinterlace && !full_range;
    if (!one_pass_) {
        // The conversion writes into a buffer of ours, described by a record of ours.
        rgb_ = s.alloc(pixels * 3, false);
        record_ = s.alloc(16, false);
        s.write_bitmap(record_, {rgb_, width_, height_, 3});
        if (deinterlace && height_ > 1) {
            // The frame from its second row on: doubling this record's even rows doubles the
            // frame's odd ones, the bottom field.
            lower_ = s.alloc(16, false);
            s.write_bitmap(lower_, {rgb_ + uint32_t(width_) * 3, width_, height_ - 1, 3});
        }
    }
}

uint32_t converter::convert(const yuv_frame &f, char field) {
    const uint64_t pixels = uint64_t(width_) * uint64_t(height_);
    std::memcpy(y_at_, f.y.data(), pixels);
    const size_t cw = size_t(chroma_width(layout_, width_));
    lay_out_planes({f.u.data(), cw}, {f.v.data(), cw}, by_field(f.field));
    return send(field);
}

uint32_t converter::convert(plane y, plane u, plane v, char frame_field, char field) {
    const size_t w = size_t(width_);
    if (y.stride == w) {
        std::memcpy(y_at_, y.data, w * size_t(height_));
    } else {
        for (int32_t row = 0; row < height_; ++row) {
            std::memcpy(y_at_ + size_t(row) * w, y.data + size_t(row) * y.stride, w);
        }
    }
    lay_out_planes(u, v, by_field(frame_field));
    return send(field);
}

bool converter::by_field(char frame_field) const {
    if (layout_ != chroma::c420) return false;
    if (interlace_ == 't' || interlace_ == 'b') return true;
    return interlace_ == 'm' && (frame_field == 't' || frame_field == 'b');
}

int32_t converter::chroma_row(int32_t row, bool by_field) const {
    if (!by_field) return row / chroma_down(layout_);
    // Row r is row r / 2 of field r % 2, whose rows pair up over chroma rows of that field.
    // A field's last row without a chroma row of its own (heights that are no multiple of 4)
    // takes the one before it in its field; a one-row field takes the only row there is.
    const int32_t rows = chroma_height(layout_, height_);
    int32_t c = row / 4 * 2 + row % 2;
    if (c >= rows) c -= 2;
    return c < 0 ? 0 : c;
}

bool converter::load(clip &c, yuv_frame &header) {
    if (c.holds_frames()) {
        held_.let_go();
        if (!c.next_held(header, held_)) return false;
        if (held_.y_address == 0 || held_.y_stride != size_t(width_)) {
            held_.y_address = 0;
            const size_t w = size_t(width_);
            for (int32_t row = 0; row < height_; ++row)
                std::memcpy(y_at_ + size_t(row) * w, held_.y + size_t(row) * held_.y_stride, w);
        }
        lay_out_planes({held_.u, held_.u_stride}, {held_.v, held_.v_stride},
                       by_field(header.field));
        return true;
    }
    const int32_t across = chroma_across(layout_), down = chroma_down(layout_);
    if (layout_ == chroma::mono) return c.next_into(header, y_at_, nullptr, nullptr);
    if (group_ == uint32_t(across)) {
        // Whole groups in every row: the clip's chroma rows are the bus's, each given to down
        // rows; spread from the bottom up, no row is overwritten before it is copied.
        // Every row's chroma row is at or above it, by field as well.
        if (!c.next_into(header, y_at_, u_at_, v_at_)) return false;
        const size_t cw = size_t(chroma_width(layout_, width_));
        const bool fields = by_field(header.field);
        for (int32_t row = height_ - 1; down > 1 && row > 0; --row) {
            const size_t from = size_t(chroma_row(row, fields)) * cw;
            std::memmove(u_at_ + size_t(row) * cw, u_at_ + from, cw);
            std::memmove(v_at_ + size_t(row) * cw, v_at_ + from, cw);
        }
        return true;
    }
    const size_t c_bytes =
        size_t(chroma_width(layout_, width_)) * size_t(chroma_height(layout_, height_));
    stage_u_.resize(c_bytes);
    stage_v_.resize(c_bytes);
    if (!c.next_into(header, y_at_, stage_u_.data(), stage_v_.data())) return false;
    const size_t cw = size_t(chroma_width(layout_, width_));
    lay_out_planes({stage_u_.data(), cw}, {stage_v_.data(), cw}, by_field(header.field));
    return true;
}

uint32_t converter::send(char field) {
    const uint64_t pixels = uint64_t(width_) * uint64_t(height_);
    // The luma where the decoder put it, else in the converter's own block.
    const uint32_t y = held_.y_address != 0 ? held_.y_address : y_;
    const uint8_t *y_at = held_.y_address != 0 ? held_.y : y_at_;
    if (one_pass_) {
        const uint32_t scaled =
            s_.send(TAMSA_OP_YUVSCALE, {y, v_, u_, uint32_t(width_), uint32_t(height_),
                                        uint32_t(scale_.width), uint32_t(scale_.height)});
        held_.let_go();
        replace_last(scaled);
        return last_;
    }
    if (full_range_) {
        full_range_to_bgr(y_at, v_at_, u_at_, s_.at(rgb_, pixels * 3), pixels, group_);
    } else {
        s_.send(TAMSA_OP_YUVTORGB, {y, v_, u_, rgb_, uint32_t(pixels), group_});
    }
    // The decoder may have the frame's buffer back.
    held_.let_go();
    if (deinterlace_ && field == 't') s_.send(TAMSA_OP_DEINTERLACE, {record_});
    if (deinterlace_ && field == 'b' && lower_ != 0) {
        s_.send(TAMSA_OP_DEINTERLACE, {lower_});
        // Row 0 has no bottom row above it: it takes row 1, the first of the field kept.
        const size_t row = size_t(width_) * 3;
        uint8_t *rgb = s_.at(rgb_, row * 2);
        std::memcpy(rgb, rgb + row, row);
    }
    if (scale_.width == 0) return record_;
    replace_last(s_.send(TAMSA_OP_SCALECOPYBITMAP,
                         {record_, uint32_t(scale_.width), uint32_t(scale_.height)}));
    return last_;
}

void converter::lay_out_planes(plane u, plane v, bool by_field) {
    if (layout_ == chroma::mono) return;
    lay_out(u, u_at_, by_field);
    lay_out(v, v_at_, by_field);
}

// One chroma plane of the clip into the bus, in the layout the group needs.
void converter::lay_out(plane from_plane, uint8_t *to, bool by_field) const {
    const int32_t across = chroma_across(layout_);
    const size_t cw = size_t(chroma_width(layout_, width_));
    const size_t stride = from_plane.stride;
    if (group_ == uint32_t(across)) {
        // Whole groups in every row: each chroma row serves its rows as it is.
        for (int32_t row = 0; row < height_; ++row) {
            std::memcpy(to + size_t(row) * cw,
                        from_plane.data + size_t(chroma_row(row, by_field)) * stride, cw);
        }
        return;
    }
    for (int32_t row = 0; row < height_; ++row) {
        const uint8_t *from = from_plane.data + size_t(chroma_row(row, by_field)) * stride;
        uint8_t *out = to + size_t(row) * size_t(width_);
        for (int32_t x = 0; x < width_; ++x) out[x] = from[x / across];
    }
}

void converter::replace_last(uint32_t record) {
    if (last_ != 0) s_.drop_bitmap(last_);
    last_ = record;
    if (last_ == 0) throw cli::failure{"the server could not make a resized frame"};
    s_.keep_bitmap(last_);
}

}  // namespace tamsa::tools
