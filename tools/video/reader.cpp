// Clips in video files (MP4, MKV, AVI, MOV, NUT and whatever else libavformat reads), decoded by
// libavcodec. Frames in a layout the server converts (8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1, grey)
// come out as they leave the decoder; others are refused with the command that converts them.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/video/shared.h"

namespace tamsa::video {
namespace {

struct format_row {
    AVPixelFormat format;
    int32_t layout;
    bool full;  // the J formats are full range whatever the stream says
};
constexpr format_row kFormats[] = {
    {AV_PIX_FMT_YUV420P, TV_C420, false}, {AV_PIX_FMT_YUVJ420P, TV_C420, true},
    {AV_PIX_FMT_YUV422P, TV_C422, false}, {AV_PIX_FMT_YUVJ422P, TV_C422, true},
    {AV_PIX_FMT_YUV444P, TV_C444, false}, {AV_PIX_FMT_YUVJ444P, TV_C444, true},
    {AV_PIX_FMT_YUV411P, TV_C411, false}, {AV_PIX_FMT_GRAY8, TV_MONO, false},
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

void put_ratio(AVRational r, char *to, size_t size) {
    to[0] = 0;
    if (r.num <= 0 || r.den <= 0) return;
    av_reduce(&r.num, &r.den, r.num, r.den, INT32_MAX);
    std::snprintf(to, size, "%d:%d", r.num, r.den);
}

char field_of(const AVFrame *f) {
    if (f->interlaced_frame == 0) return 'p';
    return f->top_field_first != 0 ? 't' : 'b';
}

// A read that waits is given up once the clip is cancelled.
int interrupted(void *stop) {
    return static_cast<std::atomic<bool> *>(stop)->load() ? 1 : 0;
}

// Blocks the command lends for luma planes, handed to the decoder while one is free; shared by
// the reader and every frame buffer made from it, which may outlive the reader.
struct lent_pool {
    std::mutex m;
    std::vector<std::pair<uint8_t *, uint32_t>> free;  // block, the command's number for it
    std::vector<std::pair<uint8_t *, uint32_t>> all;
    size_t bytes = 0;
    int format = AV_PIX_FMT_NONE;
    int32_t width = 0, height = 0;
    int chroma_stride = 0;
    AVBufferPool *chroma = nullptr;  // chroma planes in memory of the decoder's kind
    ~lent_pool() { av_buffer_pool_uninit(&chroma); }
    uint32_t number_of(const uint8_t *block) {
        std::lock_guard<std::mutex> lock(m);
        for (const auto &b : all) {
            if (b.first == block) return b.second;
        }
        return 0;
    }
};

struct lent_ref {
    std::shared_ptr<lent_pool> pool;
    std::pair<uint8_t *, uint32_t> block;
};

void give_back(void *opaque, uint8_t *) {
    auto *ref = static_cast<lent_ref *>(opaque);
    {
        std::lock_guard<std::mutex> lock(ref->pool->m);
        ref->pool->free.push_back(ref->block);
    }
    delete ref;
}

// The decoder's frames: the luma plane in a lent block, rows width bytes apart, while one is
// free and the frame is of the clip's size and layout; else the decoder's own buffers.
int get_buffer(AVCodecContext *ctx, AVFrame *f, int flags);

}  // namespace
}  // namespace tamsa::video

using tamsa::video::fail;

// The file, the decoder and their buffers, freed together however the clip ends.
struct tv_reader {
    std::string name;
    std::atomic<bool> stop{false};  // lives as long as the file, whose reads it interrupts
    AVFormatContext *fmt = nullptr;
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    int stream = -1;
    int format = AV_PIX_FMT_NONE;
    int32_t width = 0, height = 0, layout = TV_C420;
    bool have_first = false;
    bool flushed = false;
    uint32_t frames = 0;
    std::string truncated;
    std::shared_ptr<tamsa::video::lent_pool> lent;  // read by the decoder's threads

    tv_reader() = default;
    tv_reader(const tv_reader &) = delete;
    tv_reader &operator=(const tv_reader &) = delete;
    ~tv_reader() {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        avformat_close_input(&fmt);
    }

