// Video files both ways: clips libavcodec makes here in MP4, MKV, MOV, AVI and NUT read as the
// same clip in Y4M is, layouts the server does not convert refused, the stream's tags followed;
// frames written as FFV1 (the RGB exactly), H.264 (the exact BT.601 4:2:0 of the Y4M writer)
// and MJPEG, with their tags.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "error_of.h"
#include "support.h"
#include "temp_dir.h"
#include "tools/av_clips.h"
#include "tools/commands/record.h"
#include "tools/pictures/picture.h"
#include "tools/writers/y4m_out.h"

namespace {

using tamsa::tools::chroma;
using tamsa::tools::picture;
using tamsa::tools::record_options;
using tamsa_test::clip_spec;
using tamsa_test::error_of;
using tamsa_test::make_clip;
using tamsa_test::TempDir;

// Reads one file's frames and tags back, with what went wrong in the test's message.
tamsa_test::decoded_file decoded(const std::string &path) {
    return tamsa_test::decode_file(path);
}

// The frames of a blue-first RGB file (FFV1's bgr0) red first, as the kept pictures are.
std::string rgb_of_bgr0(const std::string &bgr0) {
    std::string rgb;
    for (size_t i = 0; i + 3 < bgr0.size(); i += 4) {
        rgb += bgr0[i + 2];
        rgb += bgr0[i + 1];
        rgb += bgr0[i];
    }
    return rgb;
}

clip_spec clip_of(const std::string &codec, const std::string &layout) {
    clip_spec c;
    c.codec = codec;
    c.layout = layout;
    return c;
}

record_options options_for(const std::string &input, const std::string &out) {
    record_options o;
    o.input = input;
    o.out_dir = out;
    o.progress = false;
    return o;
}

std::string bytes_of(const std::vector<picture> &frames) {
    std::string all;
    for (const picture &p : frames) all.append(p.pixels.begin(), p.pixels.end());
    return all;
}

std::string kept(const record_options &o) {
    return bytes_of(tamsa::tools::run_record(o, true).kept);
}

class VideoFiles : public tamsa_test::LeakCheck {
   protected:
    TempDir dir_;
};

struct input_case {
    const char *file;
    clip_spec make;
};

clip_spec with(clip_spec c, const std::function<void(clip_spec &)> &change) {
    change(c);
    return c;
}

// Every layout the server converts, in each container, gives the bytes the same frames give
// as Y4M (written from the file's frames decoded here, tags and all); interlaced and full-range
// clips are followed alike.
TEST_F(VideoFiles, AClipInAFileGivesTheBytesOfTheSameClipAsY4m) {
    const input_case cases[] = {
        {"h264.mp4", clip_of("libx264", "yuv420p")},
        {"ffv1.mkv", clip_of("ffv1", "yuv422p")},
        {"h264.mov", clip_of("libx264", "yuv444p")},
        {"ffv1.nut", clip_of("ffv1", "yuv411p")},
        {"grey.mkv", with(clip_of("ffv1", "gray"), [](clip_spec &c) { c.range = "pc"; })},
        {"full.mkv", with(clip_of("ffv1", "yuv420p"), [](clip_spec &c) { c.range = "pc"; })},
        {"fields.mkv", with(clip_of("ffv1", "yuv420p"), [](clip_spec &c) { c.fields = 'b'; })},
        {"mpeg4.avi", with(clip_of("mpeg4", "yuv420p"), [](clip_spec &c) { c.qscale = 3; })},
        {"mjpeg.avi", clip_of("mjpeg", "yuvj422p")},
        // Rows the decoder cannot write exactly width bytes apart: copied, not taken in place.
        {"narrow.mkv", with(clip_of("ffv1", "yuv420p"), [](clip_spec &c) { c.width = 66; })},
        {"narrow.mp4", with(clip_of("libx264", "yuv422p"),
                            [](clip_spec &c) {
                                c.width = 130;
                                c.height = 26;
                            })},
    };
    for (const input_case &c : cases) {
        if (!tamsa_test::have_encoder(c.make.codec)) {
            std::printf("%s: no %s encoder here\n", c.file, c.make.codec.c_str());
            continue;
        }
        const std::string file = dir_.file(c.file), y4m = file + ".y4m";
        // Long enough that most frames are decoded after the blocks are lent to the decoder,
        // straight into the bus, and wide enough for its rows to be exactly width bytes apart
        // (those of narrower clips are copied).
        clip_spec spec = c.make;
        spec.frames = 24;
        if (spec.width == 64) spec.width = 128;
        make_clip(file, spec);
        tamsa_test::write_y4m_of(y4m, decoded(file));
        const std::string theirs = kept(options_for(y4m, ""));
        EXPECT_EQ(theirs.size(), size_t(spec.width * spec.height * 3 * spec.frames)) << c.file;
        EXPECT_TRUE(kept(options_for(file, "")) == theirs) << c.file;
    }
}

TEST_F(VideoFiles, TheStreamSaysRateAspectFieldsAndRange) {
    const std::string file = dir_.file("tags.mkv");
    make_clip(file, with(clip_of("ffv1", "yuv420p"), [](clip_spec &c) {
                  c.sar_num = 16;
                  c.sar_den = 15;
                  c.fields = 't';
                  c.range = "pc";
                  c.rate_num = 30000;
                  c.rate_den = 1001;
              }));
    const auto clip = tamsa::tools::open_clip(file, 0, 0, 0);
    const tamsa::tools::clip_info &info = clip->info();
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 48);
    EXPECT_EQ(info.layout, chroma::c420);
    EXPECT_EQ(info.rate, "30000:1001");
    EXPECT_EQ(info.aspect, "16:15");
    EXPECT_EQ(info.interlace, 't');
    EXPECT_TRUE(info.full_range);
    tamsa::tools::yuv_frame f;
    EXPECT_TRUE(clip->next(f));
    EXPECT_EQ(f.field, 't');
}

