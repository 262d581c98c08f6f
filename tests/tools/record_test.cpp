#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "support.h"
#include "temp_dir.h"
#include "tools/av_clips.h"
#include "tools/commands/cli.h"
#include "tools/commands/record.h"
#include "tools/error_of.h"
#include "tools/fixtures.h"
#include "tools/pictures/picture.h"
#include "tools/readers/clip.h"

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

// The sheet from its rule: every Nth frame cut down to 160 columns by nearest neighbour (pixel
// x, y of a W x H frame's thumbnail takes x * W / 160, y * H / h, h = H * 160 / W), four to a
// row on grey 40, with gaps of 4.
TEST_F(RecordRun, ContactSheetHoldsNearestNeighbourThumbnails) {
    TempDir dir;
    constexpr int32_t kW = 328, kH = 20, kThumbW = 160, kThumbH = kH * kThumbW / kW, kGap = 4;
    record_options o;
    o.raw_size = {kW, kH};
    o.frames = 9;
    o.sheet_every = 2;
    o.out_dir = dir.file("out");
    o.progress = false;
    const auto report = tamsa::tools::run_record(o, true);
    ASSERT_EQ(report.kept.size(), 9u);

    picture expected;
    expected.width = 4 * (kThumbW + kGap) + kGap;
    expected.height = 2 * (kThumbH + kGap) + kGap;
    expected.pixels.assign(size_t(expected.width) * size_t(expected.height) * 3, 40);
    for (size_t t = 0; t < 5; ++t) {
        const picture &frame = report.kept[2 * t];
        const size_t x0 = kGap + t % 4 * (kThumbW + kGap), y0 = kGap + t / 4 * (kThumbH + kGap);
        for (size_t y = 0; y < kThumbH; ++y) {
            for (size_t x = 0; x < kThumbW; ++x) {
                const size_t from = (y * kH / kThumbH * kW + x * kW / kThumbW) * 3;
                const size_t to = ((y0 + y) * size_t(expected.width) + x0 + x) * 3;
                for (size_t c = 0; c < 3; ++c) expected.pixels[to + c] = frame.pixels[from + c];
            }
        }
    }
    const picture sheet = tamsa::tools::load_picture(report.sheet);
    ASSERT_EQ(sheet.width, expected.width);
    ASSERT_EQ(sheet.height, expected.height);
    EXPECT_EQ(sheet.pixels, expected.pixels);
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
    EXPECT_NE(parse_error({"--scale", "320x240x3"}).find("'320x240x3' (WxH"), std::string::npos);
    EXPECT_NE(parse_error({"--format", "GIF"}).find("ppm, pgm, pnm, png, rgb or y4m"),
              std::string::npos);
    EXPECT_NE(parse_error({"--connect", ""}).find("bad port name"), std::string::npos);
    EXPECT_NE(parse_error({
                              "-",
                              "-",
                          })
                  .find("more than one input"),
              std::string::npos);
    EXPECT_NE(parse_error({"--scale", "0x10"}).find("bad scale"), std::string::npos);
    EXPECT_NE(parse_error({"--frames", "-2"}).find("frame count"), std::string::npos);
    EXPECT_NE(parse_error({"--frames"}).find("missing a value for --frames"), std::string::npos);
    EXPECT_NE(parse_error({"--wobble"}).find("unknown option: --wobble"), std::string::npos);
    EXPECT_NE(parse_error({"a.y4m", "b.y4m"}).find("more than one input"), std::string::npos);
    EXPECT_NE(parse_error({"--brightness", "300"}).find("brightness"), std::string::npos);
}

// Each default the help states is what a run without the option gets.
TEST(RecordOptions, TheDefaultsTheHelpStatesAreTheDefaults) {
    size_t checked = 0;
    for (const tamsa::tools::record_option &row : tamsa::tools::record_option_table()) {
        if (row.fallback == nullptr) continue;
        ASSERT_NE(row.set, nullptr) << row.names;
        tamsa::tools::record_options o;
        row.set(o, row, row.fallback);
        o.correct = false;  // any correction option asks for the message, whatever its value
        EXPECT_TRUE(o == tamsa::tools::record_options{}) << row.names << " " << row.fallback;
        ++checked;
    }
    EXPECT_GE(checked, 6u);
}

