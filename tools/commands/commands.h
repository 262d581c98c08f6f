// The subcommands of the tamsa command.
#ifndef TAMSA_TOOLS_COMMANDS_COMMANDS_H
#define TAMSA_TOOLS_COMMANDS_COMMANDS_H

#include "tools/commands/cli.h"

namespace tamsa::tools {

int serve_command(cli::args &args);
int image_command(cli::args &args);

}  // namespace tamsa::tools

#endif