// Layouts the server does not convert are refused with the command that converts them, and
// grey frames whose range nothing gives are not guessed at.
TEST_F(VideoFiles, OtherLayoutsAreRefusedSayingHowToConvertThem) {
    struct refused {
        const char *file;
        clip_spec make;
        const char *says;
    };
    const refused cases[] = {
        {"deep.mkv", clip_of("ffv1", "yuv420p10le"),
         "deep.mkv: frames in yuv420p10le are not read (8-bit 4:2:0, 4:2:2, 4:4:4, 4:1:1 or "
         "grey); convert them with: ffmpeg -i "},
        {"rgb.mkv", clip_of("ffv1", "bgr0"), "-pix_fmt yuv444p -f yuv4mpegpipe - | tamsa record -"},
        {"pal.avi", clip_of("rawvideo", "pal8"), "frames in pal8 are not read"},
        {"grey16.mkv", clip_of("ffv1", "gray16le"), "-pix_fmt gray -f"},
    };
    for (const refused &c : cases) {
        const std::string file = dir_.file(c.file);
        make_clip(file, c.make);
        const std::string e = error_of([&] { kept(options_for(file, "")); });
        EXPECT_NE(e.find(c.says), std::string::npos) << c.file << ": " << e;
    }
    const std::string grey = dir_.file("unsaid.mkv");
    make_clip(grey, clip_of("ffv1", "gray"));
    EXPECT_NE(error_of([&] {
                  kept(options_for(grey, ""));
              }).find("unsaid.mkv does not say whether its levels are studio range"),
              std::string::npos);
    record_options told = options_for(grey, "");
    told.full_range = true;
    EXPECT_EQ(kept(told).size(), size_t(64 * 48 * 3 * 3));
}

// FFV1 keeps the server's RGB exactly: decoded, the file gives the bytes of the PPM frames.
TEST_F(VideoFiles, FfvOneHoldsTheFramesExactly) {
    const std::string clip = dir_.file("in.mp4");
    make_clip(clip,
              with(clip_of(tamsa_test::have_encoder("libx264") ? "libx264" : "mpeg4", "yuv420p"),
                   [](clip_spec &c) { c.frames = 4; }));
    for (const char *name : {"out.mkv", "out.nut"}) {
        record_options o = options_for(clip, dir_.file(name));
        o.scale = {40, 30};
        o.contrast = 120;
        o.correct = true;
        const std::string frames = kept(o);
        ASSERT_EQ(frames.size(), size_t(40 * 30 * 3 * 4));
        const tamsa_test::decoded_file back = decoded(dir_.file(name));
        EXPECT_TRUE(rgb_of_bgr0(back.bytes) == frames) << name;
        EXPECT_EQ(back.codec, "ffv1");
        EXPECT_EQ(back.layout, "bgr0");
        EXPECT_EQ(back.frames, 4);
    }
    // The PPM frames themselves, not only the kept pictures.
    record_options files = options_for(clip, dir_.file("ppm"));
    files.scale = {40, 30};
    files.contrast = 120;
    files.correct = true;
    tamsa::tools::run_record(files);
    std::string ppm;
    for (int k = 1; k <= 4; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "ppm/frame-%05d.ppm", k);
        ppm += bytes_of({tamsa::tools::load_picture(dir_.file(name))});
    }
    EXPECT_TRUE(rgb_of_bgr0(decoded(dir_.file("out.mkv")).bytes) == ppm);
}

