// The pixels the command writes, against definitions written here: the 4:2:0 chroma of
// interlaced clips by field, full-range clips by the full-range rule, raw planes of the layout
// named, and Y4M output in the clip's layout and range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell_run.h"
#include "tamsa/tamsa.h"
#include "temp_dir.h"
#include "tools/fixtures.h"
#include "tools/pictures/picture.h"

namespace {

using tamsa::tools::chroma;
using tamsa::tools::yuv_frame;
using tamsa_test::run_result;
using tamsa_test::TempDir;
using tamsa_test::write_clip;

run_result run(const TempDir &dir, const std::string &words) {
    return tamsa_test::run_shell(dir, TAMSA_COMMAND " " + words + " </dev/null");
}

// A frame whose bytes come from a small generator: no pattern a wrong row could match.
yuv_frame noise_frame(int32_t w, int32_t h, chroma layout, uint32_t seed) {
    yuv_frame f = tamsa_test::pattern_frame(w, h, 0, layout);
    uint32_t x = seed * 2654435761u + 1;
    const auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return uint8_t(x >> 8);
    };
    for (auto *plane : {&f.y, &f.u, &f.v}) {
        for (uint8_t &b : *plane) b = next();
    }
    return f;
}

// The frames of a PPM stream, red first.
std::vector<std::vector<uint8_t>> ppm_frames(const std::string &stream, int32_t w, int32_t h) {
    const std::string header = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    const size_t bytes = size_t(w) * size_t(h) * 3;
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + header.size() + bytes <= stream.size(); at += header.size() + bytes) {
        EXPECT_EQ(stream.substr(at, header.size()), header);
        frames.emplace_back(stream.begin() + long(at + header.size()),
                            stream.begin() + long(at + header.size() + bytes));
    }
    return frames;
}

// The studio-range conversion of a frame whose every pixel has its own chroma sample: the
// library's rule with one pixel a group, red first.
std::vector<uint8_t> studio_rgb(const std::vector<uint8_t> &y, const std::vector<uint8_t> &u,
                                const std::vector<uint8_t> &v) {
    std::vector<uint8_t> rgb(y.size() * 3);
    fx_yuvtorgb_ll(y.data(), v.data(), u.data(), rgb.data(), uint32_t(y.size()), 1);
    for (size_t i = 0; i < y.size(); ++i) std::swap(rgb[i * 3], rgb[i * 3 + 2]);
    return rgb;
}

// Interlaced 4:2:0: the chroma plane's rows alternate between the fields, the top field's
// first. Row r of the frame is row r / 2 of field r % 2, and field row k takes its field's
// chroma row k / 2, or the field's last one where it has no more; a field with no chroma row
// of its own (a frame 2 rows high) takes the plane's only row.
size_t field_chroma_row(int32_t r, int32_t h) {
    const int32_t rows = (h + 1) / 2;
    const int32_t field = r % 2, k = r / 2;
    const int32_t of_field = (rows - field + 1) / 2;
    if (of_field == 0) return 0;
    return size_t(field + 2 * std::min(k / 2, of_field - 1));
}

// A whole frame converted with each row's chroma taken from its field.
std::vector<uint8_t> by_field(const yuv_frame &f) {
    const size_t w = size_t(f.width), cw = size_t((f.width + 1) / 2);
    std::vector<uint8_t> u(f.y.size()), v(f.y.size());
    for (int32_t r = 0; r < f.height; ++r) {
        const size_t c = field_chroma_row(r, f.height);
        for (size_t x = 0; x < w; ++x) {
            u[size_t(r) * w + x] = f.u[c * cw + x / 2];
            v[size_t(r) * w + x] = f.v[c * cw + x / 2];
        }
    }
    return studio_rgb(f.y, u, v);
}

// Deinterlaced: every row of the field not kept is the kept field's row next to it (above,
// or below for row 0).
std::vector<uint8_t> keep_field(std::vector<uint8_t> rgb, int32_t w, int32_t h, char field) {
    const size_t row = size_t(w) * 3;
    for (int32_t r = 0; r < h; ++r) {
        if ((r % 2 == 0) == (field == 't')) continue;
        const int32_t from = r == 0 ? 1 : r - 1;
        if (from >= h) continue;
        std::copy_n(rgb.begin() + long(size_t(from) * row), row,
                    rgb.begin() + long(size_t(r) * row));
    }
    return rgb;
}

