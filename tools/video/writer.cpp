// Frames into a video file through libavcodec and libavformat: MKV and NUT take FFV1 holding the
// RGB exactly; MP4 and MOV H.264 in 4:2:0; AVI MJPEG. The command fills each frame in the
// layout asked for (the Y4M writer's exact BT.601 rule for YUV). The file is written under a
// temporary name and takes its own once whole.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <sys/stat.h>

#include "tools/video/containers.h"
#include "tools/video/shared.h"

namespace tamsa::video {
namespace {

AVRational ratio_of(const char *text, AVRational otherwise) {
    const char *colon = text != nullptr ? std::strchr(text, ':') : nullptr;
    if (colon == nullptr) return otherwise;
    const long long n = std::atoll(text);
    const long long d = std::atoll(colon + 1);
    if (n <= 0 || d <= 0) return otherwise;
    AVRational r{};
    av_reduce(&r.num, &r.den, n, d, INT32_MAX);
    return r;
}

// How frames are handed to the encoder: RGB as it is, or YUV by the Y4M writer's rule.
struct feed {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int32_t kind = TV_YUV;
    int32_t layout = TV_C420;  // for YUV
    bool full = false;         // YUV levels 0..255
};

bool offers(const AVCodec *codec, AVPixelFormat f) {
    if (codec->pix_fmts == nullptr) return f == AV_PIX_FMT_YUV420P;
    for (const AVPixelFormat *p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == f) return true;
    }
    return false;
}

// RGB where the encoder takes it, which keeps the frames exactly; else 4:2:0 (then 4:4:4,
// 4:2:2) in the range of the clip, or full range where the encoder takes only that (MJPEG).
feed feed_for(const AVCodec *codec, bool full_range) {
    struct rgb_row {
        AVPixelFormat format;
        int32_t kind;
    };
    constexpr rgb_row kRgb[] = {
        {AV_PIX_FMT_BGR0, TV_BGR0}, {AV_PIX_FMT_BGR24, TV_BGR24}, {AV_PIX_FMT_RGB24, TV_RGB24}};
    for (const rgb_row &row : kRgb) {
        if (offers(codec, row.format)) return {row.format, row.kind, TV_C444, true};
    }
    struct yuv_row {
        AVPixelFormat studio, full;
        int32_t layout;
    };
    constexpr yuv_row kRows[] = {{AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, TV_C420},
                                 {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ444P, TV_C444},
                                 {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUVJ422P, TV_C422}};
    for (const yuv_row &row : kRows) {
        if (full_range && offers(codec, row.full)) return {row.full, TV_YUV, row.layout, true};
        if (offers(codec, row.studio)) return {row.studio, TV_YUV, row.layout, full_range};
        if (offers(codec, row.full)) return {row.full, TV_YUV, row.layout, true};
    }
    return {};
}

bool takes_option(const AVCodec *codec, const char *name) {
    const AVClass *c = codec->priv_class;
    return c != nullptr && av_opt_find(&c, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

}  // namespace
}  // namespace tamsa::video

using tamsa::video::fail;
using tamsa::video::misuse;

struct tv_writer {
    std::string path, temporary;
    std::string rate, aspect;
    char interlace = 'p';
    bool full_range = false;
    tamsa::video::feed how;
    const tamsa::tools::container_row *container = nullptr;
    const AVCodec *codec = nullptr;
    int32_t has_crf = 0, crf = 0;
    int64_t bit_rate = 0;
    AVFormatContext *oc = nullptr;
    AVCodecContext *ctx = nullptr;
    AVStream *st = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    bool finished = false;
    int64_t frames = 0;

    tv_writer() = default;
    tv_writer(const tv_writer &) = delete;
    tv_writer &operator=(const tv_writer &) = delete;
    ~tv_writer() {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        if (oc != nullptr) {
            if (oc->pb != nullptr) avio_closep(&oc->pb);
            avformat_free_context(oc);
        }
        if (!finished && !temporary.empty()) std::remove(temporary.c_str());
    }

    [[noreturn]] void failed(const std::string &what, int error) const {
        fail(path + ": " + what + " (" + tamsa::video::av_words(error) + ")");
    }

