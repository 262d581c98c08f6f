/* The video module's table: libavformat and libavcodec behind a few plain C functions. The
 * command opens the module (dlopen) only for a clip or an output that is a video file, so that
 * a run on Y4M, raw planes or pictures never loads those libraries. Nothing crosses the table
 * but plain records, pointers and status codes: no C++ exception, no libav type. */
#ifndef TAMSA_TOOLS_VIDEO_MODULE_H
#define TAMSA_TOOLS_VIDEO_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raised whenever the table or a record in it changes: a module of another version is not
 * used. */
#define TAMSA_VIDEO_VERSION 2
/* The one symbol the module exports. */
#define TAMSA_VIDEO_ENTRY "tamsa_video_module"

/* What a call gives back. */
enum {
    TV_OK = 0,
    TV_NOT_VIDEO = 1, /* reader_open: libavformat does not take the file for a video file */
    TV_END = 2,       /* reader_next: the clip is over (cut short when the error says why) */
    TV_FAILED = -1,   /* the error says what could not be read, written or made */
    TV_USAGE = -2     /* the command line asked for what cannot be: the error says what */
};

/* Chroma layouts, in the order of the command's own. */
enum { TV_C420 = 0, TV_C422 = 1, TV_C444 = 2, TV_C411 = 3, TV_MONO = 4 };

/* How the writer takes frames: RGB in one of three byte orders, or YUV planes. */
enum { TV_YUV = 0, TV_BGR0 = 1, TV_BGR24 = 2, TV_RGB24 = 3 };

typedef struct tv_error {
    char text[1024];
} tv_error;

/* A clip's stream as its header and first frame say it. */
typedef struct tv_clip_info {
    int32_t width, height;
    int32_t layout;     /* TV_C420 ... TV_MONO */
    char interlace;     /* p, t, b or m (each frame says) */
    int32_t full_range; /* levels 0..255 */
    int32_t range_said; /* 0: grey frames that do not say their range */
    char rate[32];      /* "30000:1001", or "" when the stream does not say */
    char aspect[32];    /* "16:15", or "0:0" */
    uint32_t frames;    /* how many the stream says it holds, or 0 */
} tv_clip_info;

/* One frame's planes: Y, then U and V (none for grey), each with its row length in bytes. */
typedef struct tv_planes {
    uint8_t *data[3];
    int32_t stride[3];
    char field; /* t, b or p: the frame's own interlacing */
} tv_planes;

typedef struct tv_writer_args {
    const char *path;
    int32_t overwrite;
    const char *rate;   /* "25:1" */
    const char *aspect; /* "0:0" unknown */
    char interlace;     /* p, t, b or m */
    int32_t full_range;
    int32_t verbose;   /* libav's own warnings on stderr */
    const char *codec; /* an encoder by libavcodec's name; "" the container's default */
    int32_t has_crf, crf;
    int64_t bit_rate; /* 0: the encoder's default */
} tv_writer_args;

/* What the writer asks for: the kind (TV_YUV or an RGB order), and for YUV the layout and
 * whether in full range. */
typedef struct tv_feed {
    int32_t kind;
    int32_t layout;
    int32_t full_range;
} tv_feed;

typedef struct tv_reader tv_reader;
typedef struct tv_writer tv_writer;

typedef struct tamsa_video_api {
    uint32_t version; /* TAMSA_VIDEO_VERSION */
    uint32_t size;    /* sizeof(tamsa_video_api) */

    /* Opens path as a video file: TV_OK (info filled), TV_NOT_VIDEO (raw planes, damaged Y4M,
     * no video stream: nothing is kept) or an error. verbose lets libav's warnings through. */
    int (*reader_open)(const char *path, int32_t verbose, tv_reader **reader, tv_clip_info *info,
                       tv_error *error);
    /* The next frame, whose planes stay valid until the next call: TV_OK, TV_END (with the
     * reason in the error when the file could not be read or decoded to its end, else an
     * empty text) or TV_FAILED. */
    int (*reader_next)(tv_reader *reader, tv_planes *frame, tv_error *error);
    /* From any thread: a read that waits, and every later one, ends the clip. */
    void (*reader_cancel)(tv_reader *reader);
    /* Frees the reader; frames still held stay valid until released. */
    void (*reader_close)(tv_reader *reader);

    /* Bytes a block needs for the decoder to write a frame's luma plane straight into it, rows
     * exactly width bytes apart; 0 when it cannot (a decoder that takes no buffers of ours, a
     * width its alignment does not allow). */
    size_t (*reader_block_bytes)(tv_reader *reader);
    /* Lends count such blocks, each with a number of the caller's (not 0); frames decoded from
     * now on have their luma planes in one while one is free. The blocks must outlive every
     * frame held, and the reader. */
    int (*reader_lend)(tv_reader *reader, int32_t count, uint8_t *const *blocks,
                       const uint32_t *numbers, tv_error *error);
    /* As reader_next, but the frame stays valid, and its lent block is not written, until
     * reader_release(*hold): *number is the lent block its luma plane is in, or 0. */
    int (*reader_next_held)(tv_reader *reader, tv_planes *frame, uint32_t *number, void **hold,
                            tv_error *error);
    void (*reader_release)(void *hold);

    /* Checks the choice against the container and the encoder (TV_USAGE) and whether the file
     * may be written (TV_FAILED); on TV_OK feed says how frames are to be given. */
    int (*writer_open)(const tv_writer_args *args, tv_writer **writer, tv_feed *feed,
                       tv_error *error);
    /* The planes the next frame is written into (the encoder starts with the first frame). */
    int (*writer_frame)(tv_writer *writer, int32_t width, int32_t height, tv_planes *to,
                        tv_error *error);
    /* Encodes the frame filled in. */
    int (*writer_send)(tv_writer *writer, tv_error *error);
    /* Drains the encoder, writes the trailer and gives the file its name. */
    int (*writer_finish)(tv_writer *writer, tv_error *error);
    /* "H.264 by libx264, yuv420p" into text. */
    void (*writer_describe)(const tv_writer *writer, char *text, size_t size);
    /* Frees the writer; a file not finished is removed. */
    void (*writer_close)(tv_writer *writer);
} tamsa_video_api;

typedef const tamsa_video_api *(*tamsa_video_entry)(void);

#ifdef __cplusplus
}
#endif

#endif
