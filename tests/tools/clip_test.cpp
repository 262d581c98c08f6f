#include <gtest/gtest.h>

#include <cstdio>

#include "temp_dir.h"
#include "tools/commands/cli.h"
#include "tools/error_of.h"
#include "tools/fixtures.h"
#include "tools/readers/clip.h"

namespace {

using tamsa::cli::usage_error;
using tamsa::tools::yuv_frame;
using tamsa_test::error_of;
using tamsa_test::pattern_frame;
using tamsa_test::TempDir;

std::string y4m_bytes(const std::vector<yuv_frame> &frames) {
    char *text = nullptr;
    size_t length = 0;
    FILE *f = open_memstream(&text, &length);
    tamsa::tools::write_y4m(f, frames);
    std::fclose(f);
    std::string bytes(text, length);
    std::free(text);
    return bytes;
}

// Every layout, at a size that splits chroma groups at the right and bottom edges.
TEST(Y4m, FramesOfEveryLayoutReadBackAsWritten) {
    using tamsa::tools::chroma;
    struct layout_case {
        chroma layout;
        size_t chroma_bytes;  // of one plane, 7x5 pixels
    };
    for (const layout_case c : {layout_case{chroma::c420, 4 * 3}, layout_case{chroma::c422, 4 * 5},
                                layout_case{chroma::c444, 7 * 5}, layout_case{chroma::c411, 2 * 5},
                                layout_case{chroma::mono, 0}}) {
        TempDir dir;
        const std::vector<yuv_frame> frames = {pattern_frame(7, 5, 1, c.layout),
                                               pattern_frame(7, 5, 9, c.layout)};
        ASSERT_EQ(frames[0].u.size(), c.chroma_bytes) << tamsa::tools::chroma_name(c.layout);
        TempDir::write(dir.file("a.y4m"), y4m_bytes(frames));
        auto clip = tamsa::tools::open_y4m(dir.file("a.y4m"));
        EXPECT_EQ(clip->info().layout, c.layout);
        EXPECT_EQ(clip->info().frames, 2u);
        yuv_frame f;
        for (const yuv_frame &expected : frames) {
            ASSERT_TRUE(clip->next(f)) << tamsa::tools::chroma_name(c.layout);
            EXPECT_EQ(f.y, expected.y);
            EXPECT_EQ(f.u, expected.u);
            EXPECT_EQ(f.v, expected.v);
        }
        EXPECT_FALSE(clip->next(f));
        EXPECT_EQ(clip->truncated(), "");
    }
}

TEST(Y4m, HeaderTagsGiveLayoutInterlacingAndRange) {
    TempDir dir;
    struct header_case {
        const char *tags;
        tamsa::tools::chroma layout;
        char interlace;
        bool full;
    };
    using tamsa::tools::chroma;
    for (const header_case c :
         {header_case{"", chroma::c420, 'p', false},
          header_case{" C420paldv It", chroma::c420, 't', false},
          header_case{" C420mpeg2 Ib XCOLORRANGE=FULL", chroma::c420, 'b', true},
          header_case{" C420 I? XCOLORRANGE=LIMITED", chroma::c420, '?', false},
          header_case{" Cmono", chroma::mono, 'p', false}}) {
        TempDir::write(dir.file("h.y4m"), std::string("YUV4MPEG2 W4 H2") + c.tags + "\n");
        auto clip = tamsa::tools::open_y4m(dir.file("h.y4m"));
        EXPECT_EQ(clip->info().layout, c.layout) << c.tags;
        EXPECT_EQ(clip->info().interlace, c.interlace) << c.tags;
        EXPECT_EQ(clip->info().full_range, c.full) << c.tags;
    }
}

TEST(Y4m, ATruncatedLastFrameEndsTheClipAndSaysSo) {
    TempDir dir;
    std::string bytes = y4m_bytes({pattern_frame(8, 2, 1)});
    TempDir::write(dir.file("t.y4m"), bytes + "FRAME\n" + std::string(10, 'x'));
    auto clip = tamsa::tools::open_y4m(dir.file("t.y4m"));
    yuv_frame f;
    ASSERT_TRUE(clip->next(f));
    EXPECT_FALSE(clip->next(f));
    EXPECT_EQ(clip->truncated(), "frame 2 is truncated (10 of 24 bytes)");
}

TEST(Y4m, HeaderTagsInAnyOrderAndFrameParameters) {
    TempDir dir;
    yuv_frame frame = pattern_frame(8, 2, 3);
    std::string bytes = "YUV4MPEG2 C411 XYSCSS=411 Ip H2 A1:1 F30000:1001 W8\nFRAME Ixyz\n";
    bytes.append(frame.y.begin(), frame.y.end());
    bytes.append(frame.u.begin(), frame.u.end());
    bytes.append(frame.v.begin(), frame.v.end());
    TempDir::write(dir.file("b.y4m"), bytes);
    auto clip = tamsa::tools::open_y4m(dir.file("b.y4m"));
    yuv_frame f;
    ASSERT_TRUE(clip->next(f));
    EXPECT_EQ(f.y, frame.y);
    EXPECT_EQ(f.v, frame.v);
}

struct bad_y4m {
    const char *name;
    std::string bytes;
    const char *reason;
};

class Y4mErrors : public ::testing::TestWithParam<bad_y4m> {};

TEST_P(Y4mErrors, GiveOneClearLine) {
    TempDir dir;
    TempDir::write(dir.file("c.y4m"), GetParam().bytes);
    const std::string message = error_of([&] {
        auto clip = tamsa::tools::open_y4m(dir.file("c.y4m"));
        yuv_frame f;
        while (clip->next(f)) {
        }
    });
    EXPECT_NE(message.find(GetParam().reason), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos);
}

std::string frame_bytes(size_t n) {
    return "FRAME\n" + std::string(n, '\x10');
}

INSTANTIATE_TEST_SUITE_P(
    Files, Y4mErrors,
    ::testing::Values(
        bad_y4m{"deep_chroma", "YUV4MPEG2 W8 H2 C420p10\n" + frame_bytes(24),
                "chroma 'C420p10' is not read"},
        bad_y4m{"unknown_interlacing", "YUV4MPEG2 W8 H2 Ix\n", "interlacing 'Ix' is not read"},
        bad_y4m{"bad_rate", "YUV4MPEG2 W8 H2 F30000\n", "bad ratio '30000'"},
        bad_y4m{"not_y4m", "P6\n2 1\n255\nabcdef", "not a Y4M file"},
        bad_y4m{"no_size", "YUV4MPEG2 C411\n", "no frame size"},
        bad_y4m{"bad_number", "YUV4MPEG2 W8x H2 C411\n", "bad number"},
        bad_y4m{"huge", "YUV4MPEG2 W999999996 H999999 C411\n", "bad frame size"},
        bad_y4m{"no_frame_tag", "YUV4MPEG2 W8 H2 C411\nFRAMX\n" + std::string(24, 'a'),
                "no FRAME header"},
        bad_y4m{"header_cut", "YUV4MPEG2 W8 H2 C411", "ends inside a header"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Y4m, MissingFileNamesIt) {
    EXPECT_NE(
        error_of([] { tamsa::tools::open_y4m("/nonexistent/x.y4m"); }).find("/nonexistent/x.y4m"),
        std::string::npos);
}

TEST(RawClip, ReadsPlanesFrameAfterFrame) {
    TempDir dir;
    const yuv_frame a = pattern_frame(8, 2, 4);
    std::string bytes(a.y.begin(), a.y.end());
    bytes.append(a.u.begin(), a.u.end());
    bytes.append(a.v.begin(), a.v.end());
    TempDir::write(dir.file("r.yuv"), bytes + bytes);
    auto clip = tamsa::tools::open_raw(dir.file("r.yuv"), 8, 2);
    yuv_frame f;
    ASSERT_TRUE(clip->next(f));
    EXPECT_EQ(f.y, a.y);
    EXPECT_EQ(f.u, a.u);
    ASSERT_TRUE(clip->next(f));
    EXPECT_FALSE(clip->next(f));
    EXPECT_EQ(clip->truncated(), "");
    // A file that is no whole number of frames of the layout is refused before any is read.
    TempDir::write(dir.file("cut.yuv"), bytes + bytes.substr(0, 5));
    EXPECT_NE(error_of([&] {
                  tamsa::tools::open_raw(dir.file("cut.yuv"), 8, 2);
              }).find("29 bytes is not a whole number of 8x2 yuv411p frames (24 bytes each)"),
              std::string::npos);
    // A Y4M file is not taken for raw planes.
    TempDir::write(dir.file("y.y4m"), y4m_bytes({a}));
    EXPECT_NE(
        error_of([&] { tamsa::tools::open_raw(dir.file("y.y4m"), 8, 2); }).find("drop --size"),
        std::string::npos);
}

TEST(SyntheticClip, IsDeterministicAndMoves) {
    auto one = tamsa::tools::synthetic_clip(64, 24, 3);
    auto two = tamsa::tools::synthetic_clip(64, 24, 3);
    yuv_frame a, b, a2;
    ASSERT_TRUE(one->next(a));
    ASSERT_TRUE(two->next(b));
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.u, b.u);
    ASSERT_TRUE(one->next(a2));
    EXPECT_NE(a.y, a2.y) << "the bars move from frame to frame";
    ASSERT_TRUE(one->next(a2));
    EXPECT_FALSE(one->next(a2));
    // Studio range: the white bar's luma is 235, the black bar's 16.
    EXPECT_EQ(a.y[0], 235);
    EXPECT_EQ(a.y[63], 16);
}

}  // namespace