// H.264 (lossless at --crf 0, so that the rule shows) holds the 4:2:0 planes of the Y4M
// writer's exact BT.601 rule, in the clip's range, tagged.
TEST_F(VideoFiles, HTwoSixFourIsTheExactFourTwoZeroOfTheY4mWriter) {
    for (const bool full : {false, true}) {
        const std::string clip = dir_.file(full ? "full.mkv" : "studio.mkv");
        make_clip(clip, with(clip_of("ffv1", "yuv420p"),
                             [&](clip_spec &c) { c.range = full ? "pc" : "tv"; }));
        for (const char *ext : {".mp4", ".mov"}) {
            const std::string out = clip + ext;
            record_options o = options_for(clip, out);
            o.video.crf = 0;
            const std::vector<picture> frames = tamsa::tools::run_record(o, true).kept;
            ASSERT_EQ(frames.size(), 3u);
            std::string planes;
            for (const picture &p : frames) {
                const std::vector<uint8_t> yuv = tamsa::tools::y4m_planes(p, chroma::c420, full);
                planes.append(yuv.begin(), yuv.end());
            }
            // The decoder names full-range 4:2:0 yuvj420p; taken as it is, with no conversion.
            const std::string layout = full ? "yuvj420p" : "yuv420p";
            const tamsa_test::decoded_file back = decoded(out);
            EXPECT_TRUE(back.bytes == planes) << out;
            EXPECT_EQ(back.codec, "h264") << out;
            EXPECT_EQ(back.layout, layout) << out;
            EXPECT_EQ(back.range, full ? "pc" : "tv") << out;
            EXPECT_EQ(back.rate, "25/1") << out;
        }
    }
}

// The clip's rate, aspect, fields and range are tagged: kept as they are, or as --scale and
// deinterlacing make them. AVI takes MJPEG.
TEST_F(VideoFiles, TagsFollowTheClipAndAviTakesMjpeg) {
    const std::string clip = dir_.file("tagged.mkv");
    make_clip(clip, with(clip_of("ffv1", "yuv420p"), [](clip_spec &c) {
                  c.sar_num = 16;
                  c.sar_den = 15;
                  c.fields = 't';
                  c.rate_num = 30000;
                  c.rate_den = 1001;
              }));
    record_options both = options_for(clip, dir_.file("both.mkv"));
    both.deinterlace = false;
    tamsa::tools::run_record(both);
    const tamsa_test::decoded_file both_back = decoded(dir_.file("both.mkv"));
    EXPECT_EQ(both_back.aspect, "16:15");
    EXPECT_EQ(both_back.field_order, "tt");
    EXPECT_EQ(both_back.rate, "30000/1001");
    record_options one = options_for(clip, dir_.file("one.mp4"));
    one.scale = {32, 48};
    tamsa::tools::run_record(one);
    const tamsa_test::decoded_file one_back = decoded(dir_.file("one.mp4"));
    EXPECT_EQ(one_back.aspect, "32:15");
    EXPECT_EQ(one_back.field_order, "progressive");
    EXPECT_EQ(one_back.rate, "30000/1001");
    tamsa::tools::run_record(options_for(clip, dir_.file("m.avi")));
    const tamsa_test::decoded_file m_back = decoded(dir_.file("m.avi"));
    EXPECT_EQ(m_back.codec, "mjpeg");
    EXPECT_EQ(m_back.layout, "yuvj420p");
    EXPECT_EQ(m_back.frames, 3);
}

// An existing file is replaced only with -y, through a temporary name that does not stay; a
// run from --start keeps the frames after it.
TEST_F(VideoFiles, AnExistingFileIsReplacedOnlyWhenAsked) {
    const std::string clip = dir_.file("c.nut"), out = dir_.file("there.mkv");
    make_clip(clip, with(clip_of("ffv1", "yuv420p"), [](clip_spec &c) { c.frames = 2; }));
    TempDir::write(out, "mine");
    record_options o = options_for(clip, out);
    EXPECT_NE(error_of([&] { tamsa::tools::run_record(o); }).find("already exists"),
              std::string::npos);
    EXPECT_EQ(TempDir::read(out), "mine");
    o.overwrite = true;
    o.start = 1;
    const tamsa::tools::record_report r = tamsa::tools::run_record(o, true);
    EXPECT_EQ(r.skipped, 1u);
    EXPECT_EQ(r.encoded_as, "FFV1 by ffv1, bgr0");
    const tamsa_test::decoded_file back = decoded(out);
    EXPECT_EQ(back.frames, 1);
    EXPECT_TRUE(rgb_of_bgr0(back.bytes) == bytes_of(r.kept));
    for (const auto &e : std::filesystem::directory_iterator(dir_.path())) {
        EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos) << e.path();
    }
}

