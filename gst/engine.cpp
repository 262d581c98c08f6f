#include "gst/engine.h"

#include <unistd.h>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/heap.h"
#include "server/server.h"
#include "tamsa/client.h"
#include "tamsa/internal/tools.h"
#include "tamsa/tamsa.h"
#include "tools/commands/record.h"
#include "tools/pictures/picture.h"

namespace tamsa::gst {

namespace {

// A server in this process is the engine's own, on a port no other engine takes.
std::string own_port_name() {
    static std::atomic<uint32_t> count{0};
    return "tamsaconvert-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

}  // namespace

engine::engine(const std::string &port)
    : port_(port), own_port_(port.empty() ? own_port_name() : "") {
    session_ = std::make_unique<tools::session>(port_, own_port_);
}

void engine::configure(const stream_format &format) {
    // The blocks of a former format are held by the session until it ends: a new session
    // gives them all back.
    if (converter_ != nullptr || cube_ != 0 || op_ != 0 || record_ != 0) {
        converter_.reset();
        cube_ = swap_ = 0;
        op_ = y_ = u_ = v_ = rgb_ = record_ = result_ = 0;
        session_.reset();
        session_ = std::make_unique<tools::session>(port_, own_port_);
    }
    format_ = format;
    const bool scaled = format.out_width != format.width || format.out_height != format.height;
    const bool mono = format.layout == tools::chroma::mono;
    direct_ = in_process() && !format.full_range && !format.deinterlace &&
              (mono || format.width % tools::chroma_across(format.layout) == 0) &&
              !(scaled && format.layout == tools::chroma::c411);
    // A stream that takes the direct path throughout never needs the converter's blocks.
    if (!direct_ || format.interlace != 'p') make_converter();
}

void engine::make_converter() {
    tools::clip_info info;
    info.width = format_.width;
    info.height = format_.height;
    info.layout = format_.layout;
    info.interlace = format_.interlace;
    info.full_range = format_.full_range;
    cli::size2 scale;
    if (format_.out_width != format_.width || format_.out_height != format_.height) {
        scale = {format_.out_width, format_.out_height};
    }
    converter_ = std::make_unique<tools::converter>(*session_, info, scale, format_.deinterlace,
                                                    format_.full_range);
}

bool engine::direct(char frame_field) const {
    if (!direct_) return false;
    // 4:2:0 chroma of an interlaced frame belongs to its fields: the converter lays it out.
    return format_.layout != tools::chroma::c420 || format_.interlace == 'p' ||
           (format_.interlace == 'm' && frame_field == 'p');
}

uint32_t engine::send(int32_t id, std::initializer_list<uint32_t> args) {
    if (!direct_) return session_->send(id, args);
    if (op_ == 0) op_ = session_->alloc(32, true);
    uint32_t n = 1;
    for (uint32_t w : args) session_->store32(op_ + 4 * n++, w);
    // As the server's loop serves a message of this process, with nothing else sent to this
    // engine's server meanwhile.
    return server::serve_as(platform::kThisProcess, id, op_, result_).answer.result;
}

uint32_t engine::convert_direct(plane y, plane u, plane v, size_t out_stride, uint32_t out_bus,
                                bool &in_place) {
    tools::session &s = *session_;
    const int32_t w = format_.width, h = format_.height;
    const uint64_t pixels = uint64_t(w) * uint64_t(h);
    const auto layout = format_.layout;
    const bool mono = layout == tools::chroma::mono;
    // Grey takes one neutral chroma sample a row.
    const int32_t group = mono ? w : tools::chroma_across(layout);
    const int32_t down = tools::chroma_down(layout);
    const size_t cw = size_t(tools::chroma_width(layout, w));
    const uint64_t chroma_bytes = pixels / uint64_t(group);
    const bool scaled = format_.out_width != w || format_.out_height != h;
    if (record_ == 0) record_ = s.alloc(16, false);
    // Planes laid out as the conversion reads them are used where they lie; the rest are
    // copied into blocks of the engine's, made when first needed.
    const auto own = [&s](uint32_t &block, uint64_t bytes) {
        if (block == 0) block = s.alloc(bytes, false);
        return block;
    };
    uint32_t y_at = y.bus;
    if (y_at == 0 || y.stride != size_t(w)) {
        y_at = own(y_, pixels);
        uint8_t *to = s.at(y_at, pixels);
        for (int32_t row = 0; row < h; ++row) {
            std::memcpy(to + size_t(row) * size_t(w), y.data + size_t(row) * y.stride, size_t(w));
        }
        ++counts_.copied_in;
    }
    const auto chroma = [&](const plane &p, uint32_t &block) {
        if (down == 1 && p.bus != 0 && p.stride == cw) return p.bus;
        // Each chroma row serves down rows.
        uint8_t *to = s.at(own(block, chroma_bytes), chroma_bytes);
        for (int32_t row = 0; row < h; ++row) {
            std::memcpy(to + size_t(row) * cw, p.data + size_t(row / down) * p.stride, cw);
        }
        if (down == 1) ++counts_.copied_in;
        return block;
    };
    uint32_t u_at = 0, v_at = 0;
    if (mono) {
        if (u_ == 0) std::memset(s.at(own(u_, chroma_bytes), chroma_bytes), 128, chroma_bytes);
        u_at = v_at = u_;
    } else {
        u_at = chroma(u, u_);
        v_at = chroma(v, v_);
    }
    in_place = !scaled && out_bus != 0 && out_stride == size_t(w) * 3;
    const uint32_t rgb = in_place ? out_bus : own(rgb_, pixels * 3);
    send(TAMSA_OP_YUVTORGB, {y_at, v_at, u_at, rgb, uint32_t(pixels), uint32_t(group)});
    s.write_bitmap(record_, {rgb, w, h, 3});
    if (!scaled) return record_;
    const uint32_t made = send(TAMSA_OP_SCALECOPYBITMAP, {record_, uint32_t(format_.out_width),
                                                          uint32_t(format_.out_height)});
    if (made == 0) throw cli::failure{"the server could not make a resized frame"};
    s.keep_bitmap(made);
    return made;
}

void engine::convert(plane y, plane u, plane v, char frame_field, char field, const effects &fx,
                     uint8_t *out, size_t out_stride, uint32_t out_bus, bool red_first) {
    tools::session &s = *session_;
    bool in_place = false;
    uint32_t record = 0, dropped = 0;
    if (direct(frame_field)) {
        record = convert_direct(y, u, v, out_stride, out_bus, in_place);
        if (record != record_) dropped = record;
    } else {
        if (converter_ == nullptr) make_converter();
        record = converter_->convert({y.data, y.stride}, {u.data, u.stride}, {v.data, v.stride},
                                     frame_field, field);
        // The converter takes every plane into blocks of its own.
        const bool mono = format_.layout == tools::chroma::mono;
        counts_.copied_in += mono || tools::chroma_down(format_.layout) != 1 ? 1 : 3;
    }
    const size_t w = size_t(format_.out_width), h = size_t(format_.out_height);
    const uint64_t pixels = uint64_t(w) * h;
    if (fx.correct()) {
        send(TAMSA_OP_CORRECT,
             {record, uint32_t(fx.contrast), uint32_t(fx.brightness) + 256u, fx.invert ? 1u : 0u});
    }
    if (fx.remap) {
        if (cube_ == 0) {
            cube_ = s.alloc(pixels, false);
            swap_ = s.alloc(256, false);
            const std::vector<uint8_t> table = tools::level_swap_table();
            std::memcpy(s.at(swap_, 256), table.data(), 256);
        }
        send(TAMSA_OP_REMAP24, {record, cube_, 0, uint32_t(pixels * 3)});
        send(TAMSA_OP_REMAP8, {cube_, swap_, uint32_t(pixels)});
        const uint8_t *indexes = s.at(cube_, pixels);
        for (size_t row = 0; row < h; ++row) {
            uint8_t *to = out + row * out_stride;
            tools::cube_colours(indexes + row * w, w, to);
            if (!red_first) gfx::swap13(to, to, w);
        }
    } else if (in_place) {
        // The server wrote blue first into the frame itself.
        for (size_t row = 0; red_first && row < h; ++row) {
            uint8_t *to = out + row * out_stride;
            gfx::swap13(to, to, w);
        }
    } else {
        const tamsa_wire_bitmap made = s.read_bitmap(record);
        if (made.width != format_.out_width || made.height != format_.out_height ||
            made.bytesperpixel != 3) {
            throw cli::failure{"the server answered a frame of another size"};
        }
        const uint8_t *bgr = s.at(made.data, pixels * 3);
        for (size_t row = 0; row < h; ++row) {
            if (red_first) {
                gfx::swap13(bgr + row * w * 3, out + row * out_stride, w);
            } else {
                std::memcpy(out + row * out_stride, bgr + row * w * 3, w * 3);
            }
        }
        ++counts_.copied_out;
    }
    if (dropped != 0) s.drop_bitmap(dropped);
    ++counts_.frames;
}

}  // namespace tamsa::gst
