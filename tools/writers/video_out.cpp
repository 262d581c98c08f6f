#include "tools/writers/video_out.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "tamsa/internal/tools.h"
#include "tools/commands/cli.h"
#include "tools/commands/video_module.h"
#include "tools/video/containers.h"

namespace tamsa::tools {

using cli::failure;
using cli::usage_error;

namespace {

// A call's status as the command's errors: a choice the encoder refuses is a usage error.
void raise_if(int status, const tv_error &e) {
    if (status == TV_USAGE) throw usage_error{e.text};
    if (status != TV_OK) throw failure{e.text};
}

}  // namespace

bool is_video_file(const std::string &name) {
    return container_of(name) != nullptr;
}

int64_t parse_bit_rate(const std::string &text) {
    char *end = nullptr;
    const double n = std::strtod(text.c_str(), &end);
    double unit = 1;
    const std::string rest = end != nullptr ? std::string(end) : "";
    if (rest == "k" || rest == "K") {
        unit = 1e3;
    } else if (rest == "m" || rest == "M") {
        unit = 1e6;
    } else if (!rest.empty()) {
        unit = 0;
    }
    const double bits = n * unit;
    if (text.empty() || !(bits >= 1000) || bits > 1e10 || !std::isfinite(bits)) {
        throw usage_error{"bad bit rate '" + text +
                          "' (bits a second, 1000 to 10G: 2500000, "
                          "800k or 2.5M)"};
    }
    return int64_t(std::llround(bits));
}

video_file::video_file(const std::string &path, bool overwrite, const y4m_spec &spec,
                       const video_choice &choice) {
    if (!is_video_file(path)) throw usage_error{path + ": not a video file's name"};
    try {
        api_ = &video_module();
    } catch (const failure &f) {
        throw failure{path + ": " + f.message};
    }
    const std::string rate = spec.rate, aspect = spec.aspect;
    tv_writer_args a{};
    a.path = path.c_str();
    a.overwrite = overwrite ? 1 : 0;
    a.rate = rate.c_str();
    a.aspect = aspect.c_str();
    a.interlace = spec.interlace;
    a.full_range = spec.full_range ? 1 : 0;
    a.verbose = cli::verbose() ? 1 : 0;
    a.codec = choice.codec.c_str();
    a.has_crf = choice.crf.has_value() ? 1 : 0;
    a.crf = choice.crf.value_or(0);
    a.bit_rate = choice.bit_rate;
    tv_error e{};
    raise_if(api_->writer_open(&a, &w_, &feed_, &e), e);
}

video_file::~video_file() {
    if (w_ != nullptr) api_->writer_close(w_);
}

void video_file::send_rgb(const uint8_t *bgr, int32_t width, int32_t height) {
    tv_planes to{};
    tv_error e{};
    raise_if(api_->writer_frame(w_, width, height, &to, &e), e);
    const size_t row = size_t(width) * 3;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *from = bgr + size_t(y) * row;
        uint8_t *out = to.data[0] + ptrdiff_t(y) * to.stride[0];
        if (feed_.kind == TV_BGR24) {
            std::memcpy(out, from, row);
        } else if (feed_.kind == TV_RGB24) {
            gfx::swap13(from, out, uint64_t(width));
        } else {
            gfx::pad4(from, out, uint64_t(width));
        }
    }
    raise_if(api_->writer_send(w_, &e), e);
}

void video_file::write_bgr(const uint8_t *bgr, int32_t width, int32_t height) {
    if (feed_.kind == TV_YUV) {
        // YUV is made from red-first pixels.
        rgb_.width = width;
        rgb_.height = height;
        rgb_.channels = 3;
        rgb_.pixels.resize(size_t(width) * size_t(height) * 3);
        gfx::swap13(bgr, rgb_.pixels.data(), uint64_t(width) * uint64_t(height));
        write(rgb_);
        return;
    }
    send_rgb(bgr, width, height);
}

void video_file::write(const picture &p) {
    if (feed_.kind != TV_YUV || p.channels != 3) {
        // The RGB encoders read blue first, as the bus holds it; grey frames are spread.
        std::vector<uint8_t> bgr(size_t(p.width) * size_t(p.height) * 3);
        const size_t n = size_t(p.width) * size_t(p.height);
        for (size_t i = 0; i < n; ++i) {
            const uint8_t *px = &p.pixels[i * size_t(p.channels)];
            bgr[i * 3] = px[p.channels == 3 ? 2 : 0];
            bgr[i * 3 + 1] = px[p.channels == 3 ? 1 : 0];
            bgr[i * 3 + 2] = px[0];
        }
        write_bgr(bgr.data(), p.width, p.height);
        return;
    }
    tv_planes to{};
    tv_error e{};
    raise_if(api_->writer_frame(w_, p.width, p.height, &to, &e), e);
    const chroma layout = chroma(feed_.layout);
    const std::vector<uint8_t> planes = y4m_planes(p, layout, feed_.full_range != 0);
    const int32_t cw = chroma_width(layout, p.width);
    const int32_t ch = chroma_height(layout, p.height);
    const uint8_t *from = planes.data();
    for (int plane = 0; plane < 3; ++plane) {
        const int32_t pw = plane == 0 ? p.width : cw, ph = plane == 0 ? p.height : ch;
        for (int32_t y = 0; y < ph; ++y, from += pw) {
            std::memcpy(to.data[plane] + ptrdiff_t(y) * to.stride[plane], from, size_t(pw));
        }
    }
    raise_if(api_->writer_send(w_, &e), e);
}

void video_file::finish() {
    tv_error e{};
    raise_if(api_->writer_finish(w_, &e), e);
}

std::string video_file::encoded_as() const {
    char text[256] = {};
    api_->writer_describe(w_, text, sizeof text);
    return text;
}

}  // namespace tamsa::tools