TEST(CommandFrames, InterlacedChromaComesFromEachRowsField) {
    TempDir dir;
    for (const int32_t h : {5, 6, 7, 8, 2}) {
        for (const int32_t w : {10, 9}) {
            const std::vector<yuv_frame> frames = {noise_frame(w, h, chroma::c420, uint32_t(h)),
                                                   noise_frame(w, h, chroma::c420, uint32_t(w))};
            for (const char order : {'t', 'b'}) {
                const std::string name = std::string("i") + order + ".y4m";
                write_clip(dir.file(name), frames, std::string(" I") + order);
                const std::string what = name + " " + std::to_string(w) + "x" + std::to_string(h);
                // Both fields kept: each row with its own field's chroma.
                run_result r = run(dir, "record " + name + " --no-deinterlace --out - -q");
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                std::vector<std::vector<uint8_t>> got = ppm_frames(r.out, w, h);
                ASSERT_EQ(got.size(), frames.size()) << what;
                for (size_t i = 0; i < frames.size(); ++i)
                    EXPECT_TRUE(got[i] == by_field(frames[i])) << what << " frame " << i + 1;
                // Deinterlaced (by default, keeping the field first in time): the chroma of the
                // field kept.
                r = run(dir, "record " + name + " --out - -q");
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                got = ppm_frames(r.out, w, h);
                ASSERT_EQ(got.size(), frames.size()) << what;
                for (size_t i = 0; i < frames.size(); ++i) {
                    EXPECT_TRUE(got[i] == keep_field(by_field(frames[i]), w, h, order))
                        << what << " deinterlaced, frame " << i + 1;
                }
            }
        }
    }
}

// The full-range BT.601 rule in double precision, red first, each channel clamped.
void full_range_exact(double y, double u, double v, double rgb[3]) {
    const double kr = 0.299, kb = 0.114, kg = 1 - kr - kb;
    const double r = y + 2 * (1 - kr) * (v - 128), b = y + 2 * (1 - kb) * (u - 128);
    const double g = (y - kr * r - kb * b) / kg;
    for (const double c : {r, g, b}) *rgb++ = std::fmin(255.0, std::fmax(0.0, c));
}

TEST(CommandFrames, FullRangeClipsTakeTheFullRangeRule) {
    TempDir dir;
    const int32_t w = 64, h = 32;
    const yuv_frame frame = noise_frame(w, h, chroma::c444, 7);
    write_clip(dir.file("full.y4m"), {frame}, " XCOLORRANGE=FULL");
    write_clip(dir.file("studio.y4m"), {frame});
    TempDir::write(dir.file("full.yuv"), std::string(frame.y.begin(), frame.y.end()) +
                                             std::string(frame.u.begin(), frame.u.end()) +
                                             std::string(frame.v.begin(), frame.v.end()));
    const run_result full = run(dir, "record full.y4m --out -");
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_EQ(full.err.find("warning"), std::string::npos) << full.err;
    const std::vector<std::vector<uint8_t>> got = ppm_frames(full.out, w, h);
    ASSERT_EQ(got.size(), 1u);
    double worst = 0;
    for (size_t i = 0; i < frame.y.size(); ++i) {
        double exact[3];
        full_range_exact(frame.y[i], frame.u[i], frame.v[i], exact);
        for (size_t c = 0; c < 3; ++c)
            worst = std::fmax(worst, std::fabs(got[0][i * 3 + c] - exact[c]));
    }
    EXPECT_LE(worst, 1.0);
    // --range overrides the header, and gives raw planes a range.
    EXPECT_EQ(run(dir, "record full.y4m --range limited --out - -q").out,
              run(dir, "record studio.y4m --out - -q").out);
    EXPECT_EQ(run(dir, "record studio.y4m --range full --out - -q").out, full.out);
    EXPECT_EQ(
        run(dir, "record full.yuv --size 64x32 --pix-fmt yuv444p --range full --out - -q").out,
        full.out);
    const run_result bad = run(dir, "record full.y4m --range pc");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.rfind("tamsa record: bad range 'pc' (limited or full)", 0), 0u) << bad.err;
}

// A grey full-range clip (as ffmpeg writes -pix_fmt gray) comes out with its own levels, with
// no warning, and back into Y4M as it was, tagged.
TEST(CommandFrames, GreyFullRangeClipsKeepTheirLevels) {
    TempDir dir;
    yuv_frame grey = noise_frame(16, 16, chroma::mono, 3);
    for (size_t i = 0; i < 256; ++i) grey.y[i] = uint8_t(i);
    write_clip(dir.file("grey.y4m"), {grey}, " XCOLORRANGE=FULL");
    const run_result r = run(dir, "record grey.y4m --out - --format pgm");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "P5\n16 16\n255\n" + std::string(grey.y.begin(), grey.y.end()));
    const run_result y4m = run(dir, "record grey.y4m --out - --format y4m -q");
    EXPECT_EQ(y4m.out, "YUV4MPEG2 W16 H16 F25:1 Ip A1:1 Cmono XCOLORRANGE=FULL\nFRAME\n" +
                           std::string(grey.y.begin(), grey.y.end()));
}

