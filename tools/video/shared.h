// What the module's reader and writer share: their failures, and turning them into the
// table's status and text.
#ifndef TAMSA_TOOLS_VIDEO_SHARED_H
#define TAMSA_TOOLS_VIDEO_SHARED_H

extern "C" {
#include <libavutil/error.h>
}

#include <cstdio>
#include <new>
#include <string>

#include "tools/video/module.h"

namespace tamsa::video {

// Thrown inside the module and caught at the table's edge.
struct problem {
    int status;  // TV_FAILED or TV_USAGE
    std::string text;
};

[[noreturn]] inline void fail(const std::string &text) {
    throw problem{TV_FAILED, text};
}
[[noreturn]] inline void misuse(const std::string &text) {
    throw problem{TV_USAGE, text};
}

inline std::string av_words(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

inline void say(tv_error *error, const std::string &text) {
    if (error != nullptr) std::snprintf(error->text, sizeof error->text, "%s", text.c_str());
}

// Runs f, answering its status, or the status and text of what it threw.
template <typename F>
int guarded(tv_error *error, F &&f) {
    say(error, "");
    try {
        return f();
    } catch (const problem &p) {
        say(error, p.text);
        return p.status;
    } catch (const std::bad_alloc &) {
        say(error, "out of memory");
        return TV_FAILED;
    }
}

// The table's halves, each in its own file.
int reader_open(const char *path, int32_t verbose, tv_reader **reader, tv_clip_info *info,
                tv_error *error);
int reader_next(tv_reader *reader, tv_planes *frame, tv_error *error);
void reader_cancel(tv_reader *reader);
void reader_close(tv_reader *reader);
size_t reader_block_bytes(tv_reader *reader);
int reader_lend(tv_reader *reader, int32_t count, uint8_t *const *blocks, const uint32_t *numbers,
                tv_error *error);
int reader_next_held(tv_reader *reader, tv_planes *frame, uint32_t *number, void **hold,
                     tv_error *error);
void reader_release(void *hold);
int writer_open(const tv_writer_args *args, tv_writer **writer, tv_feed *feed, tv_error *error);
int writer_frame(tv_writer *writer, int32_t width, int32_t height, tv_planes *to, tv_error *error);
int writer_send(tv_writer *writer, tv_error *error);
int writer_finish(tv_writer *writer, tv_error *error);
void writer_describe(const tv_writer *writer, char *text, size_t size);
void writer_close(tv_writer *writer);

}  // namespace tamsa::video

#endif