    void open_decoder();
    void describe(tv_clip_info &info);
    bool decode();
    bool cut_short(const char *what, int error);
    int next(tv_planes &out, tv_error *error);
};

void tv_reader::open_decoder() {
    const AVCodec *decoder = nullptr;
    stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (stream == AVERROR_DECODER_NOT_FOUND) {
        const AVStream *st = nullptr;
        for (unsigned k = 0; k < fmt->nb_streams && st == nullptr; ++k) {
            if (fmt->streams[k]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) st = fmt->streams[k];
        }
        const std::string codec =
            st != nullptr ? avcodec_get_name(st->codecpar->codec_id) : "its codec";
        fail(name + ": this libavcodec has no decoder for " + codec);
    }
    if (stream < 0) fail(name + ": holds no video stream");
    AVStream *st = fmt->streams[stream];
    ctx = avcodec_alloc_context3(decoder);
    frame = av_frame_alloc();
    pkt = av_packet_alloc();
    if (ctx == nullptr || frame == nullptr || pkt == nullptr ||
        avcodec_parameters_to_context(ctx, st->codecpar) < 0) {
        fail(name + ": out of memory");
    }
    ctx->opaque = this;
    ctx->get_buffer2 = tamsa::video::get_buffer;
    // The decoder's own threads: decoding runs beside the server's work.
    ctx->thread_count = 0;
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    const int opened = avcodec_open2(ctx, decoder, nullptr);
    if (opened < 0) {
        fail(name + ": cannot open the " + decoder->name + " decoder (" +
             tamsa::video::av_words(opened) + ")");
    }
}

// What the stream and its first frame say: layout, size, range, rate, aspect, fields.
void tv_reader::describe(tv_clip_info &info) {
    AVStream *st = fmt->streams[stream];
    const AVCodecParameters *par = st->codecpar;
    have_first = decode();
    format = have_first ? frame->format : ctx->pix_fmt;
    const tamsa::video::format_row *row = tamsa::video::row_of(format);
    if (row == nullptr) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(format));
        const std::string what = d != nullptr ? d->name : "an unknown layout";
        fail(name + ": frames in " + what +
             " are not read (8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1 or grey); convert them with: "
             "ffmpeg -i " +
             name + " -pix_fmt " + tamsa::video::nearest_layout(d) +
             " -f yuv4mpegpipe - | tamsa record -");
    }
    layout = info.layout = row->layout;
    width = info.width = have_first ? frame->width : ctx->width;
    height = info.height = have_first ? frame->height : ctx->height;
    if (width < 1 || height < 1) fail(name + ": bad frame size");
    AVColorRange range = have_first ? frame->color_range : AVCOL_RANGE_UNSPECIFIED;
    if (range == AVCOL_RANGE_UNSPECIFIED) range = par->color_range;
    info.range_said = 1;
    info.full_range = 0;
    if (row->full) {
        info.full_range = 1;
    } else if (range == AVCOL_RANGE_JPEG || range == AVCOL_RANGE_MPEG) {
        info.full_range = range == AVCOL_RANGE_JPEG;
    } else {
        // Colour streams are studio range unless they say otherwise, as their standards have
        // it; grey ones have no such rule, so they must say or be told.
        info.range_said = row->layout != TV_MONO;
    }
    tamsa::video::put_ratio(st->avg_frame_rate, info.rate, sizeof info.rate);
    if (info.rate[0] == 0) tamsa::video::put_ratio(st->r_frame_rate, info.rate, sizeof info.rate);
    tamsa::video::put_ratio(av_guess_sample_aspect_ratio(fmt, st, have_first ? frame : nullptr),
                            info.aspect, sizeof info.aspect);
    if (info.aspect[0] == 0) std::snprintf(info.aspect, sizeof info.aspect, "0:0");
    switch (par->field_order) {
        case AV_FIELD_PROGRESSIVE:
            info.interlace = 'p';
            break;
        case AV_FIELD_TT:  // top coded first and shown first
        case AV_FIELD_BT:  // bottom coded first, top shown first
            info.interlace = 't';
            break;
        case AV_FIELD_BB:
        case AV_FIELD_TB:
            info.interlace = 'b';
            break;
        default:
            // Not said for the stream: each frame says, when the first is interlaced.
            info.interlace = have_first && frame->interlaced_frame != 0 ? 'm' : 'p';
            break;
    }
    info.frames = st->nb_frames > 0 ? uint32_t(std::min<int64_t>(st->nb_frames, UINT32_MAX)) : 0;
}

// The next decoded frame into frame; false at the end, with truncated set when the file could
// not be read or decoded to its end.
bool tv_reader::decode() {
    for (;;) {
        int r = avcodec_receive_frame(ctx, frame);
        if (r == 0) return true;
        if (r == AVERROR_EOF) return false;
        if (r != AVERROR(EAGAIN)) return cut_short("cannot be decoded", r);
        if (flushed) return false;
        r = av_read_frame(fmt, pkt);
        if (r < 0) {
            if (r != AVERROR_EOF && r != AVERROR_EXIT && !stop.load())
                cut_short("cannot be read", r);
            // The frames the decoder still holds come out before the end.
            flushed = true;
            avcodec_send_packet(ctx, nullptr);
            continue;
        }
        if (pkt->stream_index != stream) {
            av_packet_unref(pkt);
            continue;
        }
        r = avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        if (r < 0 && r != AVERROR(EAGAIN)) return cut_short("cannot be decoded", r);
    }
}

