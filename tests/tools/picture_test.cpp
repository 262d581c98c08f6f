#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "temp_dir.h"
#include "tools/commands/cli.h"
#include "tools/error_of.h"
#include "tools/fixtures.h"
#include "tools/pictures/picture.h"
#include "tools/writers/sink.h"

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
          format_case{"a.PNG", 3, 3}, format_case{"a.pam", 1, 1}, format_case{"a.PAM", 3, 3}}) {
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
    ::testing::Values(
        bad_file{"short", "P6\n2 2\n255\nabc", "ends inside its pixels"},
        bad_file{"plain_short", "P3\n1 1\n255\n1 2\n", "ends inside its pixels"},
        bad_file{"plain_above_max", "P2\n1 1\n7\n8\n", "exceeds the maximum 7"},
        bad_file{"deep_short", "P6\n1 1\n65535\nabcde", "ends inside its pixels"},
        bad_file{"bitmap", "P4\n1 1\n\x80", "PBM bitmaps"},
        bad_file{"no_max", "P6\n1 1\n0\nabc", "bad maximum sample value"},
        bad_file{"zero", "P6\n0 1\n255\n", "bad picture size"},
        bad_file{"huge", "P6\n99999 99999\n255\n", "bad picture size"},
        bad_file{"garbage_header", "P6\nx y\n255\n", "bad PNM header"},
        bad_file{"png_cut", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16), "bad PNG file"},
        bad_file{"empty", "", "not a PNM, PAM, PNG or JPEG file"},
        bad_file{"gif", "GIF89a", "not a PNM, PAM, PNG or JPEG file"},
        bad_file{"pam_no_tuple_type", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\nabc",
                 "PAM of tuple type '' is not read"},
        bad_file{"pam_bitmap",
                 "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nTUPLTYPE "
                 "BLACKANDWHITE\nENDHDR\n\x01",
                 "tuple type 'BLACKANDWHITE' is not read"},
        bad_file{"pam_wrong_depth",
                 "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE "
                 "RGB_ALPHA\nENDHDR\nabcd",
                 "PAM RGB_ALPHA with depth 3 (it takes 4)"},
        bad_file{"pam_no_end", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\n",
                 "ends inside its header"},
        bad_file{"pam_short",
                 "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE "
                 "GRAYSCALE\nENDHDR\na",
                 "ends inside its pixels"},
        bad_file{"pam_unknown_line", "P7\nWIDTH 1\nHIGHT 1\nENDHDR\n",
                 "unknown PAM header line 'HIGHT'"},
        bad_file{"jpeg_cmyk", tamsa_test::test_jpeg(8, 8, 4), "CMYK JPEG pictures are not read"},
        bad_file{"jpeg_cut", tamsa_test::test_jpeg(64, 64, 3).substr(0, 300), "bad JPEG file"},
        bad_file{"jpeg_head_only", std::string("\xff\xd8\xff", 3), "bad JPEG file"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Picture, PamReadsGreyColourAndDropsAlpha) {
    TempDir dir;
    struct pam_case {
        const char *name;
        std::string bytes;
        int32_t channels;
        std::vector<uint8_t> pixels;
        bool alpha;
    };
    const std::string head = "P7\nWIDTH 2\nHEIGHT 1\n# a comment\n";
    const std::vector<pam_case> cases = {
        {"grey",
         head + "DEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n\x01\xfe",
         1,
         {1, 254},
         false},
        {"grey_alpha",
         head + "DEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" +
             std::string("\x01\x00\x02\xff", 4),
         1,
         {1, 2},
         true},
        {"rgb_alpha",
         head + "DEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\nabcdefgh",
         3,
         {'a', 'b', 'c', 'e', 'f', 'g'},
         true},
        {"rgb_16",
         head + "DEPTH 3\nMAXVAL 65535\nTUPLTYPE RGB\nENDHDR\n" +
             std::string("\x80\x00\xff\xff\0\0\0\0\x01\x00\xff\xff", 12),
         3,
         {128, 255, 0, 0, 1, 255},
         false},
    };
    for (const pam_case &c : cases) {
        TempDir::write(dir.file("f.pam"), c.bytes);
        const picture p = load_picture(dir.file("f.pam"));
        EXPECT_EQ(p.width, 2) << c.name;
        EXPECT_EQ(p.channels, c.channels) << c.name;
        EXPECT_EQ(p.pixels, c.pixels) << c.name;
        EXPECT_EQ(p.dropped_alpha, c.alpha) << c.name;
    }
    save_picture(dir.file("o.pam"), gradient(2, 1, 3));
    const std::string header = "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n";
    EXPECT_EQ(TempDir::read(dir.file("o.pam")).substr(0, header.size()), header);
}

// PGM holds grey: a colour picture goes in as its BT.601 luma, rounded.
TEST(Picture, ColourAsPgmIsItsLuma) {
    TempDir dir;
    picture p;
    p.width = 5;
    p.height = 1;
    p.pixels = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 10, 20, 30};
    for (const char *name : {"l.pgm", "s.pgm"}) {
        if (std::string(name) == "l.pgm") {
            save_picture(dir.file(name), p);
        } else {
            FILE *f = std::fopen(dir.file(name).c_str(), "wb");
            ASSERT_TRUE(tamsa::tools::write_picture(f, p, tamsa::tools::picture_format::pgm));
            std::fclose(f);
        }
        const picture q = load_picture(dir.file(name));
        EXPECT_EQ(q.channels, 1) << name;
        EXPECT_EQ(q.pixels, (std::vector<uint8_t>{76, 150, 29, 255, 18})) << name;
    }
    EXPECT_EQ(tamsa::tools::grey_of(p).pixels, (std::vector<uint8_t>{76, 150, 29, 255, 18}));
}

