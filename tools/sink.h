// Where the recorder's frames go: numbered files (PPM, PGM or PNG) and a contact sheet in a
// directory, one stream of PPM, PNG, raw RGB or Y4M frames on standard output, or a Y4M file.
#ifndef TAMSA_TOOLS_SINK_H
#define TAMSA_TOOLS_SINK_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/picture.h"
#include "tools/sheet.h"
#include "tools/y4m_out.h"

namespace tamsa::tools {

// Puts blue-first pixels red first where they are, then writes them to fd, after a PPM header
// when asked, in as few calls as the system takes; false with errno when writing failed.
bool write_in_place(int fd, uint8_t *bgr, int32_t width, int32_t height, bool ppm_header);

class frame_sink {
   public:
    // dir: a directory, "-" for standard output, a name ending in .y4m for a Y4M file, "" for
    // nothing; format: ppm, pgm, pnm, png, rgb or y4m (lower case). A directory is made when
    // missing; one that holds an earlier run's frames is refused, or cleared of them with
    // overwrite; so is a Y4M file that exists. Throws cli::usage_error or cli::failure.
    frame_sink(const std::string &dir, bool overwrite, const std::string &format,
               uint32_t sheet_every, const y4m_spec &spec = {});
    ~frame_sink();
    frame_sink(const frame_sink &) = delete;
    frame_sink &operator=(const frame_sink &) = delete;

    bool stream() const { return dir_ == "-" || y4m_file(); }
    bool writes() const { return !dir_.empty(); }

    // Writes frame index (from 0), and keeps every Nth for the contact sheet. Throws
    // cli::failure, also for a colour frame when PGM was asked for.
    void write(const picture &p, uint32_t index);
    // Whether write_bus() takes the frames: PPM or raw RGB on standard output.
    bool takes_bus_frames() const { return dir_ == "-" && (format_ == "ppm" || format_ == "rgb"); }
    // Writes a frame as the bus holds it, blue first, without a copy: see write_in_place().
    // Throws cli::failure.
    void write_bus(uint8_t *bgr, int32_t width, int32_t height);
    // Writes the contact sheet, or flushes the stream (and gives a Y4M file its name); returns
    // the sheet's file or "".
    std::string finish();

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
};

}  // namespace tamsa::tools

#endif
