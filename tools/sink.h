// Where the recorder's frames go: numbered files (PPM or PNG) and a contact sheet in a
// directory, or one stream of PPM, PNG or raw RGB frames on standard output.
#ifndef TAMSA_TOOLS_SINK_H
#define TAMSA_TOOLS_SINK_H

#include <cstdint>
#include <string>

#include "tools/picture.h"
#include "tools/sheet.h"

namespace tamsa::tools {

class frame_sink {
   public:
    // dir: a directory, "-" for standard output, "" for nothing; format: ppm, png or rgb (lower
    // case). A directory is made when missing; one that holds an earlier run's frames is
    // refused, or cleared of them with overwrite. Throws cli::usage_error or cli::failure.
    frame_sink(const std::string &dir, bool overwrite, const std::string &format,
               uint32_t sheet_every);
    frame_sink(const frame_sink &) = delete;
    frame_sink &operator=(const frame_sink &) = delete;

    bool stream() const { return dir_ == "-"; }
    bool writes() const { return !dir_.empty(); }

    // Writes frame index (from 0), and keeps every Nth for the contact sheet.
    void write(const picture &p, uint32_t index);
    // Writes the contact sheet, or flushes the stream; returns the sheet's file or "".
    std::string finish();

   private:
    std::string dir_;
    std::string format_;
    uint32_t every_;
    contact_sheet sheet_;
};

}  // namespace tamsa::tools

#endif