TEST(Picture, JpegRoundTripsNearlyAndKeepsGreyGrey) {
    TempDir dir;
    // A smooth picture, which JPEG keeps closely at a high quality.
    for (int32_t channels : {1, 3}) {
        picture p;
        p.width = 40;
        p.height = 24;
        p.channels = channels;
        for (int32_t y = 0; y < p.height; ++y) {
            for (int32_t x = 0; x < p.width; ++x) {
                for (int32_t c = 0; c < channels; ++c)
                    p.pixels.push_back(uint8_t(x * 3 + y * 2 + c * 20));
            }
        }
        for (const int32_t quality : {100, 50}) {
            const std::string name = dir.file("q" + std::to_string(quality) + ".JPG");
            tamsa::tools::save_picture(name, p, tamsa::tools::format_for(name), quality);
            const picture q = load_picture(name);
            ASSERT_EQ(q.channels, channels);
            ASSERT_EQ(q.width, 40);
            ASSERT_EQ(q.height, 24);
            int worst = 0;
            for (size_t i = 0; i < p.pixels.size(); ++i)
                worst = std::max(worst, std::abs(int(p.pixels[i]) - int(q.pixels[i])));
            EXPECT_LE(worst, quality == 100 ? 4 : 24) << channels << " " << quality;
        }
        // A lower quality is a smaller file.
        EXPECT_LT(std::filesystem::file_size(dir.file("q50.JPG")),
                  std::filesystem::file_size(dir.file("q100.JPG")));
    }
    EXPECT_NE(error_of([&] {
                  tamsa::tools::save_picture(dir.file("z.jpg"), gradient(2, 2, 3),
                                             tamsa::tools::picture_format::jpeg, 0);
              }).find("quality"),
              std::string::npos);
    EXPECT_NE(tamsa::tools::too_large_for(tamsa::tools::picture_format::jpeg, 65536, 1), "");
    EXPECT_EQ(tamsa::tools::too_large_for(tamsa::tools::picture_format::jpeg, 65535, 1), "");
}

