// The tamsa command as a user runs it: a table of command lines, each with the exit status and
// the first line on stderr it must give.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "remote/protocol.h"
#include "shell_run.h"
#include "tamsa/tamsa.h"
#include "temp_dir.h"
#include "tools/fixtures.h"
#include "tools/pictures/picture.h"

namespace {

using tamsa::tools::chroma;
using tamsa_test::pattern_frame;
using tamsa_test::run_result;
using tamsa_test::TempDir;
using tamsa_test::write_clip;

// Runs the command in dir through the shell, as typed after "tamsa", with the file input piped
// to it (none: /dev/null).
run_result run(const TempDir &dir, const std::string &words, const std::string &input) {
    const std::string feed = input.empty() ? "" : "cat '" + input + "' | ";
    return tamsa_test::run_shell(
        dir, feed + TAMSA_COMMAND " " + words + (input.empty() ? " </dev/null" : ""));
}

struct command_case {
    const char *name;
    std::string words;
    int status;
    std::string first_err;     // how the first line on stderr begins; "" for an empty stderr
    std::string out = "";      // found in stdout, when given
    std::string file = "";     // a file the command must leave, or with a leading '!' must not
    std::string starts = "";   // how that file begins, when given
    std::string input = "";    // a file piped to standard input, when given
    std::string no_out = "";   // not found in stdout, when given
    std::string err_has = "";  // found in stderr, when given
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
        tamsa::tools::save_picture(dir_->file("in.jpg"), colour);
        TempDir::write(dir_->file("cmyk.jpg"), tamsa_test::test_jpeg(8, 8, 4));
        TempDir::write(dir_->file("turned.jpg"),
                       tamsa_test::with_exif(tamsa_test::test_jpeg(8, 8, 3), 6));
        TempDir::write(dir_->file("rgba.pam"),
                       "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
                       "abcdefgh");
        write_clip(dir_->file("bottom.y4m"), {frame(1)}, " Ib");
        write_clip(dir_->file("mono.y4m"), {pattern_frame(16, 8, 1, chroma::mono)});
        TempDir::write(dir_->file("cut1.y4m"),
                       "YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(40, 'x'));
        // A 29.97 frames/s clip with a pixel aspect and interlacing of its own.
        std::string ntsc = TempDir::read(dir_->file("top.y4m"));
        ntsc.replace(ntsc.find("F25:1"), 5, "F30000:1001");
        ntsc.replace(ntsc.find("A1:1"), 4, "A10:11");
        TempDir::write(dir_->file("ntsc.y4m"), ntsc);
        // One 16x8 frame of raw 4:2:2 planes: 256 bytes, no whole number of 4:1:1 frames.
        const tamsa::tools::yuv_frame raw = pattern_frame(16, 8, 1, chroma::c422);
        TempDir::write(dir_->file("raw422.yuv"), std::string(raw.y.begin(), raw.y.end()) +
                                                     std::string(raw.u.begin(), raw.u.end()) +
                                                     std::string(raw.v.begin(), raw.v.end()));
        TempDir::write(dir_->file("exists.y4m"), "mine");
        TempDir::write(dir_->file("keep.ppm"), "mine");
        TempDir::write(dir_->file("keep.mp4"), "mine");
        tamsa::tools::save_picture(dir_->file("self.ppm"), colour);
        tamsa::tools::save_picture(dir_->file("self_y.ppm"), colour);
        std::filesystem::create_directory(dir_->file("sheet_only"));
        std::filesystem::create_directory(dir_->file("frames.d"));
        TempDir::write(dir_->file("empty"), "");
        TempDir::write(dir_->file("sheet_only/contact.png"), "an older sheet");
        // Sockets go under the suite's own directory; something else sits where two would go.
        const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        old_runtime_ = runtime != nullptr ? new std::string(runtime) : nullptr;
        setenv("XDG_RUNTIME_DIR", dir_->path().c_str(), 1);
        std::filesystem::create_directory(dir_->file("tamsa"));
        std::filesystem::permissions(dir_->file("tamsa"), std::filesystem::perms::owner_all);
        std::filesystem::create_directory(tamsa::remote::socket_path("dir-in-way"));
        TempDir::write(tamsa::remote::socket_path("file-in-way"), "mine");
        for (const char *old : {"old", "old_y"}) {
            std::filesystem::create_directory(dir_->file(old));
            TempDir::write(dir_->file(std::string(old) + "/frame-00009.ppm"), "P6\n1 1\n255\nabc");
        }
    }
    static void TearDownTestSuite() {
        if (old_runtime_ != nullptr) {
            setenv("XDG_RUNTIME_DIR", old_runtime_->c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        delete old_runtime_;
        old_runtime_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir *dir_;
    static std::string *old_runtime_;
};

TempDir *Command::dir_ = nullptr;
std::string *Command::old_runtime_ = nullptr;

TEST_P(Command, GivesItsStatusAndFirstLine) {
    const command_case &c = GetParam();
    const run_result r = run(*dir_, c.words, c.input);
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
    if (!c.err_has.empty()) {
        EXPECT_NE(r.err.find(c.err_has), std::string::npos) << c.words << "\n" << r.err;
    }
    if (!c.no_out.empty()) {
        EXPECT_EQ(r.out.find(c.no_out), std::string::npos) << c.words << "\n" << r.out;
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
        command_case{
            "bad_format", "record --format gif", 2,
            "tamsa record: bad format 'gif' (ppm, pgm, pnm, png, rgb or y4m, in any case)"},
        command_case{"rgb_needs_a_stream", "record --format rgb --out rgb", 2,
                     "tamsa record: --format rgb writes raw frames to standard output only", "",
                     "!rgb"},
        command_case{"size_on_y4m", "record c420.y4m --size 16x8 --out sized", 2,
                     "tamsa record: c420.y4m is a Y4M file, whose header gives its frame size", "",
                     "!sized"},
        command_case{"bad_transparency", "image blit in.ppm o.ppm in.ppm 0 0 --transparency 101", 2,
                     "tamsa image: bad transparency: '101' (0..100)", "", "!o.ppm"},
        command_case{"unknown_extension", "image scale in.ppm out.gif 4x4", 2,
                     "tamsa image: out.gif: unknown picture format", "", "!out.gif"},
        command_case{"quality_not_jpeg", "image transpose in.ppm q.png --quality 50", 2,
                     "tamsa image: --quality is for a JPEG OUT", "", "!q.png"},
        command_case{"quality_range", "image transpose in.ppm q.jpg --quality 0", 2,
                     "tamsa image: bad quality: '0' (1..100)", "", "!q.jpg"},
        command_case{"jpeg_too_wide", "image scale in.ppm wide.jpg 70000x2", 2,
                     "tamsa image: wide.jpg: a JPEG may be at most 65535 pixels", "", "!wide.jpg"},
        // Failures while running: exit 1.
        command_case{"missing_clip", "record none.y4m", 1,
                     "tamsa record: none.y4m: No such file or directory", "", "!out"},
        command_case{"missing_picture", "image scale none.ppm o.ppm 4x4", 1,
                     "tamsa image: none.ppm: No such file or directory"},
        command_case{"earlier_frames", "record c420.y4m --out old", 1,
                     "tamsa record: old/ already holds 1 frame file of an earlier run; "
                     "--overwrite (-y) replaces them",
                     "", "old/frame-00009.ppm"},
        command_case{"cmyk_jpeg", "image transpose cmyk.jpg c.png", 1,
                     "tamsa image: cmyk.jpg: CMYK JPEG pictures are not read", "", "!c.png"},
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
        command_case{"full_range", "record full.y4m --out full", 0, "", "recorded 1 frame",
                     "full/frame-00001.ppm"},
        command_case{
            "interlaced", "record top.y4m --out top", 0,
            "tamsa record: top.y4m is interlaced (top field first): deinterlacing, keeping the top "
            "field; --no-deinterlace keeps both fields"},
        command_case{"interlaced_kept", "record top.y4m --out top2 --no-deinterlace", 0, ""},
        command_case{"extension_in_any_case", "image scale in.ppm OUT.PNG 3x2", 0, "", "",
                     "OUT.PNG", "\x89PNG"},
        command_case{"grey_stays_grey", "image transpose grey.pgm t.pnm", 0, "", "", "t.pnm",
                     "P5\n4 6\n"},
        command_case{"alpha_dropped", "image transpose rgba.png t.png", 0,
                     "tamsa image: warning: rgba.png: transparency dropped"},
        command_case{"colour_as_pgm", "image transpose in.ppm t.pgm", 0,
                     "tamsa image: t.pgm: the colour result is written grey (BT.601 luma)", "",
                     "t.pgm", "P5\n4 6\n255\n"},
        command_case{"jpeg_in", "image transpose in.jpg j.png", 0, "", "", "j.png", "\x89PNG"},
        command_case{"jpeg_out", "image transpose in.ppm j.jpg --quality 75", 0, "", "", "j.jpg",
                     "\xff\xd8\xff"},
        command_case{"jpeg_stream", "image turn in.jpg - 90 --format JPEG", 0, "", "\xff\xd8\xff"},
        command_case{"exif_orientation", "image transpose turned.jpg e.ppm", 0,
                     "tamsa image: warning: turned.jpg: EXIF orientation 6 is not applied", "",
                     "e.ppm", "P6\n8 8\n"},
        command_case{"pam_alpha_dropped", "image transpose rgba.pam t.pam", 0,
                     "tamsa image: warning: rgba.pam: transparency dropped", "", "t.pam",
                     "P7\nWIDTH 1\nHEIGHT 2\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n"},
        command_case{"pam_stream", "image flip grey.pgm - h --format pam", 0, "",
                     "P7\nWIDTH 6\nHEIGHT 4\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n"},
        // Y4M out: the clip's rate, aspect and interlacing kept, the layout asked for.
        command_case{"y4m_stream", "record ntsc.y4m --no-deinterlace --out - --format y4m", 0,
                     "recorded 1 frame of 16x8",
                     "YUV4MPEG2 W16 H8 F30000:1001 It A10:11 C420jpeg\nFRAME\n"},
        command_case{"y4m_built_in", "record --size 16x8 --frames 2 --out - --format y4m", 0,
                     "recorded 2 frames of 16x8", "YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C411\nFRAME\n"},
        command_case{"y4m_file_420", "record ntsc.y4m --out n.y4m --chroma 420", 0,
                     "tamsa record: ntsc.y4m is interlaced", "frames in n.y4m", "n.y4m",
                     "YUV4MPEG2 W16 H8 F30000:1001 Ip A10:11 C420jpeg\nFRAME\n"},
        command_case{"y4m_scaled_aspect", "record ntsc.y4m --out s.y4m --scale 32x8 -q", 0, "", "",
                     "s.y4m", "YUV4MPEG2 W32 H8 F30000:1001 Ip A5:11 C420jpeg\n"},
        command_case{"y4m_needs_a_stream", "record c420.y4m --format y4m --out y4mdir", 2,
                     "tamsa record: --format y4m writes a stream: add --out - or --out NAME.y4m",
                     "", "!y4mdir"},
        command_case{"y4m_file_other_format", "record c420.y4m --out a.y4m --format png", 2,
                     "tamsa record: --out a.y4m is a Y4M file, not --format png", "", "!a.y4m"},
        command_case{"y4m_file_exists", "record c420.y4m --out exists.y4m", 1,
                     "tamsa record: exists.y4m already exists; --overwrite (-y) replaces it", "",
                     "exists.y4m", "mine"},
        // image in pipes: standard input, a pipe by its name, standard output.
        command_case{"image_from_stdin", "image transpose - piped.png", 0, "", "", "piped.png",
                     "\x89PNG", "in.ppm"},
        command_case{"image_from_a_pipe", "image transpose /dev/stdin pipe.ppm", 0, "", "",
                     "pipe.ppm", "P6\n4 6\n255\n", "in.ppm"},
        command_case{"image_to_stdout", "image flip grey.pgm - v --format pgm", 0, "",
                     "P5\n6 4\n255\n"},
        command_case{"image_to_stdout_ppm", "image turn - - 90", 0, "", "P6\n4 6\n255\n", "", "",
                     "in.ppm"},
        command_case{"image_bad_stream_format", "image turn in.ppm - 90 --format gif", 2,
                     "tamsa image: bad format 'gif' (ppm, pgm, pnm, pam, png, jpeg or jpg, in any "
                     "case)"},
        // Nothing is written over unasked, the input least of all.
        command_case{"image_exists", "image turn in.ppm keep.ppm 90", 1,
                     "tamsa image: keep.ppm already exists; -y (--overwrite) replaces it", "",
                     "keep.ppm", "mine"},
        command_case{"image_own_input", "image rotate self.ppm self.ppm 30", 1,
                     "tamsa image: self.ppm already exists", "", "self.ppm", "P6\n6 4\n"},
        command_case{"image_own_input_y", "image turn self_y.ppm self_y.ppm 90 -y", 0, "", "",
                     "self_y.ppm", "P6\n4 6\n"},
        // A contact sheet alone is no earlier run's frames.
        command_case{"sheet_is_no_frame", "record c420.y4m --out sheet_only", 0, "",
                     "recorded 3 frames", "sheet_only/contact.png", "\x89PNG"},
        // Ranges of frames, raw layouts.
        command_case{"start", "record c420.y4m --start 1 --frames 1 --out start", 0, "",
                     "recorded 1 frame of 16x8 from frame 2", "!start/frame-00002.ppm"},
        command_case{"start_past_the_end", "record c420.y4m --start 3 --out past", 1,
                     "tamsa record: c420.y4m: it has 3 frames, and --start 3 skips them all; no "
                     "frame to keep"},
        command_case{"raw_layout", "record raw422.yuv --size 16x8 --pix-fmt yuv422p --out r422", 0,
                     "", "recorded 1 frame of 16x8", "r422/frame-00001.ppm"},
        command_case{"raw_wrong_layout",
                     "record raw422.yuv --size 16x8 --pix-fmt yuv411p --out rbad", 2,
                     "tamsa record: raw422.yuv: 256 bytes is not a whole number of 16x8 yuv411p "
                     "frames (192 bytes each)",
                     "", "!rbad"},
        command_case{"raw_bad_layout", "record raw422.yuv --size 16x8 --pix-fmt nv12", 2,
                     "tamsa record: bad pixel format 'nv12' (yuv420p, yuv422p, yuv444p, yuv411p "
                     "or gray)"},
        command_case{"pix_fmt_needs_raw", "record c420.y4m --pix-fmt yuv420p", 2,
                     "tamsa record: --pix-fmt gives the layout of raw planes"},
        // Deinterlacing keeps the field first in time, or the one asked for.
        command_case{"bottom_first", "record bottom.y4m --out bottom", 0,
                     "tamsa record: bottom.y4m is interlaced (bottom field first): deinterlacing, "
                     "keeping the bottom field; --no-deinterlace keeps both fields"},
        command_case{"field_asked", "record bottom.y4m --field top --out field", 0,
                     "tamsa record: bottom.y4m is interlaced (bottom field first): deinterlacing, "
                     "keeping the top field"},
        command_case{"bad_field", "record bottom.y4m --field odd", 2,
                     "tamsa record: bad field 'odd' (top or bottom)"},
        // How much is said; options as --name=value; version and help everywhere.
        command_case{"quiet", "record top.y4m --out quiet -q", 0, "", "", "quiet/contact.png", "",
                     "", "recorded"},
        command_case{"quiet_image", "image transpose rgba.png quiet.png --quiet", 0, ""},
        command_case{"verbose", "record c420.y4m --no-output -v", 0,
                     "tamsa record: frame 1 of the clip: 1 message, ", "recorded 3 frames"},
        command_case{"verbose_image", "image transpose in.ppm verbose.ppm -v", 0,
                     "tamsa image: wrote verbose.ppm: 4x6, colour"},
        command_case{"quiet_and_verbose", "record -q -v", 2,
                     "tamsa record: -q (--quiet) and -v (--verbose) cannot go together"},
        command_case{"option_equals_value", "record --scale=32x16 --frames=1 --out=eq", 0, "",
                     "recorded 1 frame of 640x480 as 32x16", "eq/frame-00001.ppm"},
        command_case{"record_version", "record --version", 0, "", version_line(), "!out"},
        command_case{"image_version", "image --version", 0, "", version_line()},
        command_case{"serve_version", "serve --version", 0, "", version_line()},
        command_case{"help_record", "help record", 0, "", "--contrast P", "!out"},
        command_case{"help_image", "help image", 0, "", "rotate IN OUT DEGREES"},
        command_case{"help_serve", "help serve", 0, "", "--port NAME"},
        command_case{"help_unknown", "help frobnicate", 2,
                     "tamsa: no help on 'frobnicate' (commands: record, serve, image)"},
        // Exact quarter turns beside the rotation rule.
        command_case{"turn", "image turn in.ppm turned.ppm 270", 0, "", "", "turned.ppm",
                     "P6\n4 6\n255\n"},
        command_case{"flip", "image flip grey.pgm flipped.pnm h", 0, "", "", "flipped.pnm",
                     "P5\n6 4\n255\n"},
        // Grey clips as PGM.
        command_case{"mono_as_pnm", "record mono.y4m --out mono", 0, "", "recorded 1 frame",
                     "mono/frame-00001.pnm", "P5\n16 8\n255\n"},
        command_case{"mono_as_pgm", "record mono.y4m --out - --format pgm", 0, "recorded 1 frame",
                     "P5\n16 8\n255\n"},
        command_case{"colour_as_pgm_frames", "record c420.y4m --format pgm --out pgm", 2,
                     "tamsa record: --format pgm writes grey frames, and c420.y4m is in colour "
                     "(4:2:0)",
                     "", "!pgm"},
        // Rough edges.
        command_case{"first_frame_cut", "record cut1.y4m --out cut1", 1,
                     "tamsa record: cut1.y4m: frame 1 is truncated (40 of 192 bytes); no frame to "
                     "keep"},
        command_case{"socket_path_is_a_directory", "serve --port dir-in-way", 1,
                     "tamsa serve: cannot serve /", "", "tamsa/dir-in-way.sock", "", "", "",
                     "tamsa/dir-in-way.sock: a directory is in the way (remove it, or pick "
                     "another --port)"},
        command_case{"socket_path_is_a_file", "serve --port file-in-way", 1,
                     "tamsa serve: cannot serve /", "", "tamsa/file-in-way.sock", "mine", "", "",
                     "tamsa/file-in-way.sock: a file that is not a socket is in the way"},
        // Outputs the command cannot write are refused before any work; a directory that is
        // there is taken as it is.
        command_case{"out_other_video_file", "record c420.y4m --out g.webm", 2,
                     "tamsa record: --out g.webm: tamsa record writes no .webm file (a directory "
                     "of frames, a .y4m, .mkv, .mp4, .mov, .avi or .nut file, or a stream); for "
                     "others, pipe Y4M into an encoder: tamsa record CLIP --out - --format y4m | "
                     "ffmpeg -i - g.webm",
                     "", "!g.webm"},
        // Video files are encoded, by the extension's codec or the one asked for.
        command_case{"out_mp4", "record c420.y4m --out g.mp4", 0, "",
                     "frames in g.mp4 (H.264 by libx264, yuv420p)", "g.mp4"},
        command_case{"out_mkv", "record c420.y4m --out g.mkv --frames 2", 0, "",
                     "frames in g.mkv (FFV1 by ffv1, bgr0)", "g.mkv", "\x1a\x45\xdf\xa3"},
        command_case{"out_avi", "record c420.y4m --out g.avi", 0, "",
                     "frames in g.avi (MJPEG by mjpeg, yuvj420p)", "g.avi", "RIFF"},
        command_case{"out_codec", "record c420.y4m --out c.mkv --codec mpeg4 --bitrate 800k", 0, "",
                     "frames in c.mkv (MPEG4 by mpeg4, yuv420p)", "c.mkv"},
        command_case{"out_video_exists", "record c420.y4m --out keep.mp4", 1,
                     "tamsa record: keep.mp4 already exists; --overwrite (-y) replaces it", "",
                     "keep.mp4", "mine"},
        command_case{"out_video_format", "record c420.y4m --out f.mkv --format png", 2,
                     "tamsa record: --out f.mkv is a video file, which takes no --format "
                     "(--codec NAME chooses its encoder)",
                     "", "!f.mkv"},
        command_case{"bad_codec", "record c420.y4m --out b.mp4 --codec nosuch", 2,
                     "tamsa record: --codec nosuch: this libavcodec has no encoder of that name",
                     "", "!b.mp4"},
        command_case{"codec_not_held", "record c420.y4m --out b.mp4 --codec ffv1", 2,
                     "tamsa record: --codec ffv1: a .mp4 file does not hold ffv1", "", "!b.mp4"},
        command_case{"crf_not_taken", "record c420.y4m --out b.mkv --crf 20", 2,
                     "tamsa record: --crf: ffv1 takes no constant quality; --bitrate R sets its "
                     "bits a second",
                     "", "!b.mkv"},
        command_case{"bitrate_lossless", "record c420.y4m --out b.mkv --bitrate 2M", 2,
                     "tamsa record: --bitrate: ffv1 is lossless and takes no bit rate"},
        command_case{"crf_and_bitrate", "record c420.y4m --out b.mp4 --crf 20 --bitrate 2M", 2,
                     "tamsa record: --crf and --bitrate cannot go together"},
        command_case{"bad_bitrate", "record c420.y4m --out b.mp4 --bitrate fast", 2,
                     "tamsa record: bad bit rate 'fast'"},
        command_case{"codec_without_video", "record c420.y4m --codec libx264 --no-output", 0,
                     "tamsa record: warning: --codec, --crf and --bitrate have no effect without "
                     "--out NAME.mkv|.mp4|.mov|.avi|.nut"},
        command_case{"out_picture_file", "record c420.y4m --out f.png", 2,
                     "tamsa record: --out f.png: frames go into a directory, a file each (--out f "
                     "--format png), or into one .y4m file",
                     "", "!f.png"},
        command_case{"out_directory_with_a_dot", "record c420.y4m --out frames.d", 0, "",
                     "recorded 3 frames", "frames.d/frame-00003.ppm"},
        // Inputs that are not what they were taken for say so.
        command_case{"raw_without_size", "record raw422.yuv", 1,
                     "tamsa record: raw422.yuv: not a Y4M file (it does not start with "
                     "YUV4MPEG2) nor a video file; raw planes need --size WxH and --pix-fmt F"},
        command_case{"empty_stdin", "record - --out e", 1,
                     "tamsa record: standard input is empty: no Y4M stream came (ffmpeg -i IN -f "
                     "yuv4mpegpipe - | tamsa record -)",
                     "", "!e", "", "empty"},
        command_case{"second_clip", "record c420.y4m top.y4m", 2,
                     "tamsa record: unexpected argument: top.y4m (more than one input clip)"},
        command_case{"image_extra_argument", "image transpose in.ppm extra.ppm more", 2,
                     "tamsa image: unexpected argument: more (tamsa image OP --help)", "",
                     "!extra.ppm"},
        command_case{"image_correct_no_brightness", "image correct in.ppm corrected.ppm 120", 0, "",
                     "", "corrected.ppm", "P6\n6 4\n"},
        // Sizes in proportion.
        command_case{"range_of_the_built_in_clip", "record --range full --frames 1 --no-output", 0,
                     "tamsa record: warning: --range has no effect on the built-in clip"},
        command_case{"scale_keeps_width", "record c420.y4m --scale 32:-1 --no-output", 0, "",
                     "recorded 3 frames of 16x8 as 32x16"},
        command_case{"scale_keeps_height", "record c420.y4m --scale -1:3 --no-output", 0, "",
                     "recorded 3 frames of 16x8 as 6x3"},
        command_case{"scale_colon", "record c420.y4m --scale 8:2 --no-output", 0, "",
                     "recorded 3 frames of 16x8 as 8x2"},
        command_case{"scale_both_kept", "record --scale -1:-1", 2,
                     "tamsa record: bad scale: '-1:-1' (WxH or W:H, W:-1 or -1:H to keep the "
                     "proportions; W x H at most 67108864 pixels)"},
        command_case{"image_scale_percent", "image scale in.ppm half.ppm 50%", 0, "", "",
                     "half.ppm", "P6\n3 2\n"},
        command_case{"image_scale_keeps_height", "image scale in.ppm wide.ppm 12:-1", 0, "", "",
                     "wide.ppm", "P6\n12 8\n"},
        command_case{"image_scale_bad_percent", "image scale in.ppm p.ppm 0%", 2,
                     "tamsa image: bad size: '0%' (WxH or W:H, W:-1 or -1:H to keep the "
                     "proportions, or N% (1..10000)"},
        command_case{"png_too_wide", "image scale in.ppm big.png 1000001x1", 2,
                     "tamsa image: big.png: a PNG may be at most 1000000 pixels wide and high", "",
                     "!big.png"}),
    [](const auto &info) { return std::string(info.param.name); });

// Frames on standard output are the frame files of the same run, back to back: PPM as they
// are, raw RGB without their headers. The frames are larger than a pipe holds, so that the
// writes into the reader are partial.
TEST(CommandStreams, HoldTheFrameFilesBackToBack) {
    TempDir dir;
    write_clip(dir.file("big.y4m"),
               {pattern_frame(320, 240, 1, chroma::c420), pattern_frame(320, 240, 2, chroma::c420),
                pattern_frame(320, 240, 3, chroma::c420)});
    write_clip(dir.file("fade.y4m"), {pattern_frame(320, 240, 9, chroma::c422)});
    write_clip(dir.file("odd.y4m"),
               {pattern_frame(17, 9, 1, chroma::c444), pattern_frame(17, 9, 2, chroma::c444)});
    for (const std::string options :
         {"big.y4m", "big.y4m --scale 161x97", "big.y4m --remap", "big.y4m --contrast 50 --invert",
          "big.y4m --fade-with fade.y4m --scale 17x9", "odd.y4m --deinterlace --field bottom"}) {
        const run_result files = run(dir, "record " + options + " --out frames -y", "");
        ASSERT_EQ(files.status, 0) << options << ": " << files.err;
        std::string ppm, rgb;
        for (int i = 1;
             std::filesystem::exists(dir.file("frames/frame-0000" + std::to_string(i) + ".ppm"));
             ++i) {
            const std::string name = dir.file("frames/frame-0000" + std::to_string(i) + ".ppm");
            ppm += TempDir::read(name);
            const tamsa::tools::picture p = tamsa::tools::load_picture(name);
            rgb.append(p.pixels.begin(), p.pixels.end());
        }
        ASSERT_FALSE(ppm.empty()) << options;
        for (const std::string format : {"ppm", "rgb"}) {
            // Into a reader, as a pipe; the summary on stderr says the run went through.
            const std::string command = "cd '" + dir.path().string() +
                                        "' && " TAMSA_COMMAND " record " + options + " --format " +
                                        format + " --out - </dev/null 2>.stderr | cat >.stream";
            ASSERT_EQ(std::system(command.c_str()), 0);
            // (The fade clip's end is said first.)
            EXPECT_NE(TempDir::read(dir.file(".stderr")).find("recorded "), std::string::npos)
                << options << ": " << TempDir::read(dir.file(".stderr"));
            EXPECT_TRUE(TempDir::read(dir.file(".stream")) == (format == "ppm" ? ppm : rgb))
                << options << " --format " << format;
        }
    }
}

// What a run leaves: its status, its stderr and stdout without the summary (which gives times)
// but with every frame written to it, and every file of its output directory or Y4M file.
struct run_outcome {
    int status = -1;
    std::string err, stream;
    std::map<std::string, std::string> files;
    bool operator==(const run_outcome &) const = default;
};

// Runs `tamsa record WORDS` in dir with the shell line's redirections, one frame at a time
// through reading, serving and writing, or with the three overlapped.
// redirect: more redirections of its output; reader: what reads its standard output.
run_outcome record_run(const TempDir &dir, const std::string &words, bool overlapped,
                       const std::string &redirect = "",
                       const std::string &reader = "cat >.stream") {
    std::filesystem::remove_all(dir.file("out"));
    std::filesystem::remove_all(dir.file("out.y4m"));
    const std::string command =
        "cd '" + dir.path().string() + "' && (TAMSA_RECORD_SERIAL=" + (overlapped ? "0 " : "1 ") +
        TAMSA_COMMAND " record " + words + " --no-progress </dev/null 2>.stderr " + redirect +
        "; echo $? >.status) | " + reader;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    run_outcome r;
    r.status = std::stoi(TempDir::read(dir.file(".status")));
    const auto untimed = [](const std::string &text) {
        std::istringstream lines(text);
        std::string kept;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("recorded ", 0) != 0) kept += line + "\n";
        }
        return kept;
    };
    r.err = untimed(TempDir::read(dir.file(".stderr")));
    r.stream = reader == "cat >.stream" ? TempDir::read(dir.file(".stream")) : "";
    // Frames on standard output are bytes to compare whole; otherwise it holds the summary.
    if (words.find("--out -") == std::string::npos) r.stream = untimed(r.stream);
    if (std::filesystem::is_directory(dir.file("out"))) {
        for (const auto &e : std::filesystem::directory_iterator(dir.file("out")))
            r.files[e.path().filename().string()] = TempDir::read(e.path().string());
    }
    if (std::filesystem::exists(dir.file("out.y4m")))
        r.files["out.y4m"] = TempDir::read(dir.file("out.y4m"));
    return r;
}

// Overlapping the stages changes no byte written and no way a run ends: clips whose planes are
// read straight into the bus or laid out first, outputs of every kind, a clip cut short or
// damaged mid-way, and a stream whose reader goes away or that has no standard output at all.
TEST(CommandStreams, OverlappedRunsWriteWhatOneFrameAtATimeWrites) {
    TempDir dir;
    const auto frames = [](int32_t w, int32_t h, chroma layout, int n) {
        std::vector<tamsa::tools::yuv_frame> v;
        for (int i = 0; i < n; ++i) v.push_back(pattern_frame(w, h, uint8_t(i * 40 + 1), layout));
        return v;
    };
    write_clip(dir.file("c420.y4m"), frames(160, 120, chroma::c420, 7), " It");
    write_clip(dir.file("c422.y4m"), frames(34, 9, chroma::c422, 4));
    // Frames more than a wide pipe holds, so that a reader that goes away is noticed.
    write_clip(dir.file("big.y4m"), frames(640, 360, chroma::c420, 8));
    write_clip(dir.file("odd444.y4m"), frames(17, 9, chroma::c444, 4));
    write_clip(dir.file("odd420.y4m"), frames(17, 9, chroma::c420, 4));
    write_clip(dir.file("mono.y4m"), frames(16, 8, chroma::mono, 3));
    write_clip(dir.file("cut.y4m"), frames(160, 120, chroma::c420, 5), "",
               "FRAME\n" + std::string(1000, 'x'));
    write_clip(dir.file("damaged.y4m"), frames(160, 120, chroma::c420, 5), "",
               "FRAMX\n" + std::string(30000, 'x'));
    std::string raw;
    for (const auto &f : frames(64, 24, chroma::c411, 5))
        raw += std::string(f.y.begin(), f.y.end()) + std::string(f.u.begin(), f.u.end()) +
               std::string(f.v.begin(), f.v.end());
    TempDir::write(dir.file("raw.yuv"), raw);
    const std::string outputs[] = {"--out - --format ppm", "--out - --format rgb", "--out out -y",
                                   "--out out -y --format png", "--out out.y4m -y"};
    const std::string clips[] = {"c420.y4m",
                                 "c420.y4m --scale 61x33 --remap --contrast 70",
                                 "c420.y4m --fade-with c420.y4m --fade-frames 3 --start 2",
                                 "c422.y4m --frames 3",
                                 "odd444.y4m",
                                 "odd420.y4m --deinterlace",
                                 "mono.y4m",
                                 "raw.yuv --size 64x24 --pix-fmt yuv411p --scale 20x20",
                                 "cut.y4m",
                                 "damaged.y4m"};
    for (const std::string &clip : clips) {
        for (const std::string &out : outputs) {
            const std::string words = clip + " " + out;
            const run_outcome one = record_run(dir, words, false);
            EXPECT_EQ(one.status, clip == "damaged.y4m" ? 1 : 0) << words << "\n" << one.err;
            EXPECT_TRUE(record_run(dir, words, true) == one) << words;
        }
    }
    // The writer fails: the reader goes away after a few bytes, or there is no standard output.
    const struct {
        std::string redirect, reader;
    } failing[] = {{"", "head -c 100 >/dev/null"}, {">&-", "cat >.stream"}};
    for (const auto &f : failing) {
        const std::string words = "big.y4m --out -";
        const run_outcome one = record_run(dir, words, false, f.redirect, f.reader);
        EXPECT_EQ(one.status, 1) << f.reader << "\n" << one.err;
        EXPECT_NE(one.err.find("standard output: "), std::string::npos) << one.err;
        EXPECT_TRUE(record_run(dir, words, true, f.redirect, f.reader) == one) << f.reader;
    }
}

// A clip piped in that stalls after its first frames, with a reader that is gone: the run ends
// on the failed write, as one frame at a time it would, instead of waiting for the next frame.
TEST(CommandStreams, AFailedWriteEndsARunWhoseClipStalls) {
    TempDir dir;
    write_clip(dir.file("two.y4m"),
               {pattern_frame(64, 32, 9, chroma::c420), pattern_frame(64, 32, 90, chroma::c420)});
    const std::string clip = TempDir::read(dir.file("two.y4m"));
    // The test writes into a pipe the command may have left.
    const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, int> status;
    for (const char *serial : {"1", "0"}) {
        int in[2], out[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        close(out[0]);  // the reader is gone before the first frame
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_adddup2(&files, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&files, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&files, STDERR_FILENO, dir.file(".stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::string env_serial = std::string("TAMSA_RECORD_SERIAL=") + serial;
        char *const argv[] = {const_cast<char *>(TAMSA_COMMAND),
                              const_cast<char *>("record"),
                              const_cast<char *>("-"),
                              const_cast<char *>("--out"),
                              const_cast<char *>("-"),
                              const_cast<char *>("--no-progress"),
                              nullptr};
        char *const envp[] = {const_cast<char *>(env_serial.c_str()), nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, TAMSA_COMMAND, &files, nullptr, argv, envp), 0);
        posix_spawn_file_actions_destroy(&files);
        close(in[0]);
        close(out[1]);
        // The whole clip, then nothing more while the write end stays open.
        for (size_t at = 0; at < clip.size();) {
            const ssize_t n = write(in[1], clip.data() + at, clip.size() - at);
            if (n <= 0) break;  // the command has gone already
            at += size_t(n);
        }
        const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
        ASSERT_GE(pidfd, 0);
        pollfd ended{pidfd, POLLIN, 0};
        const bool exited = poll(&ended, 1, 60000) == 1;
        if (!exited) kill(pid, SIGKILL);
        int st = 0;
        waitpid(pid, &st, 0);
        close(pidfd);
        close(in[1]);
        EXPECT_TRUE(exited) << "serial=" << serial << ": still waiting for the clip";
        status[serial] = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        EXPECT_NE(TempDir::read(dir.file(".stderr")).find("standard output: "), std::string::npos);
    }
    std::signal(SIGPIPE, old_pipe);
    EXPECT_EQ(status["1"], 1);
    EXPECT_EQ(status["0"], status["1"]);
}

}  // namespace