// Every option the parser takes is in the help, beside its value, within the help's width.
TEST(RecordOptions, TheHelpListsEveryOptionItTakes) {
    const std::string help = tamsa::tools::record_help();
    for (const tamsa::tools::record_option &row : tamsa::tools::record_option_table()) {
        if (row.set == nullptr) continue;
        std::string entry = std::string("\n  ") + row.names;
        if (row.value != nullptr) entry += std::string(" ") + row.value + " ";
        EXPECT_NE(help.find(entry), std::string::npos) << row.names;
        // What takes a value asks for it.
        const std::string name =
            std::string(row.names).substr(std::string(row.names).rfind(' ') + 1);
        if (row.value != nullptr) {
            EXPECT_EQ(parse_error({name}), "missing a value for " + name);
        }
    }
    size_t widest = 0;
    for (size_t at = 0, end; (end = help.find('\n', at)) != std::string::npos; at = end + 1)
        widest = std::max(widest, end - at);
    EXPECT_LE(widest, 91u);
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

// Frames of every Y4M layout, read as the rule says (chroma sample (x / across, y / down) for
// pixel (x, y)) and converted one pixel a sample, against the pipeline's messages: even and odd
// widths, full size and resized, deinterlaced first where asked.
struct layout_case {
    const char *name;
    tamsa::tools::chroma layout;
    int32_t width, height;
    tamsa::cli::size2 scale;
    bool deinterlace;
};

class RecordLayouts : public tamsa_test::LeakCheck,
                      public ::testing::WithParamInterface<layout_case> {};

TEST_P(RecordLayouts, ConvertEveryPixelWithItsOwnChromaSample) {
    using tamsa::tools::chroma;
    const layout_case &c = GetParam();
    const int32_t across = tamsa::tools::chroma_across(c.layout);
    const int32_t down = tamsa::tools::chroma_down(c.layout);
    const int32_t cw = tamsa::tools::chroma_width(c.layout, c.width);
    tamsa_test::Rng rng(uint32_t(c.width * 131 + c.height));
    std::vector<yuv_frame> frames(2);
    for (yuv_frame &f : frames) {
        f.width = c.width;
        f.height = c.height;
        f.layout = c.layout;
        f.y.resize(size_t(c.width) * size_t(c.height));
        const size_t chroma_bytes =
            size_t(cw) * size_t(tamsa::tools::chroma_height(c.layout, c.height));
        f.u.resize(chroma_bytes);
        f.v.resize(chroma_bytes);
        for (auto *plane : {&f.y, &f.u, &f.v}) {
            for (uint8_t &b : *plane) b = uint8_t(rng.next());
        }
    }
    TempDir dir;
    FILE *file = std::fopen(dir.file("c.y4m").c_str(), "wb");
    tamsa::tools::write_y4m(file, frames);
    std::fclose(file);

    record_options o;
    o.input = dir.file("c.y4m");
    o.out_dir = "";
    o.progress = false;
    o.scale = c.scale;
    o.deinterlace = c.deinterlace;
    const auto report = tamsa::tools::run_record(o, true);
    ASSERT_EQ(report.kept.size(), frames.size());

    for (size_t k = 0; k < frames.size(); ++k) {
        const yuv_frame &f = frames[k];
        const size_t n = f.y.size();
        std::vector<uint8_t> u(n, 128), v(n, 128);
        if (c.layout != chroma::mono) {
            for (int32_t y = 0; y < c.height; ++y) {
                for (int32_t x = 0; x < c.width; ++x) {
                    const size_t at = size_t(y / down) * size_t(cw) + size_t(x / across);
                    u[size_t(y) * size_t(c.width) + size_t(x)] = f.u[at];
                    v[size_t(y) * size_t(c.width) + size_t(x)] = f.v[at];
                }
            }
        }
        BitmapPtr full(kv_allocbitmap(c.width, c.height, 3));
        fx_yuvtorgb_ll(f.y.data(), v.data(), u.data(), full->data, uint32_t(n), 1);
        if (c.deinterlace) tamsa_deinterlace_ll(full.get());
        const int32_t ow = c.scale.width != 0 ? c.scale.width : c.width;
        const int32_t oh = c.scale.height != 0 ? c.scale.height : c.height;
        const picture &got = report.kept[k];
        ASSERT_EQ(got.width, ow);
        ASSERT_EQ(got.height, oh);
        for (int32_t y = 0; y < oh; ++y) {
            for (int32_t x = 0; x < ow; ++x) {
                const int64_t sx = int64_t(x) * c.width / ow, sy = int64_t(y) * c.height / oh;
                const uint8_t *bgr = full->data + (sy * c.width + sx) * 3;
                const uint8_t *rgb = got.pixels.data() + (size_t(y) * size_t(ow) + size_t(x)) * 3;
                ASSERT_TRUE(rgb[0] == bgr[2] && rgb[1] == bgr[1] && rgb[2] == bgr[0])
                    << c.name << ", frame " << k << ", pixel " << x << "," << y;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Y4m, RecordLayouts,
    ::testing::Values(
        layout_case{"c420", tamsa::tools::chroma::c420, 16, 6, {}, false},
        layout_case{"c420_odd", tamsa::tools::chroma::c420, 15, 7, {}, false},
        layout_case{"c420_scaled", tamsa::tools::chroma::c420, 16, 6, {9, 13}, false},
        layout_case{"c422", tamsa::tools::chroma::c422, 10, 3, {}, false},
        layout_case{"c422_odd_scaled", tamsa::tools::chroma::c422, 9, 3, {20, 2}, false},
        layout_case{"c444_scaled", tamsa::tools::chroma::c444, 7, 5, {3, 3}, false},
        layout_case{"c411_odd", tamsa::tools::chroma::c411, 10, 3, {}, false},
        layout_case{"c411_scaled_in_one_message", tamsa::tools::chroma::c411, 12, 4, {7, 9}, false},
        layout_case{
            "c411_deinterlaced_then_scaled", tamsa::tools::chroma::c411, 12, 4, {7, 9}, true},
        layout_case{"mono", tamsa::tools::chroma::mono, 5, 4, {}, false},
        layout_case{"mono_deinterlaced", tamsa::tools::chroma::mono, 5, 5, {}, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Every block of the pipeline, the server's own included, failed in turn: each failure ends the
// run with a reason and leaves nothing in the bus. The last block of a run is the stop message's,
// which the server does without by design, so that run goes through.
TEST_F(RecordRun, EveryAllocationFailureIsReportedAndLeavesNothing) {
    using tamsa::tools::chroma;
    TempDir dir;
    tamsa_test::write_clip(dir.file("c420.y4m"),
                           {tamsa_test::pattern_frame(10, 6, 1, chroma::c420),
                            tamsa_test::pattern_frame(10, 6, 2, chroma::c420)});
    tamsa_test::write_clip(dir.file("c411.y4m"), {tamsa_test::pattern_frame(12, 4, 3)});
    record_options all;
    all.input = dir.file("c420.y4m");
    all.fade_with = all.input;
    all.scale = {7, 5};
    all.deinterlace = true;
    all.correct = all.remap = true;
    record_options one_pass;
    one_pass.input = dir.file("c411.y4m");
    one_pass.scale = {5, 9};
    // A video file whose decoder is lent blocks of the bus for its frames.
    tamsa_test::clip_spec spec;
    spec.width = 128;
    spec.height = 8;
    spec.frames = 2;
    tamsa_test::make_clip(dir.file("v.mkv"), spec);
    record_options video;
    video.input = dir.file("v.mkv");
    for (record_options o : {all, one_pass, video}) {
        o.out_dir = "";
        o.progress = false;
        std::vector<std::string> reasons;
        for (uint32_t n = 1; n < 1000; ++n) {
            const tamsa_test::alloc_snapshot before = tamsa_test::snapshot();
            tamsa_alloc_fail_nth(n);
            reasons.push_back(error_of([&] { tamsa::tools::run_record(o); }));
            const bool fired = tamsa_alloc_fail_nth(0) == 0;
            EXPECT_EQ(tamsa_test::snapshot(), before) << o.input << ", allocation " << n;
            if (!fired) break;
        }
        ASSERT_GT(reasons.size(), 5u) << o.input;
        EXPECT_EQ(reasons.back(), "") << "no failure injected";
        EXPECT_EQ(reasons[reasons.size() - 2], "") << "the stop message's block";
        for (size_t i = 0; i + 2 < reasons.size(); ++i)
            EXPECT_NE(reasons[i], "") << o.input << ", allocation " << i + 1;
    }
}

TEST_F(RecordRun, TruncatedClipKeepsItsGoodFramesAndTheSheet) {
    TempDir dir;
    const auto frames = synthetic_frames(16, 4, 3);
    FILE *f = std::fopen(dir.file("t.y4m").c_str(), "wb");
    tamsa::tools::write_y4m(f, frames);
    std::fputs("FRAME\n", f);
    std::fwrite(frames[0].y.data(), 1, 7, f);
    std::fclose(f);
    record_options o;
    o.input = dir.file("t.y4m");
    o.out_dir = dir.file("out");
    o.progress = false;
    const auto report = tamsa::tools::run_record(o, true);
    EXPECT_EQ(report.frames, 3u);
    EXPECT_NE(report.truncated.find("frame 4 is truncated"), std::string::npos) << report.truncated;
    EXPECT_TRUE(std::filesystem::exists(dir.file("out/frame-00003.ppm")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("out/contact.png")));
}

TEST_F(RecordRun, AnEarlierRunsFramesAreRefusedOrReplaced) {
    TempDir dir;
    record_options o;
    o.raw_size = {16, 4};
    o.frames = 3;
    o.out_dir = dir.file("out");
    o.progress = false;
    tamsa::tools::run_record(o);
    o.frames = 1;
    EXPECT_NE(error_of([&] { tamsa::tools::run_record(o); }).find("--overwrite"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.file("out/frame-00003.ppm")));
    // Other files are none of the command's business.
    TempDir::write(dir.file("out/notes.txt"), "mine");
    o.overwrite = true;
    tamsa::tools::run_record(o);
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(dir.file("out")))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"contact.png", "frame-00001.ppm", "notes.txt"}));
}

}  // namespace

namespace {

// The frame with one field kept: each row of the other field a copy of the kept row above it,
// or for the bottom field, of the kept row below it (row 0 takes row 1).
picture field_kept(picture p, char field) {
    const size_t row = size_t(p.width) * 3;
    for (int32_t y = 0; y < p.height; ++y) {
        const bool kept = (y % 2 == 0) == (field == 't');
        if (kept) continue;
        const int32_t from = field == 't' ? y - 1 : (y == 0 ? 1 : y - 1);
        if (from >= p.height) continue;
        std::memcpy(&p.pixels[size_t(y) * row], &p.pixels[size_t(from) * row], row);
    }
    return p;
}

TEST_F(RecordRun, DeinterlacingKeepsTheFieldFirstInTimeFrameByFrame) {
    for (const int32_t height : {7, 8}) {
        TempDir dir;
        std::vector<yuv_frame> frames;
        for (uint8_t seed : {1, 2, 3})
            frames.push_back(
                tamsa_test::pattern_frame(16, height, seed, tamsa::tools::chroma::c420));
        const std::string path = dir.file("mixed.y4m");
        tamsa_test::write_clip(path, frames, " Im");
        // Each frame says its own: top first, bottom first, progressive.
        std::string bytes = TempDir::read(path);
        size_t at = bytes.find("FRAME\n");
        for (const char *tag : {"FRAME Itii\n", "FRAME Ibii\n", "FRAME I1pp\n"}) {
            bytes.replace(at, 6, tag);
            at = bytes.find("FRAME\n", at + std::strlen(tag));
        }
        TempDir::write(path, bytes);
        const auto run = [&](std::optional<bool> deinterlace, char field) {
            record_options o;
            o.input = path;
            o.out_dir = "";
            o.progress = false;
            o.deinterlace = deinterlace;
            o.field = field;
            return tamsa::tools::run_record(o, true).kept;
        };
        const std::vector<picture> both = run(false, 0);
        ASSERT_EQ(both.size(), 3u);
        const struct {
            std::optional<bool> deinterlace;
            char field;
            std::array<char, 3> expected;  // the field each frame keeps, 0: both
        } cases[] = {{std::nullopt, 0, {'t', 'b', 0}},
                     {std::nullopt, 'b', {'b', 'b', 0}},
                     {true, 0, {'t', 'b', 't'}},
                     {true, 't', {'t', 't', 't'}}};
        for (const auto &c : cases) {
            const std::vector<picture> got = run(c.deinterlace, c.field);
            ASSERT_EQ(got.size(), 3u);
            for (size_t i = 0; i < 3; ++i) {
                const picture want =
                    c.expected[i] == 0 ? both[i] : field_kept(both[i], c.expected[i]);
                EXPECT_EQ(got[i].pixels, want.pixels)
                    << "height " << height << ", frame " << i << ", field '" << c.field << "'";
            }
        }
    }
}

}  // namespace
