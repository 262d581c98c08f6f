// SIGINT and SIGTERM end a run on a whole frame: the frames written so far stay whole, the
// contact sheet shows them, and one line says how many were kept. The signal is sent once the
// test has seen a frame go out, never after a wait.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "temp_dir.h"
#include "tools/av_clips.h"
#include "tools/pictures/picture.h"

namespace {

using tamsa_test::TempDir;

struct child {
    pid_t pid = -1;
    int from = -1;  // the read end of the pipe it writes to
};

// Starts the command in dir with its stdout (or, with on_stderr, its stderr) into a pipe; the
// other stream goes to the file .other.
child start(const TempDir &dir, const std::string &words, bool on_stderr) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], on_stderr ? STDERR_FILENO : STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        const std::string command = "cd '" + dir.path().string() + "' && exec " TAMSA_COMMAND " " +
                                    words + " </dev/null " + (on_stderr ? ">" : "2>") + ".other";
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Reads until the text holds what, or the pipe ends; returns what was read.
std::string read_until(int fd, std::string text, size_t bytes, const std::string &what = "") {
    char chunk[4096];
    while (text.size() < bytes && (what.empty() || text.find(what) == std::string::npos)) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, size_t(n));
    }
    return text;
}

int exit_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(StopSignals, AStreamEndsOnAWholeFrame) {
    TempDir dir;
    const child c = start(dir, "record --size 64x48 --frames 1000000 --out - --no-progress", false);
    ASSERT_GT(c.pid, 0);
    const size_t frame = std::string("P6\n64 48\n255\n").size() + 64 * 48 * 3;
    std::string out = read_until(c.from, "", frame);
    ASSERT_GE(out.size(), frame) << "the first frame went out";
    ASSERT_EQ(kill(c.pid, SIGINT), 0);
    out = read_until(c.from, out, SIZE_MAX);
    close(c.from);
    EXPECT_EQ(exit_status(c.pid), 130);
    EXPECT_EQ(out.size() % frame, 0u) << out.size() << " bytes";
    const size_t frames = out.size() / frame;
    EXPECT_EQ(out.rfind("P6\n64 48\n255\n", 0), 0u);
    EXPECT_EQ(out.substr((frames - 1) * frame, 13), "P6\n64 48\n255\n");
    EXPECT_EQ(TempDir::read(dir.file(".other")),
              "tamsa record: stopped by SIGINT: kept " + std::to_string(frames) + " whole frame" +
                  (frames == 1 ? "" : "s") + " on standard output\n");
}

TEST(StopSignals, FilesStayWholeAndTheContactSheetIsMade) {
    TempDir dir;
    const child c = start(dir, "record --size 64x48 --frames 1000000 --out frames -v", true);
    ASSERT_GT(c.pid, 0);
    std::string err = read_until(c.from, "", SIZE_MAX, "frame 1 of the clip");
    ASSERT_NE(err.find("frame 1 of the clip"), std::string::npos) << err;
    ASSERT_EQ(kill(c.pid, SIGTERM), 0);
    err = read_until(c.from, err, SIZE_MAX);
    close(c.from);
    EXPECT_EQ(exit_status(c.pid), 143);
    size_t frames = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir.file("frames"))) {
        const std::string name = e.path().filename().string();
        if (name == "contact.png") continue;
        ++frames;
        // Every file is a whole frame.
        EXPECT_EQ(tamsa::tools::load_picture(e.path().string()).width, 64) << name;
    }
    EXPECT_GE(frames, 1u);
    EXPECT_TRUE(std::filesystem::exists(dir.file("frames/contact.png")));
    const std::string last = "tamsa record: stopped by SIGTERM: kept " + std::to_string(frames) +
                             " whole frame" + (frames == 1 ? "" : "s") + " in frames/\n";
    ASSERT_GE(err.size(), last.size());
    EXPECT_EQ(err.substr(err.size() - last.size()), last);
    EXPECT_EQ(TempDir::read(dir.file(".other")), "") << "no summary after a signal";
}

// A video file is ended as a whole one: its trailer is written and every frame kept decodes.
TEST(StopSignals, AVideoFileIsEndedPlayable) {
    TempDir dir;
    const child c = start(dir, "record --size 64x48 --frames 1000000 --out run.mkv -v", true);
    ASSERT_GT(c.pid, 0);
    std::string err = read_until(c.from, "", SIZE_MAX, "frame 1 of the clip");
    ASSERT_NE(err.find("frame 1 of the clip"), std::string::npos) << err;
    ASSERT_EQ(kill(c.pid, SIGINT), 0);
    err = read_until(c.from, err, SIZE_MAX);
    close(c.from);
    EXPECT_EQ(exit_status(c.pid), 130);
    const std::string said = "tamsa record: stopped by SIGINT: kept ";
    const size_t at = err.rfind(said);
    ASSERT_NE(at, std::string::npos) << err;
    const unsigned long frames = std::stoul(err.substr(at + said.size()));
    EXPECT_GE(frames, 1u);
    EXPECT_EQ(static_cast<unsigned long>(tamsa_test::decode_file(dir.file("run.mkv")).frames),
              frames);
}

}  // namespace