bool tv_reader::cut_short(const char *what, int error) {
    if (truncated.empty()) {
        truncated = "frame " + std::to_string(frames + 1) + " " + what + " (" +
                    tamsa::video::av_words(error) + ")";
    }
    flushed = true;
    return false;
}

int tv_reader::next(tv_planes &out, tv_error *error) {
    if (!have_first) {
        av_frame_unref(frame);
        if (stop.load() || !truncated.empty() || !decode()) {
            tamsa::video::say(error, truncated);
            return TV_END;
        }
    }
    have_first = false;
    if (frame->format != format || frame->width != width || frame->height != height) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
        fail(name + ": frame " + std::to_string(frames + 1) + " is " +
             std::to_string(frame->width) + "x" + std::to_string(frame->height) + " " +
             (d != nullptr ? d->name : "?") + ", and the clip began " + std::to_string(width) +
             "x" + std::to_string(height) + " " + av_get_pix_fmt_name(AVPixelFormat(format)) +
             ": one run takes frames of one size and layout");
    }
    for (int k = 0; k < 3; ++k) {
        const bool there = k == 0 || layout != TV_MONO;
        out.data[k] = there ? frame->data[k] : nullptr;
        out.stride[k] = there ? frame->linesize[k] : 0;
    }
    out.field = tamsa::video::field_of(frame);
    ++frames;
    return TV_OK;
}

