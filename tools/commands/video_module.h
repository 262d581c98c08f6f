// The video module (tools/video/), opened at first use: only runs that read or write a video
// file load it, and with it libavformat and libavcodec.
#ifndef TAMSA_TOOLS_COMMANDS_VIDEO_MODULE_H
#define TAMSA_TOOLS_COMMANDS_VIDEO_MODULE_H

#include <string>

#include "tools/video/module.h"

namespace tamsa::tools {

// The module's table. Looked for beside the running program, then in the install's library
// directory relative to it. Throws cli::failure saying where it looked and why it could not be
// used.
const tamsa_video_api &video_module();

// Looks for the module at path alone, from now on (for programs that are not the command and
// do not live beside it, such as the tests). Call before the first use.
void set_video_module_path(const std::string &path);

// Whether the module is loaded in this process (for tests).
bool video_module_loaded();

}  // namespace tamsa::tools

#endif
