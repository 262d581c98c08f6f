// Where the recorder's frames go: numbered files (PPM, PGM or PNG) and a contact sheet in a
// directory, one stream of PPM, PNG, raw RGB or Y4M frames on standard output, a Y4M file, or
// a video file (video_out.h).
#ifndef TAMSA_TOOLS_WRITERS_SINK_H
#define TAMSA_TOOLS_WRITERS_SINK_H

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/pictures/picture.h"
#include "tools/writers/sheet.h"
#include "tools/writers/video_out.h"
#include "tools/writers/y4m_out.h"

namespace tamsa::tools {

// Puts blue-first pixels red first where they are, then writes them to fd, after a PPM header
// when asked, in as few calls as the system takes; false with errno when writing failed.
bool write_in_place(int fd, uint8_t *bgr, int32_t width, int32_t height, bool ppm_header);

// Frame files written on a few threads at once, each put in place (renamed from the file it
// was written as) in the order the frames came, so that the directory fills as it would one
// frame at a time; a failure leaves the frames before it and nothing after.
class file_pool {
   public:
    explicit file_pool(unsigned workers);
    ~file_pool();
    file_pool(const file_pool &) = delete;
    file_pool &operator=(const file_pool &) = delete;

    // Writes the picture as path, taking its pixels and leaving those of a frame already
    // written (or none) in their place. While too many are in hand, waits for the oldest and
    // puts it in place; throws the failure of one that failed.
    void add(const std::string &path, picture &p);
    // Waits for every frame and puts each in place; throws the first failure.
    void finish();

   private:
    struct job {
        std::string path;
        picture p;
        std::string temporary;
        std::exception_ptr error;
        bool done = false;
    };
    void work();
    void settle_oldest();

    std::mutex m_;
    std::condition_variable queued_, done_;
    std::deque<std::shared_ptr<job>> in_hand_;  // oldest first, until put in place
    std::deque<std::shared_ptr<job>> waiting_;  // for a worker
    std::vector<picture> spare_;                // pixels of frames written, for the next ones
    bool closing_ = false;
    size_t most_in_hand_;
    std::vector<std::thread> workers_;
};

class frame_sink {
   public:
    // dir: a directory, "-" for standard output, a name ending in .y4m for a Y4M file, one
    // ending in .mkv, .mp4, .mov, .avi or .nut for a video file (encoded as video says), ""
    // for nothing; format: ppm, pgm, pnm, png, rgb or y4m (lower case; a video file takes
    // none). A directory is made when missing; one that holds an earlier run's frames is
    // refused, or cleared of them with overwrite; so is a Y4M or video file that exists.
    // writers: threads that write frame files at once (0: each is written by write() itself).
    // Throws cli::usage_error or cli::failure.
    frame_sink(const std::string &dir, bool overwrite, const std::string &format,
               uint32_t sheet_every, const y4m_spec &spec = {}, unsigned writers = 0,
               const video_choice &video = {});
    ~frame_sink();
    frame_sink(const frame_sink &) = delete;
    frame_sink &operator=(const frame_sink &) = delete;

    bool stream() const { return dir_ == "-" || y4m_file(); }
    bool writes() const { return !dir_.empty(); }

    // Writes frame index (from 0), and keeps every Nth for the contact sheet. With writers, a
    // frame file is written later, and p may be left with another frame's pixels. Throws
    // cli::failure, also for a colour frame when PGM was asked for.
    void write(picture &p, uint32_t index);
    // Whether write_bus() takes the frames: PPM or raw RGB on standard output. (Frame files are
    // written from pictures of their own: measured, that costs less than writing a file from
    // the bus.)
    bool takes_bus_frames() const {
        return video_ != nullptr || (dir_ == "-" && (format_ == "ppm" || format_ == "rgb"));
    }
    // Writes a frame as the bus holds it, blue first, without a copy: see write_in_place(); a
    // video file's encoder reads it there. Throws cli::failure.
    void write_bus(uint8_t *bgr, int32_t width, int32_t height);
    // Waits for the frame files in hand to be written and in place; throws the first failure.
    void settle() {
        if (pool_ != nullptr) pool_->finish();
    }
    // Writes the contact sheet, or flushes the stream (and gives a Y4M file its name), or ends
    // the video file; returns the sheet's file or "".
    std::string finish();
    // What a video file's frames are encoded as (video_file::encoded_as()), or "".
    std::string encoded_as() const { return video_ != nullptr ? video_->encoded_as() : ""; }

   private:
    bool y4m_file() const;
    std::string dir_;
    std::string format_;
    uint32_t every_;
    y4m_spec spec_;
    FILE *out_ = nullptr;    // the stream: standard output or the Y4M file's temporary
    std::string temporary_;  // the Y4M file until it is whole
    bool header_done_ = false;
    contact_sheet sheet_;
    std::unique_ptr<file_pool> pool_;  // with writers, for frame files
    std::unique_ptr<video_file> video_;
};

}  // namespace tamsa::tools

#endif