namespace tamsa::video {

namespace {

int get_buffer(AVCodecContext *ctx, AVFrame *f, int flags) {
    const auto *r = static_cast<const tv_reader *>(ctx->opaque);
    const std::shared_ptr<lent_pool> pool = std::atomic_load(&r->lent);
    if (pool == nullptr || f->format != pool->format || f->width != pool->width ||
        f->height != pool->height) {
        return avcodec_default_get_buffer2(ctx, f, flags);
    }
    std::pair<uint8_t *, uint32_t> block{nullptr, 0};
    {
        std::lock_guard<std::mutex> lock(pool->m);
        if (!pool->free.empty()) {
            block = pool->free.back();
            pool->free.pop_back();
        }
    }
    if (block.first == nullptr) return avcodec_default_get_buffer2(ctx, f, flags);
    auto *ref = new (std::nothrow) lent_ref{pool, block};
    AVBufferRef *luma =
        ref != nullptr ? av_buffer_create(block.first, pool->bytes, give_back, ref, 0) : nullptr;
    if (luma == nullptr) {
        if (ref != nullptr) give_back(ref, nullptr);
        return avcodec_default_get_buffer2(ctx, f, flags);
    }
    f->buf[0] = luma;
    f->data[0] = block.first;
    f->linesize[0] = pool->width;
    if (pool->chroma != nullptr) {
        for (int k = 1; k < 3; ++k) {
            f->buf[k] = av_buffer_pool_get(pool->chroma);
            if (f->buf[k] == nullptr) {
                for (int j = 0; j < k; ++j) av_buffer_unref(&f->buf[j]);
                for (int j = 0; j < 3; ++j) f->data[j] = nullptr;
                return avcodec_default_get_buffer2(ctx, f, flags);
            }
            f->data[k] = f->buf[k]->data;
            f->linesize[k] = pool->chroma_stride;
        }
    }
    f->extended_data = f->data;
    return 0;
}

// The rows and row lengths the decoder's own buffers have for a frame of the clip's size (its
// reference frames must share them: motion is found by one row length for all), and the bytes a
// lent block needs; 0 when their luma rows are not exactly width bytes apart.
size_t block_bytes_of(tv_reader &r, int *rows, int *chroma_stride, int *chroma_rows) {
    if (r.ctx == nullptr || (r.ctx->codec->capabilities & AV_CODEC_CAP_DR1) == 0) return 0;
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(AVPixelFormat(r.format));
    // The context holds the first frame's layout by now; the alignment follows it.
    if (d == nullptr || r.ctx->pix_fmt != r.format) return 0;
    int w = r.width, h = r.height;
    int align[AV_NUM_DATA_POINTERS] = {};
    avcodec_align_dimensions2(r.ctx, &w, &h, align);
    // As libavcodec's own buffers are laid out: rows widened until every plane's is aligned.
    int linesize[4] = {};
    for (bool aligned = false; !aligned;) {
        if (av_image_fill_linesizes(linesize, AVPixelFormat(r.format), w) < 0) return 0;
        w += w & ~(w - 1);
        aligned = true;
        for (int k = 0; k < 4; ++k) {
            if (align[k] > 0 && linesize[k] % align[k] != 0) aligned = false;
        }
    }
    // Blocks and planes start 64-aligned, which every alignment asked for divides.
    for (int k = 0; k < 3; ++k) {
        if (align[k] > 64 || (align[k] > 0 && 64 % align[k] != 0)) return 0;
    }
    if (linesize[0] != r.width) return 0;
    *rows = h;
    *chroma_stride = linesize[1];
    *chroma_rows = AV_CEIL_RSHIFT(h, d->log2_chroma_h);
    // Room past the last row, as the decoder's own buffers have, for reads a little beyond it.
    return size_t(r.width) * size_t(h) + 16 + 64;
}

}  // namespace

size_t reader_block_bytes(tv_reader *reader) {
    int rows = 0, chroma_stride = 0, chroma_rows = 0;
    return block_bytes_of(*reader, &rows, &chroma_stride, &chroma_rows);
}

int reader_lend(tv_reader *reader, int32_t count, uint8_t *const *blocks, const uint32_t *numbers,
                tv_error *error) {
    return guarded(error, [&] {
        int rows = 0, chroma_stride = 0, chroma_rows = 0;
        const size_t bytes = block_bytes_of(*reader, &rows, &chroma_stride, &chroma_rows);
        if (bytes == 0 || count < 1) return int(TV_OK);
        auto pool = std::make_shared<lent_pool>();
        pool->bytes = bytes;
        pool->format = reader->format;
        pool->width = reader->width;
        pool->height = reader->height;
        if (reader->layout != TV_MONO) {
            pool->chroma_stride = chroma_stride;
            pool->chroma = av_buffer_pool_init(
                size_t(chroma_stride) * size_t(chroma_rows) + 16 + 64, av_buffer_alloc);
            if (pool->chroma == nullptr) fail(reader->name + ": out of memory");
        }
        for (int32_t k = 0; k < count; ++k) {
            if (numbers[k] == 0 || reinterpret_cast<uintptr_t>(blocks[k]) % 64 != 0)
                misuse("a lent block must be numbered and 64-byte aligned");
            pool->free.emplace_back(blocks[k], numbers[k]);
        }
        pool->all = pool->free;
        std::atomic_store(&reader->lent, pool);
        return int(TV_OK);
    });
}

int reader_next_held(tv_reader *reader, tv_planes *frame, uint32_t *number, void **hold,
                     tv_error *error) {
    *hold = nullptr;
    *number = 0;
    return guarded(error, [&] {
        const int r = reader->next(*frame, error);
        if (r != TV_OK) return r;
        AVFrame *held = av_frame_clone(reader->frame);
        if (held == nullptr) fail(reader->name + ": out of memory");
        *hold = held;
        const std::shared_ptr<lent_pool> pool = std::atomic_load(&reader->lent);
        if (pool != nullptr && held->linesize[0] == reader->width)
            *number = pool->number_of(held->data[0]);
        return r;
    });
}

void reader_release(void *hold) {
    auto *f = static_cast<AVFrame *>(hold);
    av_frame_free(&f);
}

int reader_open(const char *path, int32_t verbose, tv_reader **reader, tv_clip_info *info,
                tv_error *error) {
    *reader = nullptr;
    return guarded(error, [&] {
        // libavformat's and libavcodec's own lines only when asked: the command says what
        // matters.
        av_log_set_level(verbose != 0 ? AV_LOG_WARNING : AV_LOG_QUIET);
        auto r = std::make_unique<tv_reader>();
        r->name = path;
        r->fmt = avformat_alloc_context();
        if (r->fmt == nullptr) fail(r->name + ": out of memory");
        r->fmt->interrupt_callback = {interrupted, &r->stop};
        // On failure the context is freed and the pointer cleared.
        if (avformat_open_input(&r->fmt, path, nullptr, nullptr) < 0) return int(TV_NOT_VIDEO);
        // Raw planes are the command's own reader's, with a layout that must be named.
        if (std::strcmp(r->fmt->iformat->name, "rawvideo") == 0) return int(TV_NOT_VIDEO);
        bool video = false;
        if (avformat_find_stream_info(r->fmt, nullptr) >= 0) {
            for (unsigned k = 0; k < r->fmt->nb_streams; ++k) {
                if (r->fmt->streams[k]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) video = true;
            }
        }
        if (!video) return int(TV_NOT_VIDEO);
        *info = tv_clip_info{};
        r->open_decoder();
        r->describe(*info);
        *reader = r.release();
        return int(TV_OK);
    });
}

int reader_next(tv_reader *reader, tv_planes *frame, tv_error *error) {
    return guarded(error, [&] { return reader->next(*frame, error); });
}

void reader_cancel(tv_reader *reader) {
    reader->stop.store(true);
}

void reader_close(tv_reader *reader) {
    delete reader;
}

}  // namespace tamsa::video
