#include "tools/av_clips.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace tamsa_test {

namespace {

std::string words(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

// A level that moves with x, y and the frame, different per plane; 16-bit layouts take it in
// their top bits.
uint32_t level(int plane, int x, int y, int t) {
    switch (plane) {
        case 0:
            return uint32_t(16 + (x * 3 + y * 5 + t * 11) % 220);
        case 1:
            return uint32_t(80 + (x * 7 - y * 2 + t * 5 + 1000) % 96);
        case 2:
            return uint32_t(90 + (y * 9 + x + t * 3) % 80);
        default:
            return 0;
    }
}

void fill(AVFrame *f, int t) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    if ((d->flags & AV_PIX_FMT_FLAG_PAL) != 0) {
        auto *palette = reinterpret_cast<uint32_t *>(f->data[1]);
        for (uint32_t k = 0; k < 256; ++k) palette[k] = 0xff000000u | k * 0x010203u;
        for (int y = 0; y < f->height; ++y) {
            for (int x = 0; x < f->width; ++x)
                f->data[0][y * f->linesize[0] + x] = uint8_t(level(0, x, y, t));
        }
        return;
    }
    if ((d->flags & AV_PIX_FMT_FLAG_PLANAR) == 0) {
        // Packed RGB: each byte of a pixel a level of its own.
        const int step = d->comp[0].step;
        for (int y = 0; y < f->height; ++y) {
            for (int x = 0; x < f->width; ++x) {
                for (int c = 0; c < step; ++c)
                    f->data[0][y * f->linesize[0] + x * step + c] = uint8_t(level(c % 3, x, y, t));
            }
        }
        return;
    }
    const int wide = d->comp[0].depth > 8 ? 2 : 1;
    for (int plane = 0; plane < d->nb_components && plane < 3; ++plane) {
        const int w = plane == 0 ? f->width : AV_CEIL_RSHIFT(f->width, d->log2_chroma_w);
        const int h = plane == 0 ? f->height : AV_CEIL_RSHIFT(f->height, d->log2_chroma_h);
        for (int y = 0; y < h; ++y) {
            uint8_t *row = f->data[plane] + y * f->linesize[plane];
            for (int x = 0; x < w; ++x) {
                const uint32_t v = level(plane, x, y, t);
                if (wide == 1) {
                    row[x] = uint8_t(v);
                } else {
                    const uint16_t deep = uint16_t(v << (d->comp[0].depth - 8));
                    std::memcpy(row + 2 * x, &deep, 2);
                }
            }
        }
    }
}

const char *field_name(AVFieldOrder f) {
    switch (f) {
        case AV_FIELD_PROGRESSIVE:
            return "progressive";
        case AV_FIELD_TT:
            return "tt";
        case AV_FIELD_BB:
            return "bb";
        case AV_FIELD_TB:
            return "tb";
        case AV_FIELD_BT:
            return "bt";
        default:
            return "unknown";
    }
}

std::string ratio(AVRational r, char between) {
    if (r.num == 0 && r.den == 0) return "0" + std::string(1, between) + "1";
    return std::to_string(r.num) + between + std::to_string(r.den);
}

struct encoder_state {
    AVFormatContext *oc = nullptr;
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    ~encoder_state() {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        if (oc != nullptr && oc->pb != nullptr) avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
};

// Sends f (null: the end) and writes what comes out; "" or what failed.
std::string encode(encoder_state &s, AVStream *st, AVFrame *f) {
    int r = avcodec_send_frame(s.ctx, f);
    if (r < 0) return "send: " + words(r);
    for (;;) {
        r = avcodec_receive_packet(s.ctx, s.pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return "";
        if (r < 0) return "receive: " + words(r);
        av_packet_rescale_ts(s.pkt, s.ctx->time_base, st->time_base);
        s.pkt->stream_index = st->index;
        r = av_interleaved_write_frame(s.oc, s.pkt);
        if (r < 0) return "write: " + words(r);
    }
}

std::string make(const std::string &path, const clip_spec &c) {
    av_log_set_level(AV_LOG_ERROR);
    encoder_state s;
    const AVCodec *codec = avcodec_find_encoder_by_name(c.codec.c_str());
    if (codec == nullptr) return "no encoder " + c.codec;
    const AVPixelFormat format = av_get_pix_fmt(c.layout.c_str());
    if (format == AV_PIX_FMT_NONE) return "no layout " + c.layout;
    int r = avformat_alloc_output_context2(&s.oc, nullptr, nullptr, path.c_str());
    if (r < 0) return "container: " + words(r);
    s.ctx = avcodec_alloc_context3(codec);
    s.frame = av_frame_alloc();
    s.pkt = av_packet_alloc();
    if (s.ctx == nullptr || s.frame == nullptr || s.pkt == nullptr) return "out of memory";
    const AVRational rate{c.rate_num, c.rate_den};
    s.ctx->width = c.width;
    s.ctx->height = c.height;
    s.ctx->pix_fmt = format;
    s.ctx->time_base = av_inv_q(rate);
    s.ctx->framerate = rate;
    s.ctx->sample_aspect_ratio = AVRational{c.sar_num, c.sar_den};
    s.ctx->color_range = c.range == "pc"   ? AVCOL_RANGE_JPEG
                         : c.range == "tv" ? AVCOL_RANGE_MPEG
                                           : AVCOL_RANGE_UNSPECIFIED;
    s.ctx->field_order = c.fields == 't'   ? AV_FIELD_TT
                         : c.fields == 'b' ? AV_FIELD_BB
                         : c.fields == 'p' ? AV_FIELD_PROGRESSIVE
                                           : AV_FIELD_UNKNOWN;
    if (c.fields == 't' || c.fields == 'b')
        s.ctx->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    if (c.qscale > 0) {
        s.ctx->flags |= AV_CODEC_FLAG_QSCALE;
        s.ctx->global_quality = FF_QP2LAMBDA * c.qscale;
    }
    // Off the standard for some encoders (studio-range MJPEG), which the tests ask for.
    s.ctx->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    if ((s.oc->oformat->flags & AVFMT_GLOBALHEADER) != 0)
        s.ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    r = avcodec_open2(s.ctx, codec, nullptr);
    if (r < 0) return "encoder " + c.codec + " in " + c.layout + ": " + words(r);
    AVStream *st = avformat_new_stream(s.oc, nullptr);
    if (st == nullptr) return "out of memory";
    r = avcodec_parameters_from_context(st->codecpar, s.ctx);
    if (r < 0) return "parameters: " + words(r);
    st->time_base = s.ctx->time_base;
    st->avg_frame_rate = rate;
    st->sample_aspect_ratio = s.ctx->sample_aspect_ratio;
    r = avio_open(&s.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) return "open: " + words(r);
    r = avformat_write_header(s.oc, nullptr);
    if (r < 0) return "header: " + words(r);
    s.frame->format = format;
    s.frame->width = c.width;
    s.frame->height = c.height;
    r = av_frame_get_buffer(s.frame, 0);
    if (r < 0) return "frame: " + words(r);
    for (int t = 0; t < c.frames; ++t) {
        r = av_frame_make_writable(s.frame);
        if (r < 0) return "frame: " + words(r);
        fill(s.frame, t);
        s.frame->pts = t;
        s.frame->interlaced_frame = c.fields == 't' || c.fields == 'b';
        s.frame->top_field_first = c.fields == 't';
        s.frame->color_range = s.ctx->color_range;
        s.frame->quality = s.ctx->global_quality;
        const std::string e = encode(s, st, s.frame);
        if (!e.empty()) return e;
    }
    std::string e = encode(s, st, nullptr);
    if (!e.empty()) return e;
    r = av_write_trailer(s.oc);
    if (r < 0) return "trailer: " + words(r);
    return "";
}

struct decoder_state {
    AVFormatContext *fmt = nullptr;
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    ~decoder_state() {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        avformat_close_input(&fmt);
    }
};

constexpr struct {
    AVPixelFormat format;
    tamsa::tools::chroma layout;
} kOurs[] = {
    {AV_PIX_FMT_YUV420P, tamsa::tools::chroma::c420},
    {AV_PIX_FMT_YUVJ420P, tamsa::tools::chroma::c420},
    {AV_PIX_FMT_YUV422P, tamsa::tools::chroma::c422},
    {AV_PIX_FMT_YUVJ422P, tamsa::tools::chroma::c422},
    {AV_PIX_FMT_YUV444P, tamsa::tools::chroma::c444},
    {AV_PIX_FMT_YUVJ444P, tamsa::tools::chroma::c444},
    {AV_PIX_FMT_YUV411P, tamsa::tools::chroma::c411},
    {AV_PIX_FMT_GRAY8, tamsa::tools::chroma::mono},
};

// Appends the frame's planes without padding, and to the YUV frames when ours.
void keep(const AVFrame *f, decoded_file &out) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    tamsa::tools::yuv_frame yuv;
    bool ours = false;
    for (const auto &row : kOurs) {
        if (row.format == f->format) {
            ours = true;
            yuv.layout = row.layout;
        }
    }
    yuv.width = f->width;
    yuv.height = f->height;
    yuv.field = f->interlaced_frame == 0 ? 'p' : f->top_field_first != 0 ? 't' : 'b';
    const int planes = av_pix_fmt_count_planes(AVPixelFormat(f->format));
    for (int plane = 0; plane < planes && plane < 3; ++plane) {
        const bool chroma_plane = plane > 0 && (d->flags & AV_PIX_FMT_FLAG_PAL) == 0;
        const int h = chroma_plane ? AV_CEIL_RSHIFT(f->height, d->log2_chroma_h) : f->height;
        const int row = av_image_get_linesize(AVPixelFormat(f->format), f->width, plane);
        if ((d->flags & AV_PIX_FMT_FLAG_PAL) != 0 && plane == 1) break;
        std::string bytes;
        for (int y = 0; y < h; ++y)
            bytes.append(reinterpret_cast<const char *>(f->data[plane] + y * f->linesize[plane]),
                         size_t(row));
        out.bytes += bytes;
        std::vector<uint8_t> &to = plane == 0 ? yuv.y : plane == 1 ? yuv.u : yuv.v;
        to.assign(bytes.begin(), bytes.end());
    }
    if (ours) out.yuv.push_back(std::move(yuv));
}

std::string decode(const std::string &path, decoded_file &out) {
    av_log_set_level(AV_LOG_ERROR);
    decoder_state s;
    int r = avformat_open_input(&s.fmt, path.c_str(), nullptr, nullptr);
    if (r < 0) return "open: " + words(r);
    r = avformat_find_stream_info(s.fmt, nullptr);
    if (r < 0) return "streams: " + words(r);
    const AVCodec *decoder = nullptr;
    const int index = av_find_best_stream(s.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0) return "no video stream: " + words(index);
    AVStream *st = s.fmt->streams[index];
    s.ctx = avcodec_alloc_context3(decoder);
    s.frame = av_frame_alloc();
    s.pkt = av_packet_alloc();
    if (s.ctx == nullptr || s.frame == nullptr || s.pkt == nullptr) return "out of memory";
    r = avcodec_parameters_to_context(s.ctx, st->codecpar);
    if (r < 0) return "parameters: " + words(r);
    r = avcodec_open2(s.ctx, decoder, nullptr);
    if (r < 0) return "decoder: " + words(r);
    out.codec = avcodec_get_name(st->codecpar->codec_id);
    const char *layout = av_get_pix_fmt_name(AVPixelFormat(st->codecpar->format));
    out.layout = layout != nullptr ? layout : "none";
    const char *range = av_color_range_name(st->codecpar->color_range);
    out.range = range != nullptr ? range : "unknown";
    out.field_order = field_name(st->codecpar->field_order);
    out.aspect = ratio(av_guess_sample_aspect_ratio(s.fmt, st, nullptr), ':');
    out.rate = ratio(st->r_frame_rate, '/');
    bool flushed = false;
    for (;;) {
        r = avcodec_receive_frame(s.ctx, s.frame);
        if (r == 0) {
            if (out.frames == 0) {
                out.interlaced = s.frame->interlaced_frame != 0;
                out.top_first = s.frame->top_field_first != 0;
            }
            ++out.frames;
            keep(s.frame, out);
            av_frame_unref(s.frame);
            continue;
        }
        if (r == AVERROR_EOF) return "";
        if (r != AVERROR(EAGAIN)) return "decode: " + words(r);
        if (flushed) return "";
        r = av_read_frame(s.fmt, s.pkt);
        if (r < 0) {
            flushed = true;
            avcodec_send_packet(s.ctx, nullptr);
            continue;
        }
        if (s.pkt->stream_index == index) {
            r = avcodec_send_packet(s.ctx, s.pkt);
            if (r < 0) return "decode: " + words(r);
        }
        av_packet_unref(s.pkt);
    }
}

}  // namespace

bool have_encoder(const std::string &name) {
    return avcodec_find_encoder_by_name(name.c_str()) != nullptr;
}

void make_clip(const std::string &path, const clip_spec &clip) {
    const std::string e = make(path, clip);
    ASSERT_EQ(e, "") << path << ": " << clip.codec << " in " << clip.layout;
}

decoded_file decode_file(const std::string &path) {
    decoded_file out;
    const std::string e = decode(path, out);
    EXPECT_EQ(e, "") << path;
    return out;
}

void write_y4m_of(const std::string &path, const decoded_file &file) {
    std::string extra;
    if (file.interlaced) extra += file.top_first ? " It" : " Ib";
    if (file.range == "pc" || file.layout.rfind("yuvj", 0) == 0) extra += " XCOLORRANGE=FULL";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    tamsa::tools::write_y4m(f, file.yuv, extra);
    std::fclose(f);
}

}  // namespace tamsa_test
