// A program started beside the test, its standard output and error read by lines through one
// pipe; killed and waited for when the test lets it go.
#ifndef TAMSA_TESTS_CHILD_PROCESS_H
#define TAMSA_TESTS_CHILD_PROCESS_H

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char **environ;

namespace tamsa_test {

class child {
   public:
    explicit child(const std::vector<std::string> &argv) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output_ = fdopen(out[0], "r");
    }
    ~child() {
        if (pid_ > 0 && !waited_) stop(SIGKILL);
        if (output_ != nullptr) std::fclose(output_);
    }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    // The next line of output, without its line feed ("" at the end).
    std::string line() {
        char buffer[512];
        if (output_ == nullptr || std::fgets(buffer, sizeof buffer, output_) == nullptr) return "";
        std::string s(buffer);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    // Every line up to the end of the output (or the first empty line).
    std::string rest() {
        std::string all, l;
        while (!(l = line()).empty()) all += l + "\n";
        return all;
    }
    void signal(int s) const {
        if (pid_ > 0) kill(pid_, s);
    }
    // The exit status, or 128 + the signal that ended it.
    int wait() {
        if (pid_ <= 0 || waited_) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Sends the signal and waits for the end.
    int stop(int s) {
        signal(s);
        return wait();
    }
    pid_t pid() const { return pid_; }

   private:
    pid_t pid_ = -1;
    FILE *output_ = nullptr;
    bool waited_ = false;
};

}  // namespace tamsa_test

#endif
