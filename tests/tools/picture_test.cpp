#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "temp_dir.h"
#include "tools/cli.h"
#include "tools/error_of.h"
#include "tools/fixtures.h"
#include "tools/picture.h"
#include "tools/sink.h"

namespace {

using tamsa::cli::usage_error;
using tamsa::tools::load_picture;
using tamsa::tools::picture;
using tamsa::tools::save_picture;
using tamsa_test::error_of;
using tamsa_test::TempDir;

picture gradient(int32_t w, int32_t h, int32_t channels) {
    picture p;
    p.width = w;
    p.height = h;
    p.channels = channels;
    p.pixels.resize(size_t(w * h * channels));
    for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = uint8_t(i * 31 + 7);
    return p;
}

TEST(Picture, RoundTripsThroughEveryFormat) {
    TempDir dir;
    struct format_case {
        const char *name;
        int32_t channels;
        int32_t read_back;  // channels of what is read back
    };
    for (const format_case c :
         {format_case{"a.ppm", 3, 3}, format_case{"a.PPM", 1, 3}, format_case{"a.pgm", 1, 1},
          format_case{"a.Pnm", 1, 1}, format_case{"a.pnm", 3, 3}, format_case{"a.png", 1, 1},
          format_case{"a.PNG", 3, 3}}) {
        const picture p = gradient(5, 3, c.channels);
        save_picture(dir.file(c.name), p);
        const picture q = load_picture(dir.file(c.name));
        EXPECT_EQ(q.width, 5) << c.name;
        EXPECT_EQ(q.height, 3);
        ASSERT_EQ(q.channels, c.read_back) << c.name;
        // Grey written as colour comes back with each level three times.
        for (size_t i = 0; i < q.pixels.size(); ++i) {
            ASSERT_EQ(q.pixels[i], p.pixels[c.channels == c.read_back ? i : i / 3])
                << c.name << " " << i;
        }
    }
}

TEST(Picture, OtherPnmFormsReadAsEightBits) {
    TempDir dir;
    struct form_case {
        const char *name;
        std::string bytes;
        int32_t channels;
        std::vector<uint8_t> pixels;
    };
    const std::vector<form_case> cases = {
        {"plain_colour",
         "P3\n2 1\n255\n1 2 3\n# comment\n 250 251 252\n",
         3,
         {1, 2, 3, 250, 251, 252}},
        {"plain_grey_small_max", "P2 3 1 4 0 2 4", 1, {0, 128, 255}},
        {"sixteen_bit", std::string("P5\n2 1\n65535\n\x80\x00\xff\xff", 17), 1, {128, 255}},
        {"sixteen_bit_colour",
         std::string("P6 1 1 1000 \x00\x00\x01\xf4\x03\xe8", 18),
         3,
         {0, 128, 255}},
    };
    for (const form_case &c : cases) {
        TempDir::write(dir.file("f"), c.bytes);
        const picture p = load_picture(dir.file("f"));
        EXPECT_EQ(p.channels, c.channels) << c.name;
        EXPECT_EQ(p.pixels, c.pixels) << c.name;
    }
}

TEST(Picture, PpmIsTheUsualBinaryForm) {
    TempDir dir;
    save_picture(dir.file("b.ppm"), gradient(2, 1, 3));
    const std::string bytes = TempDir::read(dir.file("b.ppm"));
    EXPECT_EQ(bytes.substr(0, 11), "P6\n2 1\n255\n");
    EXPECT_EQ(bytes.size(), 17u);
}

TEST(Picture, PpmHeadersWithCommentsAreRead) {
    TempDir dir;
    TempDir::write(dir.file("c.ppm"), "P6 # made by hand\n# another\n2 1\n255\nabcdef");
    const picture p = load_picture(dir.file("c.ppm"));
    EXPECT_EQ(p.width, 2);
    EXPECT_EQ(std::string(p.pixels.begin(), p.pixels.end()), "abcdef");
}

TEST(Picture, SixteenBitPngWithAlphaIsRoundedAndTheAlphaDropped) {
    TempDir dir;
    tamsa_test::write_rgba16_png(dir.file("a.png"), {0, 32768, 65535, 100, 257, 65279, 65280, 0});
    const picture p = load_picture(dir.file("a.png"));
    EXPECT_EQ(p.channels, 3);
    EXPECT_EQ(p.pixels, (std::vector<uint8_t>{0, 128, 255, 1, 254, 254}));
    EXPECT_TRUE(p.dropped_alpha);
    save_picture(dir.file("b.png"), p);
    EXPECT_FALSE(load_picture(dir.file("b.png")).dropped_alpha);
}

struct bad_file {
    const char *name;
    std::string bytes;
    const char *reason;
};
class PictureErrors : public ::testing::TestWithParam<bad_file> {};

TEST_P(PictureErrors, GiveOneClearLine) {
    TempDir dir;
    TempDir::write(dir.file("x"), GetParam().bytes);
    const std::string message = error_of([&] { load_picture(dir.file("x")); });
    EXPECT_NE(message.find(GetParam().reason), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Files, PictureErrors,
    ::testing::Values(bad_file{"short", "P6\n2 2\n255\nabc", "ends inside its pixels"},
                      bad_file{"plain_short", "P3\n1 1\n255\n1 2\n", "ends inside its pixels"},
                      bad_file{"plain_above_max", "P2\n1 1\n7\n8\n", "exceeds the maximum 7"},
                      bad_file{"deep_short", "P6\n1 1\n65535\nabcde", "ends inside its pixels"},
                      bad_file{"bitmap", "P4\n1 1\n\x80", "PBM bitmaps"},
                      bad_file{"no_max", "P6\n1 1\n0\nabc", "bad maximum sample value"},
                      bad_file{"zero", "P6\n0 1\n255\n", "bad picture size"},
                      bad_file{"huge", "P6\n99999 99999\n255\n", "bad picture size"},
                      bad_file{"garbage_header", "P6\nx y\n255\n", "bad PNM header"},
                      bad_file{"png_cut", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16),
                               "bad PNG file"},
                      bad_file{"empty", "", "not a PNM or PNG file"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Picture, AFailedSaveLeavesNoFile) {
    TempDir dir;
    const std::string target = dir.file("missing-dir/out.png");
    EXPECT_FALSE(error_of([&] { save_picture(target, gradient(2, 2, 3)); }).empty());
    EXPECT_FALSE(std::filesystem::exists(target));
    picture empty;
    EXPECT_FALSE(error_of([&] { save_picture(dir.file("e.ppm"), empty); }).empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Files written side by side appear as one at a time they would: those before a failure with
// their bytes, the failure's own reason, and nothing after it, not even a file beside them.
TEST(FilePool, KeepsTheFilesBeforeAFailureAndNoneAfter) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i)
        names.push_back(dir.file(i == 5 ? "missing-dir/f5.png" : "f" + std::to_string(i) + ".png"));
    std::string reason;
    {
        tamsa::tools::file_pool pool(2);
        reason = error_of([&] {
            for (int i = 0; i < 8; ++i) {
                picture p = gradient(40 + i, 30, 3);
                pool.add(names[size_t(i)], p);
            }
            pool.finish();
        });
    }
    EXPECT_NE(reason.find("missing-dir/f5.png: cannot write"), std::string::npos) << reason;
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(dir.path()))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"f0.png", "f1.png", "f2.png", "f3.png", "f4.png"}));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(load_picture(names[size_t(i)]).pixels, gradient(40 + i, 30, 3).pixels) << i;
}

TEST(Picture, MissingFileNamesIt) {
    EXPECT_NE(error_of([] { load_picture("/nonexistent/p.png"); }).find("/nonexistent/p.png"),
              std::string::npos);
}

}  // namespace
