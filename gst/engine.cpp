#include "gst/engine.h"

#include <unistd.h>
#include <atomic>
#include <cstring>
#include <vector>

#include "tamsa/client.h"
#include "tamsa/internal/tools.h"
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
    if (converter_ != nullptr || cube_ != 0) {
        converter_.reset();
        cube_ = swap_ = 0;
        session_.reset();
        session_ = std::make_unique<tools::session>(port_, own_port_);
    }
    format_ = format;
    tools::clip_info info;
    info.width = format.width;
    info.height = format.height;
    info.layout = format.layout;
    info.interlace = format.interlace;
    info.full_range = format.full_range;
    cli::size2 scale;
    if (format.out_width != format.width || format.out_height != format.height) {
        scale = {format.out_width, format.out_height};
    }
    converter_ = std::make_unique<tools::converter>(*session_, info, scale, format.deinterlace,
                                                    format.full_range);
}

void engine::convert(tools::converter::plane y, tools::converter::plane u,
                     tools::converter::plane v, char frame_field, char field, const effects &fx,
                     uint8_t *out, size_t out_stride, bool red_first) {
    tools::session &s = *session_;
    const uint32_t record = converter_->convert(y, u, v, frame_field, field);
    const size_t w = size_t(format_.out_width), h = size_t(format_.out_height);
    const uint64_t pixels = uint64_t(w) * h;
    if (fx.correct()) {
        s.send(TAMSA_OP_CORRECT, {record, uint32_t(fx.contrast), uint32_t(fx.brightness) + 256u,
                                  fx.invert ? 1u : 0u});
    }
    if (fx.remap) {
        if (cube_ == 0) {
            cube_ = s.alloc(pixels, false);
            swap_ = s.alloc(256, false);
            const std::vector<uint8_t> table = tools::level_swap_table();
            std::memcpy(s.at(swap_, 256), table.data(), 256);
        }
        s.send(TAMSA_OP_REMAP24, {record, cube_, 0, uint32_t(pixels * 3)});
        s.send(TAMSA_OP_REMAP8, {cube_, swap_, uint32_t(pixels)});
        const uint8_t *indexes = s.at(cube_, pixels);
        for (size_t row = 0; row < h; ++row) {
            uint8_t *to = out + row * out_stride;
            tools::cube_colours(indexes + row * w, w, to);
            if (!red_first) gfx::swap13(to, to, w);
        }
        return;
    }
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
}

}  // namespace tamsa::gst
