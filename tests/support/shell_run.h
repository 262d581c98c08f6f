// A program run as a user runs it: a shell line in a scratch directory, with what it wrote on
// standard output and standard error, and its exit status.
#ifndef TAMSA_TESTS_SHELL_RUN_H
#define TAMSA_TESTS_SHELL_RUN_H

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "temp_dir.h"

namespace tamsa_test {

struct run_result {
    int status = -1;  // the exit status, or -1 when it did not exit
    std::string out, err;
};

// Runs line through the shell in dir, its standard output and error caught in files there.
inline run_result run_shell(const TempDir &dir, const std::string &line) {
    const std::string command =
        "cd '" + dir.path().string() + "' && " + line + " >.stdout 2>.stderr";
    const int status = std::system(command.c_str());
    run_result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = TempDir::read(dir.file(".stdout"));
    r.err = TempDir::read(dir.file(".stderr"));
    return r;
}

}  // namespace tamsa_test

#endif
