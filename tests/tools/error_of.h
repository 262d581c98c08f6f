// The one-line complaint a piece of the command throws, or "" when it throws none.
#ifndef TAMSA_TESTS_TOOLS_ERROR_OF_H
#define TAMSA_TESTS_TOOLS_ERROR_OF_H

#include <functional>
#include <string>

#include "tools/commands/cli.h"

namespace tamsa_test {

inline std::string error_of(const std::function<void()> &f) {
    try {
        f();
    } catch (const tamsa::cli::usage_error &e) {
        return e.message;
    } catch (const tamsa::cli::failure &e) {
        return e.message;
    }
    return "";
}

}  // namespace tamsa_test

#endif