// Without room of its own for the compressed file, the writer lets the compressor find its own:
// the same bytes, grey and colour, small and above the size that takes huge pages.
TEST(Picture, JpegWithoutItsOwnOutputBufferGivesTheSameFile) {
    TempDir dir;
    for (const auto &[w, h, channels] : {std::tuple{33, 17, 3}, {33, 17, 1}, {1400, 900, 3}}) {
        const picture p = gradient(w, h, channels);
        tamsa::tools::save_picture(dir.file("room.jpg"), p, tamsa::tools::picture_format::jpeg, 90);
        tamsa::tools::fail_huge_buffers(1);
        tamsa::tools::save_picture(dir.file("own.jpg"), p, tamsa::tools::picture_format::jpeg, 90);
        tamsa::tools::fail_huge_buffers(0);
        const std::string room = TempDir::read(dir.file("room.jpg"));
        EXPECT_GT(room.size(), 100u);
        EXPECT_EQ(TempDir::read(dir.file("own.jpg")), room) << w << "x" << h << "x" << channels;
    }
}

// Decoded into the caller's memory, every form gives what load_picture gives (grey spread to
// colour where colour is asked for), writes exactly the bytes asked for, and asks once.
TEST(Picture, ReadsStraightIntoTheCallersMemory) {
    TempDir dir;
    const std::string pam = "P7\nWIDTH 3\nHEIGHT 2\nMAXVAL 255\n";
    const struct {
        const char *name;
        std::string bytes;
    } files[] = {
        {"p6", "P6 3 2 255\nabcdefghijklmnopqr"},
        {"p5", "P5 3 2 255\nabcdef"},
        {"p2", "P2 3 2 7 0 1 2 3 4 7"},
        {"p5_16", std::string("P5 3 1 65535\n\x80\x00\xff\xff\x00\x01", 19)},
        {"pam_grey", pam + "DEPTH 1\nTUPLTYPE GRAYSCALE\nENDHDR\nabcdef"},
        {"pam_grey_alpha", pam + "DEPTH 2\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\naAbBcCdDeEfF"},
        {"pam_rgb_alpha", pam + "DEPTH 4\nTUPLTYPE RGB_ALPHA\nENDHDR\n" + std::string(24, 'z')},
        {"jpeg_grey", tamsa_test::test_jpeg(33, 17, 1)},
        {"jpeg_colour", tamsa_test::test_jpeg(33, 17, 3)},
        {"jpeg_progressive", tamsa_test::test_jpeg(33, 17, 3, true)},
    };
    save_picture(dir.file("grey.png"), gradient(5, 3, 1));
    save_picture(dir.file("colour.png"), gradient(5, 3, 3));
    std::vector<std::string> paths = {dir.file("grey.png"), dir.file("colour.png")};
    for (const auto &f : files) {
        paths.push_back(dir.file(f.name));
        TempDir::write(paths.back(), f.bytes);
    }
    for (const std::string &path : paths) {
        const picture whole = load_picture(path);
        for (const int32_t asked : {0, 3}) {
            SCOPED_TRACE(path + " " + std::to_string(asked));
            const int32_t channels = asked == 3 ? 3 : whole.channels;
            std::vector<uint8_t> memory;
            int calls = 0;
            const tamsa::tools::picture_info info =
                tamsa::tools::load_picture_into(path, asked, [&](int32_t w, int32_t h, int32_t c) {
                    ++calls;
                    EXPECT_EQ(w, whole.width);
                    EXPECT_EQ(h, whole.height);
                    EXPECT_EQ(c, channels);
                    // Room to spare, to see that nothing past the picture is written.
                    memory.assign(size_t(w * h * c) + 16, 0xA5);
                    return memory.data();
                });
            EXPECT_EQ(calls, 1);
            EXPECT_EQ(info.width, whole.width);
            EXPECT_EQ(info.channels, whole.channels);
            EXPECT_EQ(info.dropped_alpha, whole.dropped_alpha);
            const size_t n = size_t(whole.width * whole.height);
            ASSERT_EQ(memory.size(), n * size_t(channels) + 16);
            for (size_t i = 0; i < n * size_t(channels); ++i) {
                const size_t from = channels == whole.channels ? i : i / 3;
                ASSERT_EQ(memory[i], whole.pixels[from]) << i;
            }
            EXPECT_EQ(std::count(memory.end() - 16, memory.end(), 0xA5), 16);
        }
        // No memory: the read fails and says so.
        const std::string message = error_of([&] {
            tamsa::tools::load_picture_into(
                path, 3, [](int32_t, int32_t, int32_t) { return static_cast<uint8_t *>(nullptr); });
        });
        EXPECT_NE(message.find("out of memory"), std::string::npos) << path << ": " << message;
    }
}

