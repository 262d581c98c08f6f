// The command beside ffmpeg: clips of every common layout converted as ffmpeg converts them,
// and frames piped in from ffmpeg and out to it. Skipped where ffmpeg is not installed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "support.h"
#include "temp_dir.h"
#include "tools/commands/record.h"
#include "tools/pictures/picture.h"

namespace {

using tamsa::tools::picture;
using tamsa::tools::record_options;
using tamsa_test::TempDir;

bool have_ffmpeg() {
    return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

int shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Frames of ffmpeg's moving test picture as a Y4M stream of that pixel format.
std::string test_clip(const std::string &pix_fmt, const std::string &extra, const std::string &size,
                      int frames) {
    return "ffmpeg -v error -f lavfi -i testsrc2=size=" + size + ":rate=25 -frames:v " +
           std::to_string(frames) + " -pix_fmt " + pix_fmt + " " + extra + " -f yuv4mpegpipe";
}

std::vector<picture> record_file(const std::string &path, tamsa::cli::size2 size = {},
                                 uint32_t frames = 0) {
    record_options o;
    o.input = path;
    o.raw_size = size;
    o.frames = frames;
    o.out_dir = "";
    o.progress = false;
    return tamsa::tools::run_record(o, true).kept;
}

std::string bytes_of(const std::vector<picture> &frames) {
    std::string all;
    for (const picture &p : frames) all.append(p.pixels.begin(), p.pixels.end());
    return all;
}

struct format_case {
    const char *name;
    const char *pix_fmt;
    const char *make;       // more arguments for making the clip
    const char *reference;  // filters ahead of ffmpeg's conversion to RGB
};

class FfmpegFormats : public tamsa_test::LeakCheck,
                      public ::testing::WithParamInterface<format_case> {};

// ffmpeg's nearest-neighbour conversion rounds where the table conversion truncates: within 3.
// Its grey-to-RGB path copies luma whatever the range, so grey goes through 4:4:4 there.
TEST_P(FfmpegFormats, EveryChannelWithinThreeLevels) {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const format_case &c = GetParam();
    TempDir dir;
    const std::string clip = dir.file("clip.y4m"), reference = dir.file("ref.rgb");
    ASSERT_EQ(shell(test_clip(c.pix_fmt, c.make, "160x120", 3) + " " + clip), 0);
    ASSERT_EQ(shell("ffmpeg -v error -i " + clip + " -vf '" + c.reference +
                    "format=rgb24' -sws_flags neighbor+accurate_rnd+full_chroma_int+bitexact "
                    "-f rawvideo " +
                    reference),
              0);
    const std::string mine = bytes_of(record_file(clip));
    const std::string theirs = TempDir::read(reference);
    ASSERT_EQ(mine.size(), size_t(160 * 120 * 3 * 3));
    ASSERT_EQ(theirs.size(), mine.size());
    int worst = 0;
    for (size_t i = 0; i < mine.size(); ++i)
        worst = std::max(worst, std::abs(int(uint8_t(mine[i])) - int(uint8_t(theirs[i]))));
    EXPECT_LE(worst, 3) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, FfmpegFormats,
                         ::testing::Values(format_case{"c420", "yuv420p", "", ""},
                                           format_case{"c422", "yuv422p", "", ""},
                                           format_case{"c444", "yuv444p", "", ""},
                                           format_case{"c411", "yuv411p", "", ""},
                                           format_case{"mono", "gray", "-color_range tv",
                                                       "format=yuv444p,"}),
                         [](const auto &info) { return std::string(info.param.name); });

class FfmpegPipes : public tamsa_test::LeakCheck {};

TEST_F(FfmpegPipes, AStreamFromFfmpegIsRecordedLikeTheSameClipInAFile) {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const std::string make = test_clip("yuv420p", "", "64x48", 4);
    ASSERT_EQ(shell(make + " " + dir.file("clip.y4m")), 0);
    ASSERT_EQ(shell(make + " - | " TAMSA_COMMAND " record - --out " + dir.file("out") +
                    " --no-progress >" + dir.file("summary") + " 2>&1"),
              0)
        << TempDir::read(dir.file("summary"));
    const std::vector<picture> expected = record_file(dir.file("clip.y4m"));
    ASSERT_EQ(expected.size(), 4u);
    for (size_t i = 0; i < expected.size(); ++i) {
        char name[48];
        std::snprintf(name, sizeof name, "out/frame-%05zu.ppm", i + 1);
        EXPECT_EQ(tamsa::tools::load_picture(dir.file(name)).pixels, expected[i].pixels) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/frame-00005.ppm")));
}

TEST_F(FfmpegPipes, FramesOnStandardOutputReachFfmpegInEveryFormat) {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string expected = bytes_of(record_file("", {64, 48}, 3));
    struct stream_case {
        const char *format;
        const char *input;  // how ffmpeg is told what it reads
    };
    for (const stream_case c : {stream_case{"ppm", "-f image2pipe -c:v ppm"},
                                stream_case{"PNG", "-f image2pipe -c:v png"},
                                stream_case{"rgb", "-f rawvideo -pix_fmt rgb24 -s 64x48"}}) {
        TempDir dir;
        // The summary goes to stderr, so that stdout holds frames only.
        ASSERT_EQ(
            shell(TAMSA_COMMAND " record --size 64x48 --frames 3 --out - --format " +
                  std::string(c.format) + " 2>" + dir.file("summary") + " | ffmpeg -v error " +
                  c.input + " -i - -f rawvideo -pix_fmt rgb24 " + dir.file("got.rgb")),
            0)
            << c.format;
        EXPECT_EQ(TempDir::read(dir.file("got.rgb")), expected) << c.format;
        EXPECT_EQ(TempDir::read(dir.file("summary")).rfind("recorded 3 frames of 64x48", 0), 0u)
            << c.format;
    }
}

// The largest difference between two byte strings of one size, plane by plane of Y4M frames:
// {luma, chroma}.
std::pair<int, int> worst_by_plane(const std::string &a, const std::string &b, size_t luma,
                                   size_t chroma) {
    std::pair<int, int> worst{0, 0};
    const size_t frame = luma + 2 * chroma;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const int d = std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
        int &w = i % frame < luma ? worst.first : worst.second;
        w = std::max(w, d);
    }
    return worst;
}

// Y4M out into an encoder: the rate stays 29.97 frames a second, and YUV -> RGB -> YUV stays
// within the conversion's error. The clip is made from RGB, so that every colour is one RGB
// can hold; at 4:4:4 the way back is within 1 level. At 4:2:0 each chroma sample is the mean
// of four pixels that were each converted with it and cut to 0..255, so where colours change
// sharply the way back is off by up to 4 levels of luma and 7 of chroma (measured on this
// clip; ffmpeg's conversions are bit-exact, so it does not vary).
TEST_F(FfmpegPipes, Y4mOutKeepsTheRateAndComesBackWithinTheConversionsError) {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    struct round_trip {
        const char *pix_fmt;
        const char *chroma;
        size_t chroma_bytes;
        int luma_error, chroma_error;
    };
    for (const round_trip c : {round_trip{"yuv444p", "444", 64 * 48, 1, 1},
                               round_trip{"yuv420p", "420", 32 * 24, 4, 7}}) {
        TempDir dir;
        const std::string clip = dir.file("clip.y4m"), encoded = dir.file("out.mkv");
        ASSERT_EQ(shell("ffmpeg -v error -f lavfi -i testsrc2=size=64x48:rate=30000/1001 "
                        "-frames:v 5 -vf format=rgb24 -sws_flags "
                        "accurate_rnd+full_chroma_int+bitexact -pix_fmt " +
                        std::string(c.pix_fmt) + " -f yuv4mpegpipe " + clip),
                  0);
        ASSERT_EQ(shell("ffmpeg -v error -i " + clip + " -f rawvideo " + dir.file("in.yuv")), 0);
        // Through a lossless encoder, which takes the rate from the stream.
        ASSERT_EQ(shell(TAMSA_COMMAND " record " + clip + " --out - --format y4m --chroma " +
                        c.chroma + " -q | ffmpeg -v error -i - -c:v ffv1 " + encoded),
                  0)
            << c.pix_fmt;
        ASSERT_EQ(shell("ffprobe -v error -select_streams v -show_entries stream=r_frame_rate "
                        "-of csv=p=0 " +
                        encoded + " >" + dir.file("rate")),
                  0);
        EXPECT_EQ(TempDir::read(dir.file("rate")), "30000/1001\n") << c.pix_fmt;
        ASSERT_EQ(shell("ffmpeg -v error -i " + encoded + " -f rawvideo -pix_fmt " + c.pix_fmt +
                        " " + dir.file("back.yuv")),
                  0);
        const std::string in = TempDir::read(dir.file("in.yuv"));
        const std::string back = TempDir::read(dir.file("back.yuv"));
        ASSERT_EQ(in.size(), (64 * 48 + 2 * c.chroma_bytes) * 5);
        ASSERT_EQ(back.size(), in.size()) << c.pix_fmt;
        const auto [luma, chroma] = worst_by_plane(in, back, 64 * 48, c.chroma_bytes);
        EXPECT_LE(luma, c.luma_error) << c.pix_fmt;
        EXPECT_LE(chroma, c.chroma_error) << c.pix_fmt;
    }
}

}  // namespace