    void open(const tv_writer_args &a);
    void start(int32_t width, int32_t height);
    void send();
    void encode(AVFrame *f);
    void finish();
};

void tv_writer::open(const tv_writer_args &a) {
    av_log_set_level(a.verbose != 0 ? AV_LOG_WARNING : AV_LOG_QUIET);
    path = a.path;
    rate = a.rate != nullptr ? a.rate : "";
    aspect = a.aspect != nullptr ? a.aspect : "";
    interlace = a.interlace;
    full_range = a.full_range != 0;
    has_crf = a.has_crf;
    crf = a.crf;
    bit_rate = a.bit_rate;
    const std::string chosen = a.codec != nullptr ? a.codec : "";
    container = tamsa::tools::container_of(path);
    if (container == nullptr) misuse(path + ": not a video file's name");
    const AVOutputFormat *muxer = av_guess_format(container->muxer, nullptr, nullptr);
    if (muxer == nullptr)
        fail(path + ": this libavformat writes no " + container->muxer + " files");
    const std::string wanted = chosen.empty() ? container->codec : chosen;
    codec = avcodec_find_encoder_by_name(wanted.c_str());
    if (codec == nullptr && chosen.empty() && wanted == "libx264") {
        // Debian's libavcodec has libx264; a build without it takes its own H.264 encoder, and
        // the summary names it.
        codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    }
    if (codec == nullptr) {
        if (!chosen.empty()) {
            misuse("--codec " + wanted +
                   ": this libavcodec has no encoder of that name (ffmpeg -encoders lists them)");
        }
        fail(path + ": this libavcodec has no " + wanted +
             " encoder; --codec NAME chooses another (ffmpeg -encoders lists them)");
    }
    if (codec->type != AVMEDIA_TYPE_VIDEO) misuse("--codec " + wanted + " encodes no video");
    if (avformat_query_codec(muxer, codec->id, FF_COMPLIANCE_NORMAL) == 0) {
        misuse("--codec " + wanted + ": a ." + container->ext + " file does not hold " +
               avcodec_get_name(codec->id));
    }
    // JPEG's YUV is full range; studio range there is off the standard.
    how = tamsa::video::feed_for(codec, full_range || codec->id == AV_CODEC_ID_MJPEG);
    if (how.format == AV_PIX_FMT_NONE) {
        misuse("--codec " + wanted +
               " takes none of the layouts written here (RGB, or 8-bit 4:2:0, 4:4:4 or 4:2:2 "
               "YUV)");
    }
    if (has_crf != 0 && !tamsa::video::takes_option(codec, "crf")) {
        misuse(std::string("--crf: ") + codec->name +
               " takes no constant quality; --bitrate R sets its bits a second");
    }
    const AVCodecDescriptor *d = avcodec_descriptor_get(codec->id);
    if (bit_rate != 0 && d != nullptr && (d->props & AV_CODEC_PROP_LOSSLESS) != 0 &&
        (d->props & AV_CODEC_PROP_LOSSY) == 0) {
        misuse(std::string("--bitrate: ") + codec->name + " is lossless and takes no bit rate");
    }
    struct stat there {};
    if (stat(path.c_str(), &there) == 0) {
        if (S_ISDIR(there.st_mode)) fail(path + " is a directory");
        if (a.overwrite == 0) fail(path + " already exists; --overwrite (-y) replaces it");
    }
    // Written beside the target and renamed once whole, as a Y4M file is.
    temporary = path + ".part" + std::to_string(getpid());
    const int made = avformat_alloc_output_context2(&oc, muxer, nullptr, temporary.c_str());
    if (made < 0) failed("cannot start the file", made);
    const int opened = avio_open(&oc->pb, temporary.c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) fail(path + ": cannot write (" + tamsa::video::av_words(opened) + ")");
}

void tv_writer::start(int32_t width, int32_t height) {
    ctx = avcodec_alloc_context3(codec);
    frame = av_frame_alloc();
    pkt = av_packet_alloc();
    if (ctx == nullptr || frame == nullptr || pkt == nullptr) fail(path + ": out of memory");
    const AVRational r = tamsa::video::ratio_of(rate.c_str(), {25, 1});
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = how.format;
    ctx->time_base = av_inv_q(r);
    ctx->framerate = r;
    ctx->sample_aspect_ratio = tamsa::video::ratio_of(aspect.c_str(), {0, 1});
    ctx->field_order = interlace == 'p'   ? AV_FIELD_PROGRESSIVE
                       : interlace == 't' ? AV_FIELD_TT
                       : interlace == 'b' ? AV_FIELD_BB
                                          : AV_FIELD_UNKNOWN;
    if (interlace == 't' || interlace == 'b')
        ctx->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    if (how.kind == TV_YUV) {
        ctx->color_range = how.full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        ctx->colorspace = AVCOL_SPC_SMPTE170M;
    }
    // The encoder's own threads; FFV1 spreads over them by slices, which its version 3 has.
    ctx->thread_count = 0;
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (codec->id == AV_CODEC_ID_FFV1) ctx->level = 3;
    if (has_crf != 0) {
        const int set = av_opt_set_double(ctx->priv_data, "crf", crf, 0);
        if (set < 0) {
            misuse("--crf " + std::to_string(crf) + ": " + codec->name + " does not take it (" +
                   tamsa::video::av_words(set) + ")");
        }
    }
    if (bit_rate != 0) {
        ctx->bit_rate = bit_rate;
    } else if (codec->id == AV_CODEC_ID_MJPEG) {
        // MJPEG's default is a low bit rate; a fixed quality of 3 (of 2 to 31) keeps detail.
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 3;
    }
    if ((oc->oformat->flags & AVFMT_GLOBALHEADER) != 0) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int opened = avcodec_open2(ctx, codec, nullptr);
    if (opened < 0) failed(std::string("cannot open the ") + codec->name + " encoder", opened);
    st = avformat_new_stream(oc, nullptr);
    if (st == nullptr) fail(path + ": out of memory");
    const int copied = avcodec_parameters_from_context(st->codecpar, ctx);
    if (copied < 0) failed("cannot describe the stream", copied);
    st->time_base = ctx->time_base;
    st->avg_frame_rate = r;
    st->r_frame_rate = r;
    st->sample_aspect_ratio = ctx->sample_aspect_ratio;
    const int header = avformat_write_header(oc, nullptr);
    if (header < 0) failed("cannot write the header", header);
    frame->format = how.format;
    frame->width = width;
    frame->height = height;
    const int got = av_frame_get_buffer(frame, 0);
    if (got < 0) failed("out of memory", got);
}

// Sends the frame filled in, with its time and fields.
void tv_writer::send() {
    if (interlace == 't' || interlace == 'b') {
        frame->interlaced_frame = 1;
        frame->top_field_first = interlace == 't' ? 1 : 0;
    }
    if ((ctx->flags & AV_CODEC_FLAG_QSCALE) != 0) frame->quality = ctx->global_quality;
    frame->pts = frames;
    encode(frame);
    ++frames;
}

// Sends a frame (null: the end) and writes every packet that comes out.
void tv_writer::encode(AVFrame *f) {
    int r = avcodec_send_frame(ctx, f);
    if (r < 0) failed("cannot encode frame " + std::to_string(frames + 1), r);
    for (;;) {
        r = avcodec_receive_packet(ctx, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        if (r < 0) failed("cannot encode frame " + std::to_string(frames + 1), r);
        av_packet_rescale_ts(pkt, ctx->time_base, st->time_base);
        pkt->stream_index = st->index;
        r = av_interleaved_write_frame(oc, pkt);
        if (r < 0) failed("cannot write", r);
    }
}

void tv_writer::finish() {
    // With no frame there is no stream to write: no file is made.
    if (ctx == nullptr) return;
    encode(nullptr);
    const int trailer = av_write_trailer(oc);
    if (trailer < 0) failed("cannot write the trailer", trailer);
    const int closed = avio_closep(&oc->pb);
    if (closed < 0) failed("cannot write", closed);
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        fail(path + ": cannot write (" + std::strerror(errno) + ")");
    finished = true;
}

namespace tamsa::video {

int writer_open(const tv_writer_args *args, tv_writer **writer, tv_feed *feed, tv_error *error) {
    *writer = nullptr;
    return guarded(error, [&] {
        auto w = std::make_unique<tv_writer>();
        w->open(*args);
        *feed = tv_feed{w->how.kind, w->how.layout, w->how.full ? 1 : 0};
        *writer = w.release();
        return int(TV_OK);
    });
}

int writer_frame(tv_writer *w, int32_t width, int32_t height, tv_planes *to, tv_error *error) {
    return guarded(error, [&] {
        if (w->ctx == nullptr) w->start(width, height);
        if (width != w->ctx->width || height != w->ctx->height)
            fail(w->path + ": frames of one run are of one size");
        // The encoder may still hold the last frame's buffer.
        const int made = av_frame_make_writable(w->frame);
        if (made < 0) w->failed("out of memory", made);
        const int planes = w->how.kind == TV_YUV ? 3 : 1;
        for (int k = 0; k < 3; ++k) {
            to->data[k] = k < planes ? w->frame->data[k] : nullptr;
            to->stride[k] = k < planes ? w->frame->linesize[k] : 0;
        }
        to->field = w->interlace;
        return int(TV_OK);
    });
}

int writer_send(tv_writer *w, tv_error *error) {
    return guarded(error, [&] {
        w->send();
        return int(TV_OK);
    });
}

int writer_finish(tv_writer *w, tv_error *error) {
    return guarded(error, [&] {
        w->finish();
        return int(TV_OK);
    });
}

void writer_describe(const tv_writer *w, char *text, size_t size) {
    std::string kind = avcodec_get_name(w->codec->id);
    if (kind == "h264") {
        kind = "H.264";
    } else {
        for (char &c : kind) c = char(std::toupper(static_cast<unsigned char>(c)));
    }
    std::snprintf(text, size, "%s by %s, %s", kind.c_str(), w->codec->name,
                  av_get_pix_fmt_name(w->how.format));
}

void writer_close(tv_writer *w) {
    delete w;
}

}  // namespace tamsa::video
