#include "tools/readers/media.h"

#include <cstring>

#include "tools/commands/cli.h"
#include "tools/commands/video_module.h"

namespace tamsa::tools {

namespace {

using cli::failure;

static_assert(int(chroma::c420) == TV_C420 && int(chroma::c422) == TV_C422 &&
              int(chroma::c444) == TV_C444 && int(chroma::c411) == TV_C411 &&
              int(chroma::mono) == TV_MONO);

void copy_plane(uint8_t *to, const uint8_t *from, int32_t stride, int32_t width, int32_t height) {
    for (int32_t y = 0; y < height; ++y) {
        std::memcpy(to + size_t(y) * size_t(width), from + ptrdiff_t(y) * stride, size_t(width));
    }
}

// A clip read through the video module's reader.
class media_clip final : public clip {
   public:
    media_clip(const tamsa_video_api &api, tv_reader *reader, const tv_clip_info &info)
        : api_(api), reader_(reader) {
        info_.width = info.width;
        info_.height = info.height;
        info_.layout = chroma(info.layout);
        info_.interlace = info.interlace;
        info_.full_range = info.full_range != 0;
        info_.range_said = info.range_said != 0;
        if (info.rate[0] != 0) info_.rate = info.rate;
        info_.aspect = info.aspect;
        info_.frames = info.frames;
    }
    ~media_clip() override { api_.reader_close(reader_); }
    media_clip(const media_clip &) = delete;
    media_clip &operator=(const media_clip &) = delete;

    void cancel() override { api_.reader_cancel(reader_); }

    bool next(yuv_frame &frame) override {
        tv_planes planes{};
        if (!next_frame(frame, planes)) return false;
        frame.y.resize(size_t(info_.width) * size_t(info_.height));
        const size_t c = size_t(chroma_width(info_.layout, info_.width)) *
                         size_t(chroma_height(info_.layout, info_.height));
        frame.u.resize(c);
        frame.v.resize(c);
        copy_planes(planes, frame.y.data(), frame.u.data(), frame.v.data());
        return true;
    }

    bool next_into(yuv_frame &frame, uint8_t *y, uint8_t *u, uint8_t *v) override {
        tv_planes planes{};
        if (!next_frame(frame, planes)) return false;
        copy_planes(planes, y, u, v);
        return true;
    }

    size_t block_bytes() const override { return api_.reader_block_bytes(reader_); }

    void lend_blocks(const std::vector<uint8_t *> &blocks,
                     const std::vector<uint32_t> &addresses) override {
        tv_error e{};
        if (api_.reader_lend(reader_, int32_t(blocks.size()), blocks.data(), addresses.data(),
                             &e) != TV_OK) {
            throw failure{e.text};
        }
        lent_ = !blocks.empty();
    }

    bool holds_frames() const override { return lent_; }

    bool next_held(yuv_frame &frame, held_frame &held) override {
        tv_planes planes{};
        uint32_t number = 0;
        void *hold = nullptr;
        if (!next_frame(frame, planes, &number, &hold)) return false;
        held.y = planes.data[0];
        held.u = planes.data[1];
        held.v = planes.data[2];
        held.y_stride = size_t(planes.stride[0]);
        held.u_stride = size_t(planes.stride[1]);
        held.v_stride = size_t(planes.stride[2]);
        held.y_address = number;
        held.hold = hold;
        held.release = api_.reader_release;
        return true;
    }

   private:
    bool next_frame(yuv_frame &frame, tv_planes &planes, uint32_t *number = nullptr,
                    void **hold = nullptr) {
        tv_error e{};
        const int r = number != nullptr ? api_.reader_next_held(reader_, &planes, number, hold, &e)
                                        : api_.reader_next(reader_, &planes, &e);
        if (r == TV_END) {
            if (truncated_.empty()) truncated_ = e.text;
            return false;
        }
        if (r != TV_OK) throw failure{e.text};
        frame.width = info_.width;
        frame.height = info_.height;
        frame.layout = info_.layout;
        frame.field = planes.field;
        return true;
    }

    void copy_planes(const tv_planes &p, uint8_t *y, uint8_t *u, uint8_t *v) const {
        copy_plane(y, p.data[0], p.stride[0], info_.width, info_.height);
        if (info_.layout == chroma::mono) return;
        const int32_t cw = chroma_width(info_.layout, info_.width);
        const int32_t ch = chroma_height(info_.layout, info_.height);
        copy_plane(u, p.data[1], p.stride[1], cw, ch);
        copy_plane(v, p.data[2], p.stride[2], cw, ch);
    }

    const tamsa_video_api &api_;
    tv_reader *reader_;
    bool lent_ = false;
};

}  // namespace

std::unique_ptr<clip> open_media(const std::string &path) {
    const tamsa_video_api *api = nullptr;
    try {
        api = &video_module();
    } catch (const failure &f) {
        // The file may be a video file: say so, and why it cannot be read as one.
        throw failure{path + ": not a Y4M file (it does not start with YUV4MPEG2), and " +
                      f.message};
    }
    tv_reader *reader = nullptr;
    tv_clip_info info{};
    tv_error e{};
    const int r = api->reader_open(path.c_str(), cli::verbose() ? 1 : 0, &reader, &info, &e);
    if (r == TV_NOT_VIDEO) return nullptr;
    if (r != TV_OK) throw failure{e.text};
    auto c = std::make_unique<media_clip>(*api, reader, info);
    if (int64_t(info.width) * info.height > cli::kMaxPixels)
        throw failure{path + ": bad frame size"};
    return c;
}

}  // namespace tamsa::tools
