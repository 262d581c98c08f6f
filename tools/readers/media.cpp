#include "tools/readers/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <atomic>
#include <cstring>
#include <memory>
#include <utility>

#include "tools/commands/cli.h"

namespace tamsa::tools {

namespace {

using cli::failure;

std::string av_words(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

struct format_row {
    AVPixelFormat format;
    chroma layout;
    bool full;  // the J formats are full range whatever the stream says
};
constexpr format_row kFormats[] = {
    {AV_PIX_FMT_YUV420P, chroma::c420, false}, {AV_PIX_FMT_YUVJ420P, chroma::c420, true},
    {AV_PIX_FMT_YUV422P, chroma::c422, false}, {AV_PIX_FMT_YUVJ422P, chroma::c422, true},
    {AV_PIX_FMT_YUV444P, chroma::c444, false}, {AV_PIX_FMT_YUVJ444P, chroma::c444, true},
    {AV_PIX_FMT_YUV411P, chroma::c411, false}, {AV_PIX_FMT_GRAY8, chroma::mono, false},
};

const format_row *row_of(int format) {
    for (const format_row &row : kFormats) {
        if (row.format == format) return &row;
    }
    return nullptr;
}

// The 8-bit layout that keeps what a format holds: grey stays grey, full chroma stays full.
const char *nearest_layout(const AVPixFmtDescriptor *d) {
    if (d == nullptr) return "yuv420p";
    if (d->nb_components <= 2 && (d->flags & AV_PIX_FMT_FLAG_RGB) == 0) return "gray";
    if ((d->flags & AV_PIX_FMT_FLAG_RGB) != 0 || (d->flags & AV_PIX_FMT_FLAG_PAL) != 0 ||
        (d->log2_chroma_w == 0 && d->log2_chroma_h == 0)) {
        return "yuv444p";
    }
    if (d->log2_chroma_w == 1 && d->log2_chroma_h == 0) return "yuv422p";
    return "yuv420p";
}

std::string ratio_of(AVRational r) {
    if (r.num <= 0 || r.den <= 0) return "";
    av_reduce(&r.num, &r.den, r.num, r.den, INT32_MAX);
    return std::to_string(r.num) + ":" + std::to_string(r.den);
}

char field_of(const AVFrame *f) {
    if (f->interlaced_frame == 0) return 'p';
    return f->top_field_first != 0 ? 't' : 'b';
}

// The file, the decoder and their buffers, freed together however the clip ends; the flag its
// reads are interrupted by lives as long as the file.
struct av_state {
    AVFormatContext *fmt = nullptr;
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    std::unique_ptr<std::atomic<bool>> stop;
    av_state() = default;
    av_state(const av_state &) = delete;
    av_state &operator=(const av_state &) = delete;
    ~av_state() {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        avformat_close_input(&fmt);
    }
};

class media_clip final : public clip {
   public:
    // Takes the opened file, whose streams are found, and its flag.
    media_clip(AVFormatContext *fmt, std::unique_ptr<std::atomic<bool>> stop,
               const std::string &path)
        : name_(path) {
        av_.fmt = fmt;
        av_.stop = std::move(stop);
        fmt_ = fmt;
        stop_ = av_.stop.get();
        const AVCodec *decoder = nullptr;
        stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (stream_ == AVERROR_DECODER_NOT_FOUND) {
            const AVStream *st = nullptr;
            for (unsigned k = 0; k < fmt_->nb_streams && st == nullptr; ++k) {
                if (fmt_->streams[k]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                    st = fmt_->streams[k];
            }
            const std::string codec =
                st != nullptr ? avcodec_get_name(st->codecpar->codec_id) : "its codec";
            throw failure{name_ + ": this libavcodec has no decoder for " + codec};
        }
        if (stream_ < 0) throw failure{name_ + ": holds no video stream"};
        AVStream *st = fmt_->streams[stream_];
        ctx_ = av_.ctx = avcodec_alloc_context3(decoder);
        frame_ = av_.frame = av_frame_alloc();
        pkt_ = av_.pkt = av_packet_alloc();
        if (ctx_ == nullptr || frame_ == nullptr || pkt_ == nullptr ||
            avcodec_parameters_to_context(ctx_, st->codecpar) < 0) {
            throw failure{name_ + ": out of memory"};
        }
        // The decoder's own threads: decoding runs beside the server's work.
        ctx_->thread_count = 0;
        ctx_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        const int opened = avcodec_open2(ctx_, decoder, nullptr);
        if (opened < 0) {
            throw failure{name_ + ": cannot open the " + decoder->name + " decoder (" +
                          av_words(opened) + ")"};
        }
        describe(st);
    }

    void cancel() override { stop_->store(true); }

    bool next(yuv_frame &frame) override {
        if (!next_frame(frame)) return false;
        frame.y.resize(size_t(info_.width) * size_t(info_.height));
        const size_t c = size_t(chroma_width(info_.layout, info_.width)) *
                         size_t(chroma_height(info_.layout, info_.height));
        frame.u.resize(c);
        frame.v.resize(c);
        copy_planes(frame.y.data(), frame.u.data(), frame.v.data());
        return true;
    }

    bool next_into(yuv_frame &frame, uint8_t *y, uint8_t *u, uint8_t *v) override {
        if (!next_frame(frame)) return false;
        copy_planes(y, u, v);
        return true;
    }

   private:
    // What the stream and its first frame say: layout, size, range, rate, aspect, fields.
    void describe(AVStream *st) {
        const AVCodecParameters *par = st->codecpar;
        have_first_ = decode();
        const int format = have_first_ ? frame_->format : ctx_->pix_fmt;
        const format_row *row = row_of(format);
        if (row == nullptr) {
            const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(format));
            const std::string what = d != nullptr ? d->name : "an unknown layout";
            throw failure{name_ + ": frames in " + what +
                          " are not read (8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1 or grey); convert "
                          "them with: ffmpeg -i " +
                          name_ + " -pix_fmt " + nearest_layout(d) +
                          " -f yuv4mpegpipe - | tamsa record -"};
        }
        format_ = format;
        info_.layout = row->layout;
        info_.width = have_first_ ? frame_->width : ctx_->width;
        info_.height = have_first_ ? frame_->height : ctx_->height;
        if (info_.width < 1 || info_.height < 1 ||
            int64_t(info_.width) * info_.height > cli::kMaxPixels) {
            throw failure{name_ + ": bad frame size"};
        }
        AVColorRange range = have_first_ ? frame_->color_range : AVCOL_RANGE_UNSPECIFIED;
        if (range == AVCOL_RANGE_UNSPECIFIED) range = par->color_range;
        if (row->full) {
            info_.full_range = true;
        } else if (range == AVCOL_RANGE_JPEG || range == AVCOL_RANGE_MPEG) {
            info_.full_range = range == AVCOL_RANGE_JPEG;
        } else {
            // Colour streams are studio range unless they say otherwise, as their standards
            // have it; grey ones have no such rule, so they must say or be told.
            info_.range_said = row->layout != chroma::mono;
        }
        std::string rate = ratio_of(st->avg_frame_rate);
        if (rate.empty()) rate = ratio_of(st->r_frame_rate);
        if (!rate.empty()) info_.rate = rate;
        const std::string aspect =
            ratio_of(av_guess_sample_aspect_ratio(fmt_, st, have_first_ ? frame_ : nullptr));
        info_.aspect = aspect.empty() ? "0:0" : aspect;
        switch (par->field_order) {
            case AV_FIELD_PROGRESSIVE:
                info_.interlace = 'p';
                break;
            case AV_FIELD_TT:  // top coded first and shown first
            case AV_FIELD_BT:  // bottom coded first, top shown first
                info_.interlace = 't';
                break;
            case AV_FIELD_BB:
            case AV_FIELD_TB:
                info_.interlace = 'b';
                break;
            default:
                // Not said for the stream: each frame says, when the first is interlaced.
                info_.interlace = have_first_ && frame_->interlaced_frame != 0 ? 'm' : 'p';
                break;
        }
        info_.frames =
            st->nb_frames > 0 ? uint32_t(std::min<int64_t>(st->nb_frames, UINT32_MAX)) : 0;
    }

    // The next decoded frame into frame_; false at the end, with truncated_ set when the file
    // could not be read or decoded to its end.
    bool decode() {
        for (;;) {
            int r = avcodec_receive_frame(ctx_, frame_);
            if (r == 0) return true;
            if (r == AVERROR_EOF) return false;
            if (r != AVERROR(EAGAIN)) return cut_short("cannot be decoded", r);
            if (flushed_) return false;
            r = av_read_frame(fmt_, pkt_);
            if (r < 0) {
                if (r != AVERROR_EOF && r != AVERROR_EXIT && !stop_->load())
                    cut_short("cannot be read", r);
                // The frames the decoder still holds come out before the end.
                flushed_ = true;
                avcodec_send_packet(ctx_, nullptr);
                continue;
            }
            if (pkt_->stream_index != stream_) {
                av_packet_unref(pkt_);
                continue;
            }
            r = avcodec_send_packet(ctx_, pkt_);
            av_packet_unref(pkt_);
            if (r < 0 && r != AVERROR(EAGAIN)) return cut_short("cannot be decoded", r);
        }
    }

    bool cut_short(const char *what, int error) {
        if (truncated_.empty()) {
            truncated_ =
                "frame " + std::to_string(frames_ + 1) + " " + what + " (" + av_words(error) + ")";
        }
        flushed_ = true;
        return false;
    }

    bool next_frame(yuv_frame &frame) {
        if (!have_first_) {
            if (stop_->load() || !truncated_.empty() || !decode()) return false;
        }
        have_first_ = false;
        if (frame_->format != format_ || frame_->width != info_.width ||
            frame_->height != info_.height) {
            const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(frame_->format));
            throw failure{name_ + ": frame " + std::to_string(frames_ + 1) + " is " +
                          std::to_string(frame_->width) + "x" + std::to_string(frame_->height) +
                          " " + (d != nullptr ? d->name : "?") + ", and the clip began " +
                          std::to_string(info_.width) + "x" + std::to_string(info_.height) + " " +
                          av_get_pix_fmt_name(AVPixelFormat(format_)) +
                          ": one run takes frames of one size and layout"};
        }
        frame.width = info_.width;
        frame.height = info_.height;
        frame.layout = info_.layout;
        frame.field = field_of(frame_);
        ++frames_;
        return true;
    }

    void copy_planes(uint8_t *y, uint8_t *u, uint8_t *v) {
        av_image_copy_plane(y, info_.width, frame_->data[0], frame_->linesize[0], info_.width,
                            info_.height);
        if (info_.layout != chroma::mono) {
            const int cw = chroma_width(info_.layout, info_.width);
            const int ch = chroma_height(info_.layout, info_.height);
            av_image_copy_plane(u, cw, frame_->data[1], frame_->linesize[1], cw, ch);
            av_image_copy_plane(v, cw, frame_->data[2], frame_->linesize[2], cw, ch);
        }
        av_frame_unref(frame_);
    }

    av_state av_;
    std::string name_;
    AVFormatContext *fmt_ = nullptr;
    std::atomic<bool> *stop_ = nullptr;
    AVCodecContext *ctx_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVPacket *pkt_ = nullptr;
    int stream_ = -1;
    int format_ = AV_PIX_FMT_NONE;
    bool have_first_ = false;
    bool flushed_ = false;
    uint32_t frames_ = 0;
};

// A read that waits is given up once the clip is cancelled.
int interrupted(void *stop) {
    return static_cast<std::atomic<bool> *>(stop)->load() ? 1 : 0;
}

}  // namespace

std::unique_ptr<clip> open_media(const std::string &path) {
    // libavformat's and libavcodec's own lines only under -v: the command says what matters.
    av_log_set_level(cli::verbose() ? AV_LOG_WARNING : AV_LOG_QUIET);
    auto stop = std::make_unique<std::atomic<bool>>(false);
    AVFormatContext *fmt = avformat_alloc_context();
    if (fmt == nullptr) throw failure{path + ": out of memory"};
    fmt->interrupt_callback = {interrupted, stop.get()};
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    // Raw planes are the project's own reader's, with a layout that must be named.
    if (std::strcmp(fmt->iformat->name, "rawvideo") == 0) {
        avformat_close_input(&fmt);
        return nullptr;
    }
    bool video = false;
    if (avformat_find_stream_info(fmt, nullptr) >= 0) {
        for (unsigned k = 0; k < fmt->nb_streams; ++k) {
            if (fmt->streams[k]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) video = true;
        }
    }
    if (!video) {
        avformat_close_input(&fmt);
        return nullptr;
    }
    return std::make_unique<media_clip>(fmt, std::move(stop), path);
}

}  // namespace tamsa::tools