// Y4M output keeps the clip's layout unless --chroma says, and its range's tag.
TEST(CommandFrames, Y4mOutputKeepsTheClipsLayoutAndRange) {
    TempDir dir;
    struct layout_case {
        chroma layout;
        const char *tag;
    };
    for (const layout_case c : {layout_case{chroma::c420, "C420jpeg"},
                                {chroma::c422, "C422"},
                                {chroma::c444, "C444"},
                                {chroma::c411, "C411"}}) {
        write_clip(dir.file("c.y4m"), {noise_frame(16, 8, c.layout, 1)});
        const run_result r = run(dir, "record c.y4m --out - --format y4m -q");
        EXPECT_EQ(
            r.out.rfind(std::string("YUV4MPEG2 W16 H8 F25:1 Ip A1:1 ") + c.tag + "\nFRAME\n", 0),
            0u)
            << c.tag << ": " << r.out.substr(0, 60);
        const run_result asked = run(dir, "record c.y4m --out - --format y4m --chroma 444 -q");
        EXPECT_EQ(asked.out.rfind("YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C444\nFRAME\n", 0), 0u);
    }
    write_clip(dir.file("full.y4m"), {noise_frame(16, 8, chroma::c420, 1)}, " XCOLORRANGE=FULL");
    const run_result full = run(dir, "record full.y4m --out - --format y4m --chroma 411 -q");
    EXPECT_EQ(full.out.rfind("YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C411 XCOLORRANGE=FULL\nFRAME\n", 0),
              0u)
        << full.out.substr(0, 60);
}

// Raw 4:2:0 planes named as such give the frames of the same planes in a Y4M clip; without a
// layout they are refused, not read as 4:1:1 (whose frames have the same size).
TEST(CommandFrames, RawPlanesNeedTheirLayout) {
    TempDir dir;
    const yuv_frame frame = noise_frame(16, 8, chroma::c420, 5);
    write_clip(dir.file("c420.y4m"), {frame});
    TempDir::write(dir.file("raw420.yuv"), std::string(frame.y.begin(), frame.y.end()) +
                                               std::string(frame.u.begin(), frame.u.end()) +
                                               std::string(frame.v.begin(), frame.v.end()));
    const run_result bare = run(dir, "record raw420.yuv --size 16x8 --out never");
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.err.rfind("tamsa record: --size needs --pix-fmt: raw planes do not say their "
                             "layout, and a 4:2:0 and a 4:1:1 frame of one size have the same "
                             "bytes; name it: yuv420p, yuv422p, yuv444p, yuv411p or gray\n",
                             0),
              0u)
        << bare.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("never")));
    const run_result raw = run(dir, "record raw420.yuv --size 16x8 --pix-fmt yuv420p --out - -q");
    ASSERT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(raw.out, run(dir, "record c420.y4m --out - -q").out);
}

// A fade clip shorter than the run holds its last frame, which is said once; --fade-start
// leaves the frames before it as they are and starts the fade clip there.
TEST(CommandFrames, FadesStartWhereAskedAndSayWhenTheirClipEnds) {
    TempDir dir;
    std::vector<yuv_frame> main, other;
    for (uint32_t i = 0; i < 4; ++i) main.push_back(noise_frame(8, 4, chroma::c444, i + 1));
    for (uint32_t i = 0; i < 2; ++i) other.push_back(noise_frame(8, 4, chroma::c444, i + 11));
    write_clip(dir.file("main.y4m"), main);
    write_clip(dir.file("other.y4m"), other);
    write_clip(dir.file("other1.y4m"), {other[0]});
    write_clip(dir.file("other2.y4m"), {other[1]});
    const auto frames = [&](const std::string &words) {
        const run_result r = run(dir, "record " + words + " --out - -q");
        EXPECT_EQ(r.status, 0) << words << ": " << r.err;
        return ppm_frames(r.out, 8, 4);
    };
    const auto plain = frames("main.y4m");
    const auto second = frames("other2.y4m");
    ASSERT_EQ(plain.size(), 4u);
    // From frame 2 of the run, over one frame: frame 3 is all the fade clip's second frame, and
    // frame 4 its last, held.
    const auto faded = frames("main.y4m --fade-with other.y4m --fade-start 1 --fade-frames 1");
    ASSERT_EQ(faded.size(), 4u);
    EXPECT_TRUE(faded[0] == plain[0]);
    EXPECT_TRUE(faded[1] == plain[1]);  // level 0
    EXPECT_TRUE(faded[2] == second[0]);
    EXPECT_TRUE(faded[3] == second[0]);
    const run_result r = run(dir, "record main.y4m --fade-with other1.y4m --out - --format rgb");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string warning =
        "tamsa record: warning: other1.y4m ends after 1 frame: from frame "
        "2 of the clip on, the fade holds its last frame\n";
    EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(warning), r.err.rfind(warning)) << r.err;
}

// A reader that goes away ends the run with status 1; under -q without a word.
TEST(CommandFrames, AReaderThatGoesAwayEndsTheRunQuietlyUnderQ) {
    TempDir dir;
    for (const bool quiet : {true, false}) {
        const std::string command =
            "cd '" + dir.path().string() + "' && (" TAMSA_COMMAND " record --out - --no-progress" +
            (quiet ? " -q" : "") + " 2>.stderr; echo $? >.status) | head -c 100 >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(TempDir::read(dir.file(".status")), "1\n");
        const std::string err = TempDir::read(dir.file(".stderr"));
        if (quiet) {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(err, "tamsa record: standard output: Broken pipe\n");
        }
    }
}

}  // namespace