// The rule per pixel as first written, with std::lround and a count per group: the reference
// the Y4M writer's planes (and so H.264's and MJPEG's) are held to, byte for byte.
std::vector<uint8_t> reference_planes(const picture &p, chroma layout, bool full) {
    const auto level = [](double x) {
        return uint8_t(std::lround(std::fmin(255.0, std::fmax(0.0, x))));
    };
    const size_t w = size_t(p.width), h = size_t(p.height);
    const size_t across = size_t(tamsa::tools::chroma_across(layout));
    const size_t down = size_t(tamsa::tools::chroma_down(layout));
    const size_t cw = size_t(tamsa::tools::chroma_width(layout, p.width));
    const size_t ch = size_t(tamsa::tools::chroma_height(layout, p.height));
    std::vector<uint8_t> out(w * h + 2 * cw * ch);
    std::vector<double> us(cw * ch, 0.0), vs(cw * ch, 0.0), counts(cw * ch, 0.0);
    for (size_t i = 0; i < w * h; ++i) {
        const uint8_t *px = &p.pixels[i * size_t(p.channels)];
        const double r = px[0], g = px[p.channels == 3 ? 1 : 0], b = px[p.channels == 3 ? 2 : 0];
        double y, u, v;
        if (full) {
            y = 0.299 * r + (1.0 - 0.299 - 0.114) * g + 0.114 * b;
            u = 128.0 + (b - y) / (2.0 * (1.0 - 0.114));
            v = 128.0 + (r - y) / (2.0 * (1.0 - 0.299));
        } else {
            y = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
            u = 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
            v = 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
        }
        out[i] = level(y);
        if (across == 0) continue;
        const size_t c = (i / w / down) * cw + i % w / across;
        us[c] += u;
        vs[c] += v;
        counts[c] += 1.0;
    }
    for (size_t c = 0; c < cw * ch; ++c) {
        out[w * h + c] = level(us[c] / counts[c]);
        out[w * h + cw * ch + c] = level(vs[c] / counts[c]);
    }
    return out;
}

TEST(YuvRule, PlanesAreThoseOfTheRulePixelByPixel) {
    const chroma layouts[] = {chroma::c420, chroma::c422, chroma::c444, chroma::c411, chroma::mono};
    const int sizes[][2] = {{1, 1}, {7, 5}, {33, 17}, {64, 48}};
    uint32_t seed = 12345;
    for (const auto &size : sizes) {
        for (const int channels : {3, 1}) {
            picture p;
            p.width = size[0];
            p.height = size[1];
            p.channels = channels;
            p.pixels.resize(size_t(size[0]) * size_t(size[1]) * size_t(channels));
            // Random levels, and the extremes where chroma lands on halves (blue 0 under full
            // red and green gives full-range U of 0.5).
            for (size_t i = 0; i < p.pixels.size(); ++i) {
                seed = seed * 1664525u + 1013904223u;
                p.pixels[i] = i % 7 == 0 ? uint8_t(i % 2 * 255) : uint8_t(seed >> 24);
            }
            if (channels == 3) {
                p.pixels[0] = p.pixels[1] = 255;
                p.pixels[2] = 0;
            }
            for (const chroma layout : layouts) {
                for (const bool full : {false, true}) {
                    EXPECT_TRUE(tamsa::tools::y4m_planes(p, layout, full) ==
                                reference_planes(p, layout, full))
                        << size[0] << "x" << size[1] << " channels " << channels << " layout "
                        << int(layout) << (full ? " full" : " studio");
                }
            }
        }
    }
}

// Every colour, alone (4:4:4) and in 2x2 groups of its neighbours (4:2:0), in both ranges: the
// writer's quick path defers to the rule wherever a value lands on or near a half.
TEST(YuvRule, EveryColourGivesTheRulesLevels) {
    picture p;
    p.width = 256;
    p.height = 256;
    p.channels = 3;
    p.pixels.resize(256 * 256 * 3);
    size_t differ = 0;
    for (int red = 0; red < 256; ++red) {
        for (size_t i = 0; i < 256 * 256; ++i) {
            p.pixels[i * 3] = uint8_t(red);
            p.pixels[i * 3 + 1] = uint8_t(i >> 8);
            p.pixels[i * 3 + 2] = uint8_t(i);
        }
        for (const chroma layout : {chroma::c444, chroma::c420}) {
            if (layout == chroma::c420 && red % 15 != 0) continue;
            for (const bool full : {false, true}) {
                differ +=
                    tamsa::tools::y4m_planes(p, layout, full) != reference_planes(p, layout, full);
            }
        }
    }
    EXPECT_EQ(differ, 0u);
}

}  // namespace
