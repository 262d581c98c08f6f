// libavformat and libavcodec live in the video module, which the command opens only for a video
// file: a run on Y4M, raw planes or pictures loads none of them (the dynamic linker's account
// of what it loaded says so), and a command without its module refuses video files in words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "shell_run.h"
#include "temp_dir.h"
#include "tools/av_clips.h"
#include "tools/commands/video_module.h"

namespace {

using tamsa_test::run_result;
using tamsa_test::TempDir;

// The in-process tests read and write video files through the module built beside the command.
const bool module_path_set = (tamsa::tools::set_video_module_path(TAMSA_VIDEO_MODULE), true);

run_result run(const TempDir &dir, const std::string &words, const std::string &program) {
    return tamsa_test::run_shell(dir, program + " " + words + " </dev/null");
}

class VideoModule : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(module_path_set);
        const std::string make[] = {
            "record --frames 3 --size 32x24 --out c.y4m -q",
            "record --frames 1 --size 16x16 --out frames -q",
            "image turn frames/frame-00001.ppm small.jpg 90",
            "record c.y4m --out v.mp4 -q",
        };
        for (const std::string &words : make) {
            const run_result r = run(dir_, words, TAMSA_COMMAND);
            ASSERT_EQ(r.status, 0) << words << ": " << r.err;
        }
        TempDir::write(dir_.file("raw.yuv"), std::string(32 * 24 * 3 * 2, '\x80'));
    }
    TempDir dir_;
};

// What the dynamic linker loaded for a run, by its LD_DEBUG=libs lines on stderr.
TEST_F(VideoModule, OnlyVideoFilesLoadTheModuleAndLibav) {
    struct load_case {
        const char *words;
        bool video;
    };
    const load_case cases[] = {
        {"record c.y4m --out o.y4m -y", false},
        {"record c.y4m --out frames -y --scale 16x12", false},
        {"record raw.yuv --size 32x24 --pix-fmt yuv444p --no-output", false},
        {"image turn small.jpg o.ppm 90 -y", false},
        {"image scale frames/frame-00001.ppm o.png 8x8 -y", false},
        {"record c.y4m --out o.mp4 -y", true},
        {"record v.mp4 --out o.y4m -y", true},
        {"record c.y4m --fade-with v.mp4 --no-output", true},
    };
    for (const load_case &c : cases) {
        const run_result r = run(dir_, c.words, "LD_DEBUG=libs " TAMSA_COMMAND);
        EXPECT_EQ(r.status, 0) << c.words;
        for (const char *library :
             {"libavcodec.so", "libavformat.so", "libavutil.so", "/tamsa_video.so"}) {
            EXPECT_EQ(r.err.find(library) != std::string::npos, c.video)
                << c.words << ": " << library;
        }
    }
}

// A command whose module is missing reads and writes everything but video files, and for those
// says what is missing, with a failure status and no file left behind.
TEST_F(VideoModule, WithoutItsModuleTheCommandRefusesVideoFilesInWords) {
    if (TempDir::read(TAMSA_COMMAND).rfind("#!", 0) == 0)
        GTEST_SKIP() << "the command is started through a script here";
    std::filesystem::create_directory(dir_.file("alone"));
    std::filesystem::copy_file(TAMSA_COMMAND, dir_.file("alone/tamsa"));
    std::filesystem::permissions(dir_.file("alone/tamsa"), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    const std::string alone = dir_.file("alone/tamsa");
    run_result r = run(dir_, "record c.y4m --out o.y4m -q", alone);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    struct refused_case {
        const char *words, *file;
    };
    const refused_case cases[] = {
        {"record c.y4m --out n.mkv", "n.mkv"},
        {"record v.mp4 --out n.y4m", "n.y4m"},
        {"record c.y4m --fade-with v.mp4 --out n.y4m", "n.y4m"},
    };
    for (const refused_case &c : cases) {
        r = run(dir_, c.words, alone);
        EXPECT_EQ(r.status, 1) << c.words;
        EXPECT_NE(r.err.find("video files are read and written by the module tamsa_video.so, "
                             "which is not installed (looked for " +
                             dir_.file("alone/tamsa_video.so")),
                  std::string::npos)
            << c.words << ": " << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir_.file(c.file))) << c.words;
    }
    // A file that is not Y4M may be a video file: both are said.
    r = run(dir_, "record v.mp4 --no-output", alone);
    EXPECT_NE(r.err.find("v.mp4: not a Y4M file (it does not start with YUV4MPEG2), and video "
                         "files are read"),
              std::string::npos)
        << r.err;
}

// A run into a video file starts itself again, with malloc asking for huge pages, before it
// reads anything: frames from standard input all reach the file, as from the clip's file.
TEST_F(VideoModule, ARunIntoAVideoFileStartsAgainBeforeReading) {
    run_result r = run(dir_, "record c.y4m --out f.mkv -q", TAMSA_COMMAND);
    ASSERT_EQ(r.status, 0) << r.err;
    r = tamsa_test::run_shell(
        dir_, "cat c.y4m | LD_DEBUG=files " TAMSA_COMMAND " record - --out s.mkv -q");
    ASSERT_EQ(r.status, 0) << r.err;
    const tamsa_test::decoded_file piped = tamsa_test::decode_file(dir_.file("s.mkv"));
    EXPECT_EQ(piped.frames, 3);
    EXPECT_TRUE(piped.bytes == tamsa_test::decode_file(dir_.file("f.mkv")).bytes);
    std::ifstream thp("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(thp, modes);
    if (modes.find("[madvise]") == std::string::npos || std::getenv("QEMU_CPU") != nullptr) {
        GTEST_SKIP() << "huge pages are not given on request here, or the run is emulated";
    }
    // The dynamic linker says so for each program it starts (a sanitizer's runtime may start
    // one again itself, so a run into a Y4M file gives the count for one start).
    const auto starts = [](const std::string &err) {
        size_t n = 0;
        for (size_t at = err.find("initialize program:"); at != std::string::npos;
             at = err.find("initialize program:", at + 1)) {
            ++n;
        }
        return n;
    };
    const run_result once =
        run(dir_, "record c.y4m --out o.y4m -q -y", "LD_DEBUG=files " TAMSA_COMMAND);
    ASSERT_EQ(once.status, 0) << once.err;
    ASSERT_GT(starts(once.err), 0u);
    EXPECT_EQ(starts(r.err), 2 * starts(once.err)) << r.err.substr(0, 2000);
    // Told already, it starts once.
    r = run(dir_, "record c.y4m --out o.mkv -q -y",
            "GLIBC_TUNABLES=glibc.malloc.hugetlb=1 LD_DEBUG=files " TAMSA_COMMAND);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(starts(r.err), starts(once.err));
}

}  // namespace