TEST(Picture, ProgressiveJpegReadsAsBaselineAndOrientationIsReported) {
    TempDir dir;
    TempDir::write(dir.file("b.jpg"), tamsa_test::test_jpeg(33, 17, 3));
    TempDir::write(dir.file("p.jpg"), tamsa_test::test_jpeg(33, 17, 3, true));
    const picture b = load_picture(dir.file("b.jpg"));
    const picture p = load_picture(dir.file("p.jpg"));
    EXPECT_EQ(b.orientation, 1);
    EXPECT_EQ(p.pixels, b.pixels);
    EXPECT_NE(TempDir::read(dir.file("b.jpg")), TempDir::read(dir.file("p.jpg")));
    for (const bool little : {false, true}) {
        const std::string bytes =
            tamsa_test::with_exif(tamsa_test::test_jpeg(33, 17, 1), 6, little);
        TempDir::write(dir.file("e.jpg"), bytes);
        const picture e = load_picture(dir.file("e.jpg"));
        EXPECT_EQ(e.orientation, 6) << little;
        EXPECT_EQ(e.channels, 1);
        const picture m = tamsa::tools::load_picture_bytes(
            reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), "bytes");
        EXPECT_EQ(m.pixels, e.pixels);
        EXPECT_EQ(m.orientation, 6);
    }
    // From memory as from a file, for the other formats too.
    save_picture(dir.file("m.png"), gradient(7, 3, 3));
    const std::string png = TempDir::read(dir.file("m.png"));
    EXPECT_EQ(tamsa::tools::load_picture_bytes(reinterpret_cast<const uint8_t *>(png.data()),
                                               png.size(), "bytes")
                  .pixels,
              gradient(7, 3, 3).pixels);
}

// Quarter turns and mirrors against where each pixel must go, at 1, 3 and 4 bytes a pixel.
TEST(Picture, TurnsAndFlipsMoveEveryPixel) {
    for (const int32_t bpp : {1, 3, 4}) {
        const int32_t w = 37, h = 45;
        const picture p = gradient(w, h, bpp);
        const auto at = [&](int32_t x, int32_t y, int32_t c) {
            return p.pixels[(size_t(y) * size_t(w) + size_t(x)) * size_t(bpp) + size_t(c)];
        };
        for (const int32_t quarters : {1, 2, 3}) {
            std::vector<uint8_t> out(p.pixels.size());
            tamsa::tools::turn_pixels(p.pixels.data(), w, h, bpp, quarters, out.data());
            const int32_t ow = quarters == 2 ? w : h;
            for (int32_t y = 0; y < (quarters == 2 ? h : w); ++y) {
                for (int32_t x = 0; x < ow; ++x) {
                    for (int32_t c = 0; c < bpp; ++c) {
                        // Counter-clockwise: a quarter turn takes the right column to the top row.
                        const uint8_t want = quarters == 1   ? at(w - 1 - y, x, c)
                                             : quarters == 2 ? at(w - 1 - x, h - 1 - y, c)
                                                             : at(y, h - 1 - x, c);
                        ASSERT_EQ(
                            out[(size_t(y) * size_t(ow) + size_t(x)) * size_t(bpp) + size_t(c)],
                            want)
                            << bpp << " " << quarters << " " << x << "," << y;
                    }
                }
            }
        }
        for (const bool across : {true, false}) {
            picture f = p;
            tamsa::tools::flip_pixels(f.pixels.data(), w, h, bpp, across);
            for (int32_t y = 0; y < h; ++y) {
                for (int32_t x = 0; x < w; ++x) {
                    for (int32_t c = 0; c < bpp; ++c) {
                        ASSERT_EQ(
                            f.pixels[(size_t(y) * size_t(w) + size_t(x)) * size_t(bpp) + size_t(c)],
                            across ? at(w - 1 - x, y, c) : at(x, h - 1 - y, c))
                            << bpp << " " << across;
                    }
                }
            }
        }
    }
}

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
