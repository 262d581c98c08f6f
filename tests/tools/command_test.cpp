// The tamsa command as a user runs it: a table of command lines, each with the exit status and
// the first line on stderr it must give.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "tamsa/tamsa.h"
#include "temp_dir.h"
#include "tools/fixtures.h"
#include "tools/picture.h"

namespace {

using tamsa::tools::chroma;
using tamsa_test::pattern_frame;
using tamsa_test::TempDir;
using tamsa_test::write_clip;

struct run_result {
    int status = -1;
    std::string out, err;
};

// Runs the command in dir through the shell, as typed after "tamsa".
run_result run(const TempDir &dir, const std::string &words) {
    const std::string command = "cd '" + dir.path().string() + "' && " TAMSA_COMMAND " " + words +
                                " </dev/null >.stdout 2>.stderr";
    const int status = std::system(command.c_str());
    run_result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = TempDir::read(dir.file(".stdout"));
    r.err = TempDir::read(dir.file(".stderr"));
    return r;
}

struct command_case {
    const char *name;
    std::string words;
    int status;
    std::string first_err;    // how the first line on stderr begins; "" for an empty stderr
    std::string out = "";     // found in stdout, when given
    std::string file = "";    // a file the command must leave, or with a leading '!' must not
    std::string starts = "";  // how that file begins, when given
};

class Command : public ::testing::TestWithParam<command_case> {
   protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const auto frame = [](uint8_t seed) { return pattern_frame(16, 8, seed, chroma::c420); };
        write_clip(dir_->file("c420.y4m"), {frame(1), frame(2), frame(3)});
        write_clip(dir_->file("cut.y4m"), {frame(1), frame(2)}, "",
                   "FRAME\n" + std::string(40, 'x'));
        write_clip(dir_->file("full.y4m"), {frame(1)}, " XCOLORRANGE=FULL");
        write_clip(dir_->file("top.y4m"), {frame(1)}, " It");
        tamsa::tools::picture colour;
        colour.width = 6;
        colour.height = 4;
        colour.pixels.assign(6 * 4 * 3, 0);
        for (size_t i = 0; i < colour.pixels.size(); ++i) colour.pixels[i] = uint8_t(i * 11);
        tamsa::tools::save_picture(dir_->file("in.ppm"), colour);
        tamsa::tools::picture grey = colour;
        grey.channels = 1;
        grey.pixels.resize(6 * 4);
        tamsa::tools::save_picture(dir_->file("grey.pgm"), grey);
        tamsa_test::write_rgba16_png(dir_->file("rgba.png"), {0, 0, 0, 0, 65535, 1, 2, 3});
        for (const char *old : {"old", "old_y"}) {
            std::filesystem::create_directory(dir_->file(old));
            TempDir::write(dir_->file(std::string(old) + "/frame-00009.ppm"), "P6\n1 1\n255\nabc");
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir *dir_;
};

TempDir *Command::dir_ = nullptr;

TEST_P(Command, GivesItsStatusAndFirstLine) {
    const command_case &c = GetParam();
    const run_result r = run(*dir_, c.words);
    EXPECT_EQ(r.status, c.status) << c.words << "\n" << r.err;
    const std::string first = r.err.substr(0, r.err.find('\n'));
    if (c.first_err.empty()) {
        EXPECT_EQ(r.err, "") << c.words;
    } else {
        EXPECT_EQ(first.substr(0, c.first_err.size()), c.first_err) << c.words;
    }
    if (!c.out.empty()) {
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.words << "\n" << r.out;
    }
    if (!c.file.empty()) {
        const bool absent = c.file[0] == '!';
        const std::string path = dir_->file(c.file.substr(absent ? 1 : 0));
        EXPECT_EQ(std::filesystem::exists(path), !absent) << c.words << ": " << c.file;
        if (!absent && !c.starts.empty()) {
            EXPECT_EQ(TempDir::read(path).substr(0, c.starts.size()), c.starts) << c.words;
        }
    }
}

std::string version_line() {
    const std::string v = std::to_string(TAMSA_VERSION_MAJOR) + "." +
                          std::to_string(TAMSA_VERSION_MINOR) + "." +
                          std::to_string(TAMSA_VERSION_PATCH);
    return "tamsa " + v + " (library " + v + ")";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Command,
    ::testing::Values(
        // Help and version: stdout, exit 0, and nothing written.
        command_case{"bare", "", 0, "", "usage: tamsa COMMAND", "!out"},
        command_case{"help", "--help", 0, "", "Exit status: 0 done, 1 failed"},
        command_case{"version", "--version", 0, "", version_line()},
        command_case{"record_help", "record --help", 0, "", "--contrast P", "!out"},
        command_case{"record_h", "record c420.y4m -h", 0, "", "--no-progress"},
        command_case{"serve_help", "serve --help", 0, "", "--port NAME"},
        command_case{"image_help", "image --help", 0, "", "rotate IN OUT DEGREES"},
        command_case{"image_op_help", "image box --help", 0, "", "--step N sets only"},
        // The command line's mistakes: exit 2.
        command_case{"unknown_command", "frobnicate", 2, "tamsa: unknown command: frobnicate"},
        command_case{"unknown_option", "record --wobble", 2,
                     "tamsa record: unknown option: --wobble"},
        command_case{"scale_three_numbers", "record --scale 320x240x3", 2,
                     "tamsa record: bad scale: '320x240x3' (WxH: W and H 1 or more, W x H at most "
                     "67108864 pixels)"},
        command_case{"scale_too_large", "record --scale 100000x100000", 2,
                     "tamsa record: bad scale: '100000x100000' (WxH"},
        command_case{"empty_port", "serve --port ''", 2, "tamsa serve: bad port name: ''"},
        command_case{"bad_format", "record --format gif", 2,
                     "tamsa record: bad format 'gif' (ppm, png or rgb, in any case)"},
        command_case{"rgb_needs_a_stream", "record --format rgb --out rgb", 2,
                     "tamsa record: --format rgb writes raw frames to standard output only", "",
                     "!rgb"},
        command_case{"size_on_y4m", "record c420.y4m --size 16x8 --out sized", 2,
                     "tamsa record: c420.y4m is a Y4M file, whose header gives its frame size", "",
                     "!sized"},
        command_case{"bad_transparency", "image blit in.ppm o.ppm in.ppm 0 0 --transparency 101", 2,
                     "tamsa image: bad transparency: '101' (0..100)", "", "!o.ppm"},
        command_case{"unknown_extension", "image scale in.ppm out.jpg 4x4", 2,
                     "tamsa image: out.jpg: unknown picture format", "", "!out.jpg"},
        // Failures while running: exit 1.
        command_case{"missing_clip", "record none.y4m", 1,
                     "tamsa record: none.y4m: No such file or directory", "", "!out"},
        command_case{"missing_picture", "image scale none.ppm o.ppm 4x4", 1,
                     "tamsa image: none.ppm: No such file or directory"},
        command_case{"earlier_frames", "record c420.y4m --out old", 1,
                     "tamsa record: old/ already holds 1 frame file of an earlier run; "
                     "--overwrite (-y) replaces them",
                     "", "old/frame-00009.ppm"},
        command_case{"colour_as_pgm", "image transpose in.ppm t.pgm", 1,
                     "tamsa image: t.pgm: in.ppm is in colour", "", "!t.pgm"},
        // Runs that go through, some with a warning or a note.
        command_case{"format_in_any_case", "record c420.y4m --format PNG --out png", 0, "",
                     "recorded 3 frames of 16x8", "png/frame-00003.png"},
        command_case{"one_frame", "record --size 16x8 --frames 1 --out one", 0, "",
                     "recorded 1 frame of 16x8 in", "one/contact.png"},
        command_case{"no_output", "record c420.y4m --no-output", 0, "", "recorded 3 frames",
                     "!out"},
        command_case{"overwrite", "record c420.y4m --out old_y -y", 0, "", "recorded 3 frames",
                     "!old_y/frame-00009.ppm"},
        command_case{"truncated", "record cut.y4m --out cut", 0,
                     "tamsa record: warning: cut.y4m: frame 3 is truncated (40 of 192 bytes); "
                     "kept the 2 frames before it",
                     "recorded 2 frames", "cut/contact.png"},
        command_case{"ignored_option", "record c420.y4m --fade-frames 5 --out fade", 0,
                     "tamsa record: warning: --fade-frames has no effect without --fade-with"},
        command_case{"full_range", "record full.y4m --out full", 0,
                     "tamsa record: warning: full.y4m is full range (XCOLORRANGE=FULL), but the "
                     "conversion is studio range"},
        command_case{"interlaced", "record top.y4m --out top", 0,
                     "tamsa record: top.y4m is interlaced (top field first): deinterlacing; "
                     "--no-deinterlace keeps both fields"},
        command_case{"interlaced_kept", "record top.y4m --out top2 --no-deinterlace", 0, ""},
        command_case{"extension_in_any_case", "image scale in.ppm OUT.PNG 3x2", 0, "", "",
                     "OUT.PNG", "\x89PNG"},
        command_case{"grey_stays_grey", "image transpose grey.pgm t.pnm", 0, "", "", "t.pnm",
                     "P5\n4 6\n"},
        command_case{"alpha_dropped", "image transpose rgba.png t.png", 0,
                     "tamsa image: warning: rgba.png: transparency dropped"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
