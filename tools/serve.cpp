// tamsa serve: the server as a process of its own, reached by clients through its socket.
#include <cstdio>

#include "remote/serve.h"
#include "tamsa/client.h"
#include "tools/cli.h"
#include "tools/commands.h"

namespace tamsa::tools {

int serve_command(cli::args &args) {
    std::string port_name = TAMSA_PORT_NAME;
    while (!args.empty()) {
        const std::string option = args.next("an option");
        if (option == "--port") {
            port_name = args.value(option);
        } else {
            throw cli::usage_error{"unknown option for serve: " + option};
        }
    }
    return remote::serve_process(port_name.c_str(), stdout, stderr);
}

}  // namespace tamsa::tools
