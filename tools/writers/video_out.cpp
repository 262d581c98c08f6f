#include "tools/writers/video_out.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "tamsa/internal/tools.h"
#include "tools/commands/cli.h"

namespace tamsa::tools {

namespace {

using cli::failure;
using cli::usage_error;

struct container_row {
    const char *ext;
    const char *muxer;
    const char *codec;  // the default encoder
};
constexpr container_row kContainers[] = {{"mkv", "matroska", "ffv1"},
                                         {"nut", "nut", "ffv1"},
                                         {"mp4", "mp4", "libx264"},
                                         {"mov", "mov", "libx264"},
                                         {"avi", "avi", "mjpeg"}};

const container_row *container_of(const std::string &name) {
    const std::string file = cli::lower(std::filesystem::path(name).filename().string());
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0) return nullptr;
    for (const container_row &row : kContainers) {
        if (file.compare(dot + 1, std::string::npos, row.ext) == 0) return &row;
    }
    return nullptr;
}

std::string av_words(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

AVRational ratio_of(const std::string &text, AVRational otherwise) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return otherwise;
    const long long n = std::atoll(text.substr(0, colon).c_str());
    const long long d = std::atoll(text.substr(colon + 1).c_str());
    if (n <= 0 || d <= 0) return otherwise;
    AVRational r{};
    av_reduce(&r.num, &r.den, n, d, INT32_MAX);
    return r;
}

// How frames are handed to the encoder: RGB as it is, or YUV by the Y4M writer's rule.
struct feed {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    chroma layout = chroma::c420;  // for YUV
    bool full = false;             // YUV levels 0..255
    bool rgb() const {
        return format == AV_PIX_FMT_BGR0 || format == AV_PIX_FMT_BGR24 ||
               format == AV_PIX_FMT_RGB24;
    }
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
    for (AVPixelFormat f : {AV_PIX_FMT_BGR0, AV_PIX_FMT_BGR24, AV_PIX_FMT_RGB24}) {
        if (offers(codec, f)) return {f, chroma::c444, true};
    }
    struct yuv_row {
        AVPixelFormat studio, full;
        chroma layout;
    };
    constexpr yuv_row kRows[] = {{AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, chroma::c420},
                                 {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ444P, chroma::c444},
                                 {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUVJ422P, chroma::c422}};
    for (const yuv_row &row : kRows) {
        if (full_range && offers(codec, row.full)) return {row.full, row.layout, true};
        if (offers(codec, row.studio)) return {row.studio, row.layout, full_range};
        if (offers(codec, row.full)) return {row.full, row.layout, true};
    }
    return {};
}

bool takes_option(const AVCodec *codec, const char *name) {
    const AVClass *c = codec->priv_class;
    return c != nullptr && av_opt_find(&c, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
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

struct video_file::state {
    std::string path, temporary;
    y4m_spec spec;
    video_choice choice;
    const container_row *container = nullptr;
    const AVCodec *codec = nullptr;
    feed how;
    AVFormatContext *oc = nullptr;
    AVCodecContext *ctx = nullptr;
    AVStream *st = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    bool finished = false;
    int64_t frames = 0;
    picture rgb;  // a blue-first frame put red first, for YUV

    ~state() {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        if (oc != nullptr) {
            if (oc->pb != nullptr) avio_closep(&oc->pb);
            avformat_free_context(oc);
        }
        if (!finished && !temporary.empty()) std::remove(temporary.c_str());
    }

    [[noreturn]] void fail(const std::string &what, int error) const {
        throw failure{path + ": " + what + " (" + av_words(error) + ")"};
    }

    void start(int32_t width, int32_t height);
    void send();
    void encode(AVFrame *f);
};

video_file::video_file(const std::string &path, bool overwrite, const y4m_spec &spec,
                       const video_choice &choice)
    : s_(std::make_unique<state>()) {
    av_log_set_level(cli::verbose() ? AV_LOG_WARNING : AV_LOG_QUIET);
    state &s = *s_;
    s.path = path;
    s.spec = spec;
    s.choice = choice;
    s.container = container_of(path);
    if (s.container == nullptr) throw usage_error{path + ": not a video file's name"};
    const AVOutputFormat *muxer = av_guess_format(s.container->muxer, nullptr, nullptr);
    if (muxer == nullptr) {
        throw failure{path + ": this libavformat writes no " + s.container->muxer + " files"};
    }
    const std::string wanted = choice.codec.empty() ? s.container->codec : choice.codec;
    s.codec = avcodec_find_encoder_by_name(wanted.c_str());
    if (s.codec == nullptr && choice.codec.empty() && wanted == "libx264") {
        // Debian's libavcodec has libx264; a build without it takes its own H.264 encoder,
        // and the summary names it.
        s.codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    }
    if (s.codec == nullptr) {
        if (!choice.codec.empty()) {
            throw usage_error{"--codec " + wanted +
                              ": this libavcodec has no encoder of that name (ffmpeg -encoders "
                              "lists them)"};
        }
        throw failure{path + ": this libavcodec has no " + wanted +
                      " encoder; --codec NAME "
                      "chooses another (ffmpeg -encoders lists them)"};
    }
    if (s.codec->type != AVMEDIA_TYPE_VIDEO)
        throw usage_error{"--codec " + wanted + " encodes no video"};
    if (avformat_query_codec(muxer, s.codec->id, FF_COMPLIANCE_NORMAL) == 0) {
        throw usage_error{"--codec " + wanted + ": a ." + s.container->ext +
                          " file does not hold " + avcodec_get_name(s.codec->id)};
    }
    // JPEG's YUV is full range; studio range there is off the standard.
    s.how = feed_for(s.codec, spec.full_range || s.codec->id == AV_CODEC_ID_MJPEG);
    if (s.how.format == AV_PIX_FMT_NONE) {
        throw usage_error{"--codec " + wanted +
                          " takes none of the layouts written here (RGB, or 8-bit 4:2:0, 4:4:4 "
                          "or 4:2:2 YUV)"};
    }
    if (choice.crf.has_value() && !takes_option(s.codec, "crf")) {
        throw usage_error{std::string("--crf: ") + s.codec->name +
                          " takes no constant quality; --bitrate R sets its bits a second"};
    }
    const AVCodecDescriptor *d = avcodec_descriptor_get(s.codec->id);
    if (choice.bit_rate != 0 && d != nullptr && (d->props & AV_CODEC_PROP_LOSSLESS) != 0 &&
        (d->props & AV_CODEC_PROP_LOSSY) == 0) {
        throw usage_error{std::string("--bitrate: ") + s.codec->name +
                          " is lossless and takes no bit rate"};
    }
    std::error_code e;
    if (std::filesystem::is_directory(path, e)) throw failure{path + " is a directory"};
    if (std::filesystem::exists(path, e) && !overwrite)
        throw failure{path + " already exists; --overwrite (-y) replaces it"};
    // Written beside the target and renamed once whole, as a Y4M file is.
    s.temporary = path + ".part" + std::to_string(getpid());
    const int made = avformat_alloc_output_context2(&s.oc, muxer, nullptr, s.temporary.c_str());
    if (made < 0) s.fail("cannot start the file", made);
    const int opened = avio_open(&s.oc->pb, s.temporary.c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) {
        throw failure{path + ": cannot write (" + av_words(opened) + ")"};
    }
}

video_file::~video_file() = default;

void video_file::state::start(int32_t width, int32_t height) {
    ctx = avcodec_alloc_context3(codec);
    frame = av_frame_alloc();
    pkt = av_packet_alloc();
    if (ctx == nullptr || frame == nullptr || pkt == nullptr)
        throw failure{path + ": out of memory"};
    const AVRational rate = ratio_of(spec.rate, {25, 1});
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = how.format;
    ctx->time_base = av_inv_q(rate);
    ctx->framerate = rate;
    ctx->sample_aspect_ratio = ratio_of(spec.aspect, {0, 1});
    ctx->field_order = spec.interlace == 'p'   ? AV_FIELD_PROGRESSIVE
                       : spec.interlace == 't' ? AV_FIELD_TT
                       : spec.interlace == 'b' ? AV_FIELD_BB
                                               : AV_FIELD_UNKNOWN;
    if (spec.interlace == 't' || spec.interlace == 'b')
        ctx->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    if (!how.rgb()) {
        ctx->color_range = how.full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        ctx->colorspace = AVCOL_SPC_SMPTE170M;
    }
    // The encoder's own threads; FFV1 spreads over them by slices, which its version 3 has.
    ctx->thread_count = 0;
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (codec->id == AV_CODEC_ID_FFV1) ctx->level = 3;
    if (choice.crf.has_value()) {
        const int set = av_opt_set_double(ctx->priv_data, "crf", *choice.crf, 0);
        if (set < 0) {
            throw usage_error{"--crf " + std::to_string(*choice.crf) + ": " + codec->name +
                              " does not take it (" + av_words(set) + ")"};
        }
    }
    if (choice.bit_rate != 0) {
        ctx->bit_rate = choice.bit_rate;
    } else if (codec->id == AV_CODEC_ID_MJPEG) {
        // MJPEG's default is a low bit rate; a fixed quality of 3 (of 2 to 31) keeps detail.
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 3;
    }
    if ((oc->oformat->flags & AVFMT_GLOBALHEADER) != 0) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int opened = avcodec_open2(ctx, codec, nullptr);
    if (opened < 0) fail(std::string("cannot open the ") + codec->name + " encoder", opened);
    st = avformat_new_stream(oc, nullptr);
    if (st == nullptr) throw failure{path + ": out of memory"};
    const int copied = avcodec_parameters_from_context(st->codecpar, ctx);
    if (copied < 0) fail("cannot describe the stream", copied);
    st->time_base = ctx->time_base;
    st->avg_frame_rate = rate;
    st->r_frame_rate = rate;
    st->sample_aspect_ratio = ctx->sample_aspect_ratio;
    const int header = avformat_write_header(oc, nullptr);
    if (header < 0) fail("cannot write the header", header);
    frame->format = how.format;
    frame->width = width;
    frame->height = height;
    const int got = av_frame_get_buffer(frame, 0);
    if (got < 0) fail("out of memory", got);
}

// Sends the frame filled in, with its time and fields.
void video_file::state::send() {
    if (spec.interlace == 't' || spec.interlace == 'b') {
        frame->interlaced_frame = 1;
        frame->top_field_first = spec.interlace == 't' ? 1 : 0;
    }
    if ((ctx->flags & AV_CODEC_FLAG_QSCALE) != 0) frame->quality = ctx->global_quality;
    frame->pts = frames;
    encode(frame);
    ++frames;
}

// Sends a frame (null: the end) and writes every packet that comes out.
void video_file::state::encode(AVFrame *f) {
    int r = avcodec_send_frame(ctx, f);
    if (r < 0) fail("cannot encode frame " + std::to_string(frames + 1), r);
    for (;;) {
        r = avcodec_receive_packet(ctx, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        if (r < 0) fail("cannot encode frame " + std::to_string(frames + 1), r);
        av_packet_rescale_ts(pkt, ctx->time_base, st->time_base);
        pkt->stream_index = st->index;
        r = av_interleaved_write_frame(oc, pkt);
        if (r < 0) fail("cannot write", r);
    }
}

void video_file::write_bgr(const uint8_t *bgr, int32_t width, int32_t height) {
    state &s = *s_;
    if (!s.how.rgb()) {
        // YUV is made from red-first pixels.
        s.rgb.width = width;
        s.rgb.height = height;
        s.rgb.channels = 3;
        s.rgb.pixels.resize(size_t(width) * size_t(height) * 3);
        gfx::swap13(bgr, s.rgb.pixels.data(), uint64_t(width) * uint64_t(height));
        write(s.rgb);
        return;
    }
    if (s.ctx == nullptr) s.start(width, height);
    const int w = av_frame_make_writable(s.frame);
    if (w < 0) s.fail("out of memory", w);
    const size_t row = size_t(width) * 3;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *from = bgr + size_t(y) * row;
        uint8_t *to = s.frame->data[0] + ptrdiff_t(y) * s.frame->linesize[0];
        if (s.how.format == AV_PIX_FMT_BGR24) {
            std::memcpy(to, from, row);
        } else if (s.how.format == AV_PIX_FMT_RGB24) {
            gfx::swap13(from, to, uint64_t(width));
        } else {
            for (int32_t x = 0; x < width; ++x, from += 3, to += 4) {
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
                to[3] = 0;
            }
        }
    }
    s.send();
}

void video_file::write(const picture &p) {
    state &s = *s_;
    if (s.how.rgb() || p.channels != 3) {
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
    if (s.ctx == nullptr) s.start(p.width, p.height);
    const int w = av_frame_make_writable(s.frame);
    if (w < 0) s.fail("out of memory", w);
    const std::vector<uint8_t> planes = y4m_planes(p, s.how.layout, s.how.full);
    const int cw = chroma_width(s.how.layout, p.width);
    const int ch = chroma_height(s.how.layout, p.height);
    const uint8_t *from = planes.data();
    for (int plane = 0; plane < 3; ++plane) {
        const int pw = plane == 0 ? p.width : cw, ph = plane == 0 ? p.height : ch;
        for (int y = 0; y < ph; ++y, from += pw) {
            std::memcpy(s.frame->data[plane] + ptrdiff_t(y) * s.frame->linesize[plane], from,
                        size_t(pw));
        }
    }
    s.send();
}

void video_file::finish() {
    state &s = *s_;
    // With no frame there is no stream to write: no file is made.
    if (s.ctx == nullptr) return;
    s.encode(nullptr);
    const int trailer = av_write_trailer(s.oc);
    if (trailer < 0) s.fail("cannot write the trailer", trailer);
    const int closed = avio_closep(&s.oc->pb);
    if (closed < 0) s.fail("cannot write", closed);
    if (std::rename(s.temporary.c_str(), s.path.c_str()) != 0)
        throw failure{s.path + ": cannot write (" + std::strerror(errno) + ")"};
    s.finished = true;
}

std::string video_file::encoded_as() const {
    const state &s = *s_;
    std::string kind = avcodec_get_name(s.codec->id);
    if (kind == "h264") {
        kind = "H.264";
    } else {
        for (char &c : kind) c = char(std::toupper(static_cast<unsigned char>(c)));
    }
    return kind + " by " + s.codec->name + ", " + av_get_pix_fmt_name(s.how.format);
}

}  // namespace tamsa::tools
