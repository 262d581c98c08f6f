#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support.h"
#include "temp_dir.h"
#include "tools/cli.h"
#include "tools/clip.h"
#include "tools/error_of.h"
#include "tools/picture.h"
#include "tools/record.h"

namespace {

using tamsa::cli::usage_error;
using tamsa::tools::picture;
using tamsa::tools::record_options;
using tamsa::tools::yuv_frame;
using tamsa_test::BitmapPtr;
using tamsa_test::error_of;
using tamsa_test::TempDir;

// The recorder's work for one frame, done with the library directly: what the pipeline's
// messages must come to.
struct direct_options {
    tamsa::cli::size2 scale;
    bool correct = false;
    int32_t contrast = 100, brightness = 0;
    bool invert = false;
    bool deinterlace = false;
    const yuv_frame *fade = nullptr;
    int32_t level = 0;
    bool remap = false;
};

BitmapPtr convert_directly(const yuv_frame &f, tamsa::cli::size2 scale) {
    if (scale.width != 0) {
        return BitmapPtr(fx_yuvscale_ll(f.y.data(), f.v.data(), f.u.data(), f.width, f.height,
                                        scale.width, scale.height));
    }
    BitmapPtr b(kv_allocbitmap(f.width, f.height, 3));
    fx_yuvtorgb_ll(f.y.data(), f.v.data(), f.u.data(), b->data, uint32_t(f.width * f.height), 4);
    return b;
}

picture expected_frame(const yuv_frame &f, const direct_options &o) {
    BitmapPtr b = convert_directly(f, o.scale);
    if (o.correct) tamsa_correct_ll(b.get(), o.contrast, o.brightness, o.invert ? 1 : 0);
    if (o.deinterlace) tamsa_deinterlace_ll(b.get());
    if (o.fade != nullptr) {
        BitmapPtr other = convert_directly(*o.fade, o.scale);
        tamsa_fadeover_ll(b->data, other->data, b->data, o.level, b->width, b->height, 3);
    }
    picture p;
    p.width = b->width;
    p.height = b->height;
    const size_t n = size_t(b->width) * size_t(b->height);
    p.pixels.resize(n * 3);
    if (o.remap) {
        // Reduced from the bytes as they stand (blue first), then read back as levels.
        std::vector<uint8_t> cube(n);
        kv_remap24(b->data, cube.data(), nullptr, uint32_t(n * 3));
        for (size_t i = 0; i < n; ++i) {
            const int blue = cube[i] / 36, green = cube[i] / 6 % 6, red = cube[i] % 6;
            p.pixels[i * 3] = uint8_t(red * 51);
            p.pixels[i * 3 + 1] = uint8_t(green * 51);
            p.pixels[i * 3 + 2] = uint8_t(blue * 51);
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            p.pixels[i * 3] = b->data[i * 3 + 2];
            p.pixels[i * 3 + 1] = b->data[i * 3 + 1];
            p.pixels[i * 3 + 2] = b->data[i * 3];
        }
    }
    return p;
}

std::vector<yuv_frame> synthetic_frames(int32_t w, int32_t h, uint32_t n) {
    auto clip = tamsa::tools::synthetic_clip(w, h, n);
    std::vector<yuv_frame> frames(n);
    for (auto &f : frames) clip->next(f);
    return frames;
}

struct record_case {
    const char *name;
    record_options options;
    direct_options direct;
};

record_case make_case(const char *name,
                      std::function<void(record_options &, direct_options &)> set) {
    record_case c{name, {}, {}};
    c.options.raw_size = {64, 24};
    c.options.frames = 4;
    c.options.out_dir = "";
    c.options.progress = false;
    set(c.options, c.direct);
    return c;
}

class Record : public tamsa_test::LeakCheck, public ::testing::WithParamInterface<record_case> {};

TEST_P(Record, PipelineEqualsTheLibraryCalledDirectly) {
    const record_case &c = GetParam();
    const auto report = tamsa::tools::run_record(c.options, true);
    const auto frames = synthetic_frames(64, 24, 4);
    ASSERT_EQ(report.kept.size(), 4u);
    for (size_t i = 0; i < frames.size(); ++i) {
        direct_options d = c.direct;
        const picture expected = expected_frame(frames[i], d);
        EXPECT_EQ(report.kept[i].width, expected.width);
        EXPECT_EQ(report.kept[i].height, expected.height);
        EXPECT_EQ(report.kept[i].pixels, expected.pixels) << c.name << ", frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, Record,
    ::testing::Values(make_case("convert", [](record_options &, direct_options &) {}),
                      make_case("scale_down",
                                [](record_options &o, direct_options &d) {
                                    o.scale = d.scale = {32, 12};
                                }),
                      make_case("scale_up_odd",
                                [](record_options &o, direct_options &d) {
                                    o.scale = d.scale = {77, 31};
                                }),
                      make_case("correct_deinterlace",
                                [](record_options &o, direct_options &d) {
                                    o.correct = d.correct = true;
                                    o.contrast = d.contrast = 130;
                                    o.brightness = d.brightness = -20;
                                    o.invert = d.invert = true;
                                    o.deinterlace = d.deinterlace = true;
                                }),
                      make_case("remap", [](record_options &o,
                                            direct_options &d) { o.remap = d.remap = true; }),
                      make_case("scale_remap",
                                [](record_options &o, direct_options &d) {
                                    o.scale = d.scale = {40, 40};
                                    o.remap = d.remap = true;
                                })),
    [](const auto &info) { return std::string(info.param.name); });

class RecordRun : public tamsa_test::LeakCheck {};

TEST_F(RecordRun, CrossFadeRampsIntoTheOtherClip) {
    TempDir dir;
    // The other clip: the built-in one at a later frame, so the two differ.
    auto later = synthetic_frames(64, 24, 9);
    std::vector<yuv_frame> other(later.begin() + 5, later.end());
    FILE *f = std::fopen(dir.file("other.y4m").c_str(), "wb");
    tamsa::tools::write_y4m(f, other);
    std::fclose(f);

    record_options o;
    o.raw_size = {64, 24};
    o.frames = 4;
    o.out_dir = "";
    o.progress = false;
    o.fade_with = dir.file("other.y4m");
    o.fade_frames = 3;
    // The fade clip is Y4M while the main one is the built-in clip of the given size.
    const auto report = tamsa::tools::run_record(o, true);
    const auto frames = synthetic_frames(64, 24, 4);
    for (size_t i = 0; i < 4; ++i) {
        direct_options d;
        d.fade = &other[i];
        d.level = std::min<int32_t>(255, int32_t(i * 255 / 3));
        EXPECT_EQ(report.kept[i].pixels, expected_frame(frames[i], d).pixels) << "frame " << i;
    }
}

TEST_F(RecordRun, WritesEveryFrameAndAContactSheet) {
    TempDir dir;
    record_options o;
    o.raw_size = {64, 24};
    o.frames = 5;
    o.out_dir = dir.file("out");
    o.format = "png";
    o.sheet_every = 2;
    o.progress = false;
    const auto report = tamsa::tools::run_record(o, true);
    EXPECT_EQ(report.frames, 5u);
    for (uint32_t i = 1; i <= 5; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "out/frame-%05u.png", i);
        const picture p = tamsa::tools::load_picture(dir.file(name));
        EXPECT_EQ(p.pixels, report.kept[i - 1].pixels) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/frame-00006.png")));
    const picture sheet = tamsa::tools::load_picture(report.sheet);
    // Frames 1, 3 and 5 side by side, with gaps of 4.
    EXPECT_EQ(sheet.width, 3 * (64 + 4) + 4);
    EXPECT_EQ(sheet.height, 24 + 8);
    EXPECT_GT(report.messages, 0u);
    EXPECT_GT(report.median_round_trip_ms, 0.0);
}

std::string parse_error(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    tamsa::cli::args args(int(argv.size()), argv.data());
    return error_of([&] { tamsa::tools::parse_record_options(args); });
}

TEST(RecordOptions, BadOptionsGiveOneClearLine) {
    EXPECT_EQ(parse_error({"--scale", "320x240", "--frames", "3", "--remap"}), "");
    EXPECT_NE(parse_error({"--scale", "320"}).find("bad scale"), std::string::npos);
    EXPECT_NE(parse_error({"--scale", "0x10"}).find("bad scale"), std::string::npos);
    EXPECT_NE(parse_error({"--frames", "-2"}).find("frame count"), std::string::npos);
    EXPECT_NE(parse_error({"--frames"}).find("missing a value for --frames"), std::string::npos);
    EXPECT_NE(parse_error({"--wobble"}).find("unknown option: --wobble"), std::string::npos);
    EXPECT_NE(parse_error({"a.y4m", "b.y4m"}).find("more than one input"), std::string::npos);
    EXPECT_NE(parse_error({"--brightness", "300"}).find("brightness"), std::string::npos);
}

TEST_F(RecordRun, UnusableInputsAreReportedBeforeAnythingIsWritten) {
    TempDir dir;
    record_options o;
    o.out_dir = dir.file("out");
    o.progress = false;
    o.input = dir.file("missing.y4m");
    EXPECT_NE(error_of([&] { tamsa::tools::run_record(o); }).find("missing.y4m"),
              std::string::npos);
    o.input = "";
    o.format = "gif";
    EXPECT_NE(error_of([&] { tamsa::tools::run_record(o); }).find("bad format"), std::string::npos);
    o.format = "ppm";
    FILE *f = std::fopen(dir.file("small.y4m").c_str(), "wb");
    tamsa::tools::write_y4m(f, synthetic_frames(8, 4, 1));
    std::fclose(f);
    o.fade_with = dir.file("small.y4m");
    EXPECT_NE(error_of([&] { tamsa::tools::run_record(o); }).find("not 640x480"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
}

// The conversion against an independent converter's, where one is installed: the table
// conversion truncates where that one rounds, so every channel lies within 3 of it.
TEST_F(RecordRun, AgreesWithAnIndependentConverter) {
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const std::string clip = dir.file("clip.y4m"), reference = dir.file("ref.bgr");
    ASSERT_EQ(
        std::system(("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 4 "
                     "-pix_fmt yuv411p -f yuv4mpegpipe " +
                     clip)
                        .c_str()),
        0);
    ASSERT_EQ(
        std::system(("ffmpeg -v error -y -i " + clip +
                     " -pix_fmt bgr24 -sws_flags neighbor+accurate_rnd+full_chroma_int+bitexact "
                     "-f rawvideo " +
                     reference)
                        .c_str()),
        0);
    record_options o;
    o.input = clip;
    o.out_dir = "";
    o.progress = false;
    const auto report = tamsa::tools::run_record(o, true);
    ASSERT_EQ(report.frames, 4u);
    const std::string ref = TempDir::read(reference);
    const size_t frame_bytes = 320 * 240 * 3;
    ASSERT_EQ(ref.size(), 4 * frame_bytes);
    int worst = 0;
    for (size_t i = 0; i < 4; ++i) {
        for (size_t k = 0; k < frame_bytes; k += 3) {
            for (size_t c = 0; c < 3; ++c) {
                const int mine = report.kept[i].pixels[k + c];
                const int theirs = uint8_t(ref[i * frame_bytes + k + 2 - c]);
                worst = std::max(worst, std::abs(mine - theirs));
            }
        }
    }
    EXPECT_LE(worst, 3);
}

}  // namespace
