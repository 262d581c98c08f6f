#include <gtest/gtest.h>

#include <filesystem>

#include "temp_dir.h"
#include "tools/cli.h"
#include "tools/error_of.h"
#include "tools/picture.h"

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
    for (const char *name : {"a.ppm", "a.png", "a.PNG"}) {
        for (int32_t channels : {1, 3}) {
            const picture p = gradient(5, 3, channels);
            save_picture(dir.file(name), p);
            const picture q = load_picture(dir.file(name));
            EXPECT_EQ(q.width, 5) << name;
            EXPECT_EQ(q.height, 3);
            EXPECT_EQ(q.channels, channels);
            EXPECT_EQ(q.pixels, p.pixels) << name << " " << channels;
        }
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
                      bad_file{"ascii", "P3\n1 1\n255\n1 2 3\n", "not a binary PPM"},
                      bad_file{"deep", "P6\n1 1\n65535\nabcdef", "8-bit"},
                      bad_file{"zero", "P6\n0 1\n255\n", "bad picture size"},
                      bad_file{"huge", "P6\n99999 99999\n255\n", "bad picture size"},
                      bad_file{"garbage_header", "P6\nx y\n255\n", "bad PPM header"},
                      bad_file{"png_cut", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16),
                               "bad PNG file"},
                      bad_file{"empty", "", "not a binary PPM"}),
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

TEST(Picture, MissingFileNamesIt) {
    EXPECT_NE(error_of([] { load_picture("/nonexistent/p.png"); }).find("/nonexistent/p.png"),
              std::string::npos);
}

}  // namespace
