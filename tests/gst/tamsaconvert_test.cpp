// The tamsaconvert element in a GstHarness: its frames against `tamsa record`'s for the same
// frames, caps both ways, properties while playing, a served run, EOS and flushing.
#include <dlfcn.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "tools/commands/record.h"
#include "tools/readers/clip.h"

#if defined(__SANITIZE_ADDRESS__)
// GStreamer keeps its registry and caches to the end of the process, by design.
extern "C" const char *__asan_default_options() {
    return "detect_leaks=0";
}
#endif

namespace {

using tamsa::tools::chroma;
using tamsa::tools::yuv_frame;
using tamsa_test::child;

// Every byte made from its index and the seed, with the odd sample near black and white.
yuv_frame test_frame(int32_t w, int32_t h, chroma layout, uint8_t seed) {
    yuv_frame f;
    f.width = w;
    f.height = h;
    f.layout = layout;
    f.y.resize(size_t(w) * size_t(h));
    for (size_t i = 0; i < f.y.size(); ++i) f.y[i] = uint8_t(i * 7 + seed);
    if (layout != chroma::mono) {
        const size_t c = size_t(tamsa::tools::chroma_width(layout, w)) *
                         size_t(tamsa::tools::chroma_height(layout, h));
        f.u.resize(c);
        f.v.resize(c);
        for (size_t i = 0; i < c; ++i) f.u[i] = uint8_t(i * 13 + seed + 1);
        for (size_t i = 0; i < c; ++i) f.v[i] = uint8_t(i * 29 + seed + 2);
    }
    return f;
}

// What the command makes of the frames: red-first pixels, one picture a frame.
std::vector<std::vector<uint8_t>> command_frames(const std::vector<yuv_frame> &frames,
                                                 const std::string &tags,
                                                 tamsa::tools::record_options o = {}) {
    tamsa_test::TempDir dir;
    const std::string clip = dir.file("clip.y4m");
    FILE *f = std::fopen(clip.c_str(), "wb");
    tamsa::tools::write_y4m(f, frames, tags);
    std::fclose(f);
    o.input = clip;
    o.out_dir = "";
    o.progress = false;
    if (!o.deinterlace.has_value()) o.deinterlace = false;
    std::vector<std::vector<uint8_t>> out;
    for (auto &p : tamsa::tools::run_record(o, true).kept) out.push_back(p.pixels);
    return out;
}

struct layout_case {
    const char *format;
    chroma layout;
    bool swap_uv;  // YV12: V before U
};
const layout_case kLayouts[] = {
    {"I420", chroma::c420, false}, {"YV12", chroma::c420, true},  {"Y42B", chroma::c422, false},
    {"Y444", chroma::c444, false}, {"Y41B", chroma::c411, false}, {"GRAY8", chroma::mono, false},
};

// A buffer of the frame laid out as the caps' video info says (its own strides and offsets):
// b, or a new one in plain memory.
GstBuffer *frame_buffer(const GstVideoInfo &info, const yuv_frame &f, GstClockTime pts,
                        GstBuffer *b = nullptr) {
    if (b == nullptr) b = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
    GstVideoFrame frame;
    EXPECT_TRUE(gst_video_frame_map(&frame, const_cast<GstVideoInfo *>(&info), b, GST_MAP_WRITE));
    auto copy = [&](int comp, const std::vector<uint8_t> &plane, int32_t w, int32_t h) {
        auto *to = static_cast<uint8_t *>(GST_VIDEO_FRAME_COMP_DATA(&frame, comp));
        const int stride = GST_VIDEO_FRAME_COMP_STRIDE(&frame, comp);
        ASSERT_EQ(GST_VIDEO_FRAME_COMP_WIDTH(&frame, comp), w);
        ASSERT_EQ(GST_VIDEO_FRAME_COMP_HEIGHT(&frame, comp), h);
        for (int32_t r = 0; r < h; ++r) {
            std::memcpy(to + size_t(r) * size_t(stride), plane.data() + size_t(r) * size_t(w),
                        size_t(w));
            // Bytes past the width are no pixels: noise there must not show.
            std::memset(to + size_t(r) * size_t(stride) + w, 0x5a, size_t(stride - w));
        }
    };
    copy(GST_VIDEO_COMP_Y, f.y, f.width, f.height);
    if (f.layout != chroma::mono) {
        const int32_t cw = tamsa::tools::chroma_width(f.layout, f.width);
        const int32_t ch = tamsa::tools::chroma_height(f.layout, f.height);
        copy(GST_VIDEO_COMP_U, f.u, cw, ch);
        copy(GST_VIDEO_COMP_V, f.v, cw, ch);
    }
    gst_video_frame_unmap(&frame);
    GST_BUFFER_PTS(b) = pts;
    GST_BUFFER_DURATION(b) = GST_SECOND / 25;
    return b;
}

// The output buffer's pixels, red first, without the padding of its rows.
std::vector<uint8_t> rgb_of(GstHarness *h, GstBuffer *b) {
    GstCaps *caps = gst_pad_get_current_caps(h->sinkpad);
    GstVideoInfo info;
    EXPECT_TRUE(gst_video_info_from_caps(&info, caps));
    gst_caps_unref(caps);
    GstVideoFrame frame;
    std::vector<uint8_t> out;
    if (!gst_video_frame_map(&frame, &info, b, GST_MAP_READ)) return out;
    const int32_t w = GST_VIDEO_FRAME_WIDTH(&frame), rows = GST_VIDEO_FRAME_HEIGHT(&frame);
    const bool bgr = GST_VIDEO_FRAME_FORMAT(&frame) == GST_VIDEO_FORMAT_BGR;
    for (int32_t r = 0; r < rows; ++r) {
        const auto *p = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)) +
                        size_t(r) * size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
        for (int32_t x = 0; x < w; ++x, p += 3) {
            out.insert(out.end(), {bgr ? p[2] : p[0], p[1], bgr ? p[0] : p[2]});
        }
    }
    gst_video_frame_unmap(&frame);
    return out;
}

std::string input_caps(const char *format, int32_t w, int32_t h, const std::string &more) {
    return std::string("video/x-raw,format=") + format + ",width=" + std::to_string(w) +
           ",height=" + std::to_string(h) + ",framerate=25/1" + more;
}

// A harness around one element, its errors kept on a bus of its own.
class Element {
   public:
    // props: the element's properties before it starts, as gst-launch-1.0 takes them.
    explicit Element(const std::string &in_caps, const std::string &out_caps,
                     const std::vector<std::pair<const char *, std::string>> &props = {})
        : bus_(gst_bus_new()) {
        GstElement *element = gst_element_factory_make("tamsaconvert", nullptr);
        for (const auto &[name, value] : props) {
            gst_util_set_object_arg(G_OBJECT(element), name, value.c_str());
        }
        h_ = gst_harness_new_with_element(element, "sink", "src");
        gst_object_unref(element);
        gst_element_set_bus(h_->element, bus_);
        gst_harness_set_src_caps_str(h_, in_caps.c_str());
        gst_harness_set_sink_caps_str(h_, out_caps.c_str());
        GstCaps *caps = gst_caps_from_string(in_caps.c_str());
        gst_video_info_from_caps(&in_, caps);
        gst_caps_unref(caps);
    }
    ~Element() {
        gst_harness_teardown(h_);
        gst_object_unref(bus_);
    }
    Element(const Element &) = delete;
    Element &operator=(const Element &) = delete;

    GstFlowReturn push(const yuv_frame &f, GstClockTime pts = 0, guint flags = 0) {
        GstBuffer *b = frame_buffer(in_, f, pts);
        GST_BUFFER_FLAG_SET(b, flags);
        return gst_harness_push(h_, b);
    }
    // The frame in a buffer from the pool the element offered upstream, as a source that takes
    // it writes its frames; block gets the address of the buffer's memory.
    GstFlowReturn push_pooled(const yuv_frame &f, GstClockTime pts, const void **block) {
        GstBuffer *b = gst_harness_create_buffer(h_, GST_VIDEO_INFO_SIZE(&in_));
        GstMapInfo map;
        EXPECT_TRUE(gst_buffer_map(b, &map, GST_MAP_READ));
        *block = map.data;
        gst_buffer_unmap(b, &map);
        return gst_harness_push(h_, frame_buffer(in_, f, pts, b));
    }
    // The next frame out, red first; empty when there is none.
    std::vector<uint8_t> pull() {
        GstBuffer *b = gst_harness_try_pull(h_);
        if (b == nullptr) return {};
        std::vector<uint8_t> out = rgb_of(h_, b);
        gst_buffer_unref(b);
        return out;
    }
    std::string out_caps() const {
        GstCaps *caps = gst_pad_get_current_caps(h_->sinkpad);
        if (caps == nullptr) return "";
        gchar *s = gst_caps_to_string(caps);
        std::string text = s;
        g_free(s);
        gst_caps_unref(caps);
        return text;
    }
    // The first error the element posted, or "".
    std::string error() {
        GstMessage *m = gst_bus_pop_filtered(bus_, GST_MESSAGE_ERROR);
        if (m == nullptr) return "";
        GError *e = nullptr;
        gst_message_parse_error(m, &e, nullptr);
        std::string text = e->message;
        g_error_free(e);
        gst_message_unref(m);
        return text;
    }
    GstElement *element() const { return h_->element; }
    GstHarness *harness() const { return h_; }

   private:
    GstHarness *h_ = nullptr;
    GstBus *bus_;
    GstVideoInfo in_;
};

class TamsaConvert : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        // The plugin from the build tree, scanned in this process into a registry of the build's.
        setenv("GST_PLUGIN_PATH", TAMSA_GST_PLUGIN_DIR, 1);
        setenv("GST_REGISTRY", TAMSA_GST_REGISTRY, 1);
        setenv("GST_REGISTRY_FORK", "no", 1);
        gst_init(nullptr, nullptr);
    }
};

// Every layout, at an even size and an odd one (partial chroma groups, padded rows), in both
// ranges and to both orders: the command's bytes exactly.
TEST_F(TamsaConvert, EveryLayoutAndRangeAsTheCommandConvertsThem) {
    const std::pair<int32_t, int32_t> sizes[] = {{32, 18}, {33, 17}, {7, 3}};
    for (const layout_case &l : kLayouts) {
        for (auto [w, h] : sizes) {
            for (bool full : {false, true}) {
                SCOPED_TRACE(std::string(l.format) + " " + std::to_string(w) + "x" +
                             std::to_string(h) + (full ? " full" : " studio"));
                std::vector<yuv_frame> frames;
                for (uint8_t seed : {uint8_t(0), uint8_t(91)}) {
                    frames.push_back(test_frame(w, h, l.layout, seed));
                }
                const auto expected = command_frames(frames, full ? " XCOLORRANGE=FULL" : "");
                // Grey has no matrix; YUV says BT.601 with the range.
                const std::string colorimetry = l.layout == chroma::mono
                                                    ? (full ? "1:0:0:0" : "2:0:0:0")
                                                    : (full ? "1:4:0:0" : "2:4:0:0");
                const char *order = full ? "RGB" : "BGR";
                Element e(input_caps(l.format, w, h, ",colorimetry=" + colorimetry),
                          std::string("video/x-raw,format=") + order);
                ASSERT_EQ(expected.size(), frames.size());
                for (size_t i = 0; i < frames.size(); ++i) {
                    ASSERT_EQ(e.push(frames[i], i * GST_SECOND / 25), GST_FLOW_OK) << e.error();
                    EXPECT_EQ(e.pull(), expected[i]) << "frame " << i;
                }
            }
        }
    }
}

// Output caps of another size: resized as the command's --scale resizes, 4:1:1 in one message.
TEST_F(TamsaConvert, ResizesAsTheCommandDoes) {
    const struct {
        const char *format;
        chroma layout;
        int32_t w, h, to_w, to_h;
    } cases[] = {{"I420", chroma::c420, 33, 17, 20, 11},
                 {"I420", chroma::c420, 32, 18, 20, 11},
                 {"Y41B", chroma::c411, 36, 10, 18, 5},
                 {"Y444", chroma::c444, 16, 16, 40, 23}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.format);
        const std::vector<yuv_frame> frames{test_frame(c.w, c.h, c.layout, 5)};
        tamsa::tools::record_options o;
        o.scale = {c.to_w, c.to_h};
        const auto expected = command_frames(frames, "", o);
        Element e(input_caps(c.format, c.w, c.h, ",colorimetry=bt601,pixel-aspect-ratio=1/1"),
                  "video/x-raw,format=BGR,width=" + std::to_string(c.to_w) +
                      ",height=" + std::to_string(c.to_h));
        ASSERT_EQ(e.push(frames[0]), GST_FLOW_OK) << e.error();
        EXPECT_EQ(e.pull(), expected[0]);
        // The picture keeps its shape: the pixels' aspect makes up for the new size.
        GstCaps *caps = gst_caps_from_string(e.out_caps().c_str());
        gint n = 0, d = 0;
        gst_structure_get_fraction(gst_caps_get_structure(caps, 0), "pixel-aspect-ratio", &n, &d);
        gst_caps_unref(caps);
        EXPECT_EQ(int64_t(n) * c.to_w * c.h, int64_t(d) * c.w * c.to_h) << n << "/" << d;
    }
}

// Contrast, brightness, invert and the colour cube, each as the command's options.
TEST_F(TamsaConvert, CorrectionsAndTheColourCubeAsTheCommandDoesThem) {
    for (int32_t width : {21, 24}) {
        const std::vector<yuv_frame> frames{test_frame(width, 9, chroma::c422, 40)};
        struct effect_case {
            int contrast, brightness;
            bool invert, remap;
        };
        for (const effect_case &c : {effect_case{150, -20, false, false},
                                     {70, 30, true, false},
                                     {100, 0, false, true},
                                     {130, 10, true, true}}) {
            SCOPED_TRACE(std::to_string(width) + " wide, " + std::to_string(c.contrast) + " " +
                         std::to_string(c.brightness));
            tamsa::tools::record_options o;
            o.correct = c.contrast != 100 || c.brightness != 0 || c.invert;
            o.contrast = c.contrast;
            o.brightness = c.brightness;
            o.invert = c.invert;
            o.remap = c.remap;
            const auto expected = command_frames(frames, "", o);
            for (const char *order : {"BGR", "RGB"}) {
                Element e(input_caps("Y42B", width, 9, ",colorimetry=bt601"),
                          std::string("video/x-raw,format=") + order,
                          {{"contrast", std::to_string(c.contrast)},
                           {"brightness", std::to_string(c.brightness)},
                           {"invert", c.invert ? "true" : "false"},
                           {"remap", c.remap ? "true" : "false"}});
                ASSERT_EQ(e.push(frames[0]), GST_FLOW_OK) << e.error();
                EXPECT_EQ(e.pull(), expected[0]) << order;
            }
        }
    }
}

// Interlaced 4:2:0: each row takes its own field's chroma; deinterlacing keeps the field first
// in time as the caps say, and the output is progressive.
TEST_F(TamsaConvert, InterlacedFramesAsTheCommandTakesThem) {
    const std::vector<yuv_frame> frames{test_frame(24, 14, chroma::c420, 3)};
    for (const char *order : {"top-field-first", "bottom-field-first"}) {
        SCOPED_TRACE(order);
        const std::string tag = order[0] == 't' ? " It" : " Ib";
        const std::string caps = input_caps(
            "I420", 24, 14,
            std::string(",colorimetry=bt601,interlace-mode=interleaved,field-order=") + order);
        {
            Element e(caps, "video/x-raw,format=BGR");
            ASSERT_EQ(e.push(frames[0]), GST_FLOW_OK) << e.error();
            EXPECT_EQ(e.pull(), command_frames(frames, tag)[0]);
            EXPECT_NE(e.out_caps().find("interleaved"), std::string::npos) << e.out_caps();
        }
        tamsa::tools::record_options o;
        o.deinterlace = true;
        Element e(caps, "video/x-raw,format=BGR", {{"deinterlace", "true"}});
        ASSERT_EQ(e.push(frames[0]), GST_FLOW_OK) << e.error();
        EXPECT_EQ(e.pull(), command_frames(frames, tag, o)[0]);
        EXPECT_NE(e.out_caps().find("progressive"), std::string::npos) << e.out_caps();
    }
}

// Mixed streams: each buffer's flags say whether it is interlaced and which field is first.
TEST_F(TamsaConvert, MixedStreamsTakeEachFramesFlags) {
    const yuv_frame f = test_frame(16, 12, chroma::c420, 11);
    tamsa::tools::record_options o;
    o.deinterlace = true;
    const auto top = command_frames({f}, " It", o)[0];
    const auto bottom = command_frames({f}, " Ib", o)[0];
    const auto progressive = command_frames({f}, "")[0];
    ASSERT_NE(top, bottom);
    Element e(input_caps("I420", 16, 12, ",colorimetry=bt601,interlace-mode=mixed"),
              "video/x-raw,format=BGR", {{"deinterlace", "true"}});
    ASSERT_EQ(e.push(f, 0, GST_VIDEO_BUFFER_FLAG_INTERLACED | GST_VIDEO_BUFFER_FLAG_TFF),
              GST_FLOW_OK)
        << e.error();
    EXPECT_EQ(e.pull(), top);
    ASSERT_EQ(e.push(f, 1, GST_VIDEO_BUFFER_FLAG_INTERLACED), GST_FLOW_OK);
    EXPECT_EQ(e.pull(), bottom);
    ASSERT_EQ(e.push(f, 2), GST_FLOW_OK);
    EXPECT_EQ(e.pull(), progressive);
    // Not deinterlaced: interlaced frames take their fields' chroma and progressive ones their
    // own rows', each corrected after, whichever comes first.
    tamsa::tools::record_options brighter;
    brighter.correct = true;
    brighter.brightness = 40;
    const auto fields = command_frames({f}, " It", brighter)[0];
    const auto rows = command_frames({f}, "", brighter)[0];
    ASSERT_NE(fields, rows);
    Element mixed(input_caps("I420", 16, 12, ",colorimetry=bt601,interlace-mode=mixed"),
                  "video/x-raw,format=BGR", {{"brightness", "40"}});
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(mixed.push(f, 0, GST_VIDEO_BUFFER_FLAG_INTERLACED | GST_VIDEO_BUFFER_FLAG_TFF),
                  GST_FLOW_OK)
            << mixed.error();
        EXPECT_EQ(mixed.pull(), fields) << i;
        ASSERT_EQ(mixed.push(f, 1), GST_FLOW_OK) << mixed.error();
        EXPECT_EQ(mixed.pull(), rows) << i;
    }
}

// What the caps leave open is refused with an error, never converted by a guess.
TEST_F(TamsaConvert, RefusesWhatTheCapsLeaveOpen) {
    const yuv_frame f = test_frame(16, 8, chroma::c420, 1);
    const struct {
        std::string caps;
        bool deinterlace;
        const char *out;
        const char *why;
    } cases[] = {
        {input_caps("I420", 16, 8, ",colorimetry=bt709"), false, "video/x-raw,format=BGR",
         "BT.601"},
        {input_caps("I420", 16, 8, ",colorimetry=0:4:0:0"), false, "video/x-raw,format=BGR",
         "range"},
        {input_caps("I420", 16, 8, ",colorimetry=bt601,interlace-mode=interleaved"), true,
         "video/x-raw,format=BGR", "field-order"},
        {input_caps("I420", 16, 8,
                    ",colorimetry=bt601,interlace-mode=interleaved,field-order=top-field-first"),
         false, "video/x-raw,format=BGR,width=8,height=4", "fields"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.caps);
        Element e(c.caps, c.out, {{"deinterlace", c.deinterlace ? "true" : "false"}});
        EXPECT_NE(e.push(f), GST_FLOW_OK);
        EXPECT_NE(e.error().find(c.why), std::string::npos);
    }
}

// Caps: passed through when downstream takes the input as it is and nothing is asked; converted
// at the input's size when only the format is asked; never passed through once a correction is.
TEST_F(TamsaConvert, NegotiatesBothWays) {
    const yuv_frame f = test_frame(20, 10, chroma::c420, 8);
    const std::string in = input_caps("I420", 20, 10, ",colorimetry=bt601");
    {
        Element e(in, "video/x-raw");
        GstBuffer *b = frame_buffer(
            [&] {
                GstVideoInfo info;
                GstCaps *caps = gst_caps_from_string(in.c_str());
                gst_video_info_from_caps(&info, caps);
                gst_caps_unref(caps);
                return info;
            }(),
            f, 0);
        gst_buffer_ref(b);
        ASSERT_EQ(gst_harness_push(e.harness(), b), GST_FLOW_OK);
        GstBuffer *out = gst_harness_pull(e.harness());
        EXPECT_EQ(out, b);  // the very buffer: nothing copied
        gst_buffer_unref(out);
        gst_buffer_unref(b);
        EXPECT_NE(e.out_caps().find("I420"), std::string::npos);
        // A correction asked for while passing through: the next frame is converted.
        tamsa::tools::record_options o;
        o.correct = o.invert = true;
        g_object_set(e.element(), "invert", TRUE, nullptr);
        ASSERT_EQ(e.push(f, 1), GST_FLOW_OK) << e.error();
        EXPECT_EQ(e.pull(), command_frames({f}, "", o)[0]);
        EXPECT_NE(e.out_caps().find("BGR"), std::string::npos) << e.out_caps();
    }
    {
        Element e(in, "video/x-raw,format={I420,RGB}", {{"invert", "true"}});
        ASSERT_EQ(e.push(f), GST_FLOW_OK) << e.error();
        EXPECT_NE(e.out_caps().find("RGB"), std::string::npos) << e.out_caps();
        EXPECT_NE(e.out_caps().find("width=(int)20"), std::string::npos) << e.out_caps();
    }
    // Downstream asking RGB of a size: upstream is asked YUV of any size.
    Element e(in, "video/x-raw,format=RGB,width=10,height=5");
    GstCaps *asked = gst_pad_peer_query_caps(e.harness()->srcpad, nullptr);
    gchar *text = gst_caps_to_string(asked);
    EXPECT_NE(std::string(text).find("I420"), std::string::npos) << text;
    EXPECT_EQ(std::string(text).find("RGB"), std::string::npos) << text;
    g_free(text);
    gst_caps_unref(asked);
}

// A property changed while playing applies from the next frame; deinterlace switched on asks for
// progressive caps.
TEST_F(TamsaConvert, PropertiesChangeWhilePlaying) {
    const std::vector<yuv_frame> frames{test_frame(18, 8, chroma::c420, 2),
                                        test_frame(18, 8, chroma::c420, 77)};
    tamsa::tools::record_options o;
    o.correct = true;
    o.contrast = 160;
    const auto plain = command_frames(frames, "");
    const auto contrasted = command_frames(frames, "", o);
    Element e(input_caps("I420", 18, 8, ",colorimetry=bt601"), "video/x-raw,format=RGB");
    ASSERT_EQ(e.push(frames[0]), GST_FLOW_OK);
    EXPECT_EQ(e.pull(), plain[0]);
    g_object_set(e.element(), "contrast", 160, nullptr);
    ASSERT_EQ(e.push(frames[1], 1), GST_FLOW_OK);
    EXPECT_EQ(e.pull(), contrasted[1]);
    g_object_set(e.element(), "contrast", 100, nullptr);
    ASSERT_EQ(e.push(frames[1], 2), GST_FLOW_OK);
    EXPECT_EQ(e.pull(), plain[1]);

    const std::string interlaced =
        input_caps("I420", 18, 8,
                   ",colorimetry=bt601,interlace-mode=interleaved,field-order=bottom-field-first");
    tamsa::tools::record_options d;
    d.deinterlace = true;
    Element i(interlaced, "video/x-raw,format=BGR");
    ASSERT_EQ(i.push(frames[0]), GST_FLOW_OK);
    EXPECT_EQ(i.pull(), command_frames(frames, " Ib")[0]);
    g_object_set(i.element(), "deinterlace", TRUE, nullptr);
    ASSERT_EQ(i.push(frames[1], 1), GST_FLOW_OK) << i.error();
    EXPECT_EQ(i.pull(), command_frames(frames, " Ib", d)[1]);
    EXPECT_NE(i.out_caps().find("progressive"), std::string::npos) << i.out_caps();
}

// Timestamps go through; EOS comes out after the frames; after a flush the element converts on.
TEST_F(TamsaConvert, TimestampsEosAndFlushing) {
    const std::vector<yuv_frame> frames{test_frame(10, 6, chroma::c444, 9)};
    const auto expected = command_frames(frames, "");
    Element e(input_caps("Y444", 10, 6, ",colorimetry=bt601"), "video/x-raw,format=BGR");
    ASSERT_EQ(e.push(frames[0], 3 * GST_SECOND), GST_FLOW_OK);
    GstBuffer *b = gst_harness_pull(e.harness());
    EXPECT_EQ(GST_BUFFER_PTS(b), 3 * GST_SECOND);
    EXPECT_EQ(GST_BUFFER_DURATION(b), GST_SECOND / 25);
    gst_buffer_unref(b);
    ASSERT_TRUE(gst_harness_push_event(e.harness(), gst_event_new_flush_start()));
    ASSERT_TRUE(gst_harness_push_event(e.harness(), gst_event_new_flush_stop(TRUE)));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    ASSERT_TRUE(gst_harness_push_event(e.harness(), gst_event_new_segment(&segment)));
    ASSERT_EQ(e.push(frames[0], 0), GST_FLOW_OK) << e.error();
    EXPECT_EQ(e.pull(), expected[0]);
    ASSERT_TRUE(gst_harness_push_event(e.harness(), gst_event_new_eos()));
    bool eos = false;
    while (GstEvent *ev = gst_harness_try_pull_event(e.harness())) {
        eos = eos || GST_EVENT_TYPE(ev) == GST_EVENT_EOS;
        gst_event_unref(ev);
    }
    EXPECT_TRUE(eos);
}

// The element's counts: frames converted, planes copied in, frames copied out.
struct copy_counts {
    guint64 frames = 0, in = 0, out = 0;
};
copy_counts counts_of(GstElement *element) {
    GstStructure *stats = nullptr;
    g_object_get(element, "stats", &stats, nullptr);
    copy_counts c;
    EXPECT_NE(stats, nullptr);
    if (stats == nullptr) return c;
    gst_structure_get_uint64(stats, "frames", &c.frames);
    gst_structure_get_uint64(stats, "copied-in", &c.in);
    gst_structure_get_uint64(stats, "copied-out", &c.out);
    gst_structure_free(stats);
    return c;
}

// Whether the buffer's memory is the bus memory the element offers.
bool in_bus_memory(GstBuffer *b) {
    return gst_buffer_n_memory(b) == 1 &&
           gst_memory_is_type(gst_buffer_peek_memory(b, 0), "TamsaBus");
}

// Blocks and bytes live in the bus the plugin works in: the plugin holds a copy of the library
// of its own, so it is asked, not this program's.
std::pair<uint64_t, uint64_t> plugin_bus() {
    static const auto stats = [] {
        void *plugin = dlopen(TAMSA_GST_PLUGIN_DIR "/libgsttamsa.so", RTLD_NOW | RTLD_NOLOAD);
        return plugin == nullptr ? nullptr
                                 : reinterpret_cast<void (*)(uint64_t *, uint64_t *)>(
                                       dlsym(plugin, "tamsa_alloc_stats"));
    }();
    std::pair<uint64_t, uint64_t> live{0, 0};
    EXPECT_NE(stats, nullptr) << "the plugin is not loaded";
    if (stats != nullptr) stats(&live.first, &live.second);
    return live;
}

// Frames in the buffers the element offers upstream, or in upstream's own memory, and output
// into the element's bus buffers or downstream's pool: the same bytes every way, with copies
// only where a frame is not in the bus as the server reads or writes it.
TEST_F(TamsaConvert, BusBuffersUpAndDownstreamGiveTheSameBytesWithoutCopies) {
    enum class where { offered_pool, upstream_memory, downstream_pool };
    for (const layout_case &l : kLayouts) {
        for (const char *order : {"BGR", "RGB"}) {
            for (where w : {where::offered_pool, where::upstream_memory, where::downstream_pool}) {
                SCOPED_TRACE(std::string(l.format) + " " + order + " case " +
                             std::to_string(int(w)));
                const std::vector<yuv_frame> frames{test_frame(32, 18, l.layout, 11),
                                                    test_frame(32, 18, l.layout, 77)};
                const auto expected = command_frames(frames, "");
                Element e(input_caps(l.format, 32, 18, ",colorimetry=bt601"),
                          std::string("video/x-raw,format=") + order);
                if (w == where::downstream_pool) {
                    // Downstream answers with a pool of plain memory, which the element takes.
                    gst_pad_add_probe(
                        e.harness()->sinkpad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
                        [](GstPad *, GstPadProbeInfo *probe, gpointer) {
                            GstQuery *q = GST_PAD_PROBE_INFO_QUERY(probe);
                            if (GST_QUERY_TYPE(q) != GST_QUERY_ALLOCATION) return GST_PAD_PROBE_OK;
                            GstCaps *caps = nullptr;
                            gst_query_parse_allocation(q, &caps, nullptr);
                            GstVideoInfo info;
                            if (caps == nullptr || !gst_video_info_from_caps(&info, caps)) {
                                return GST_PAD_PROBE_OK;
                            }
                            GstBufferPool *pool = gst_video_buffer_pool_new();
                            gst_query_add_allocation_pool(q, pool, guint(info.size), 2, 0);
                            gst_object_unref(pool);
                            return GST_PAD_PROBE_HANDLED;
                        },
                        nullptr, nullptr);
                }
                for (size_t i = 0; i < frames.size(); ++i) {
                    const void *block = nullptr;
                    const GstFlowReturn pushed = w == where::upstream_memory
                                                     ? e.push(frames[i], i)
                                                     : e.push_pooled(frames[i], i, &block);
                    ASSERT_EQ(pushed, GST_FLOW_OK) << e.error();
                    GstBuffer *out = gst_harness_pull(e.harness());
                    ASSERT_NE(out, nullptr);
                    EXPECT_EQ(in_bus_memory(out), w != where::downstream_pool);
                    EXPECT_EQ(rgb_of(e.harness(), out), expected[i]) << "frame " << i;
                    gst_buffer_unref(out);
                }
                const copy_counts c = counts_of(e.element());
                EXPECT_EQ(c.frames, frames.size());
                // Luma alone for grey and 4:2:0, whose chroma is laid out again anyway.
                const guint64 planes = l.layout == chroma::mono || l.layout == chroma::c420 ? 1 : 3;
                EXPECT_EQ(c.in, w == where::upstream_memory ? planes * frames.size() : 0);
                EXPECT_EQ(c.out, w == where::downstream_pool ? frames.size() : 0);
            }
        }
    }
}

// Buffers of the offered pool come back to it and are handed out again, and output buffers to
// the element's; rows padded past the width are copied, not read as pixels.
TEST_F(TamsaConvert, PoolBuffersComeBackAndPaddedRowsAreCopied) {
    {
        const std::vector<yuv_frame> frames{
            test_frame(64, 16, chroma::c444, 1), test_frame(64, 16, chroma::c444, 2),
            test_frame(64, 16, chroma::c444, 3), test_frame(64, 16, chroma::c444, 4)};
        const auto expected = command_frames(frames, "");
        Element e(input_caps("Y444", 64, 16, ",colorimetry=bt601"), "video/x-raw,format=BGR");
        std::vector<const void *> in_blocks, out_blocks;
        for (size_t i = 0; i < frames.size(); ++i) {
            const void *block = nullptr;
            ASSERT_EQ(e.push_pooled(frames[i], i, &block), GST_FLOW_OK) << e.error();
            in_blocks.push_back(block);
            GstBuffer *out = gst_harness_pull(e.harness());
            GstMapInfo map;
            ASSERT_TRUE(gst_buffer_map(out, &map, GST_MAP_READ));
            out_blocks.push_back(map.data);
            gst_buffer_unmap(out, &map);
            EXPECT_EQ(rgb_of(e.harness(), out), expected[i]);
            gst_buffer_unref(out);
        }
        // One frame in flight at a time: the same buffer each way, again and again (once the
        // caps of both sides are settled; the harness asks upstream's pool again after the
        // first frame).
        for (size_t i = 2; i < frames.size(); ++i) {
            EXPECT_EQ(in_blocks[i], in_blocks[1]) << i;
            EXPECT_EQ(out_blocks[i], out_blocks[1]) << i;
        }
        EXPECT_EQ(counts_of(e.element()).in, 0u);
    }
    // 30 pixels: luma rows 32 bytes apart, output rows 92 for 90 bytes of pixels.
    const std::vector<yuv_frame> frames{test_frame(30, 7, chroma::c422, 9)};
    const auto expected = command_frames(frames, "");
    Element e(input_caps("Y42B", 30, 7, ",colorimetry=bt601"), "video/x-raw,format=RGB");
    const void *block = nullptr;
    ASSERT_EQ(e.push_pooled(frames[0], 0, &block), GST_FLOW_OK) << e.error();
    EXPECT_EQ(e.pull(), expected[0]);
    const copy_counts c = counts_of(e.element());
    EXPECT_GE(c.in, 1u);
    EXPECT_EQ(c.out, 1u);
}

// The pools' buffers are bus blocks: the element's own are freed once it has gone to NULL and
// the last buffer is back, the offered one's with its pool; nothing stays in the bus.
TEST_F(TamsaConvert, PoolsLeaveNothingInTheBus) {
    const std::vector<yuv_frame> frames{test_frame(40, 20, chroma::c420, 8)};
    // The plugin is loaded by the first element made.
    gst_object_unref(gst_element_factory_make("tamsaconvert", nullptr));
    const auto before = plugin_bus();
    {
        Element e(input_caps("I420", 40, 20, ",colorimetry=bt601"), "video/x-raw,format=BGR");
        ASSERT_EQ(e.push(frames[0]), GST_FLOW_OK) << e.error();
        GstBuffer *held = gst_harness_pull(e.harness());
        ASSERT_NE(held, nullptr);
        EXPECT_TRUE(in_bus_memory(held));
        EXPECT_GT(plugin_bus().first, before.first);
        ASSERT_EQ(gst_element_set_state(e.element(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
        // The held buffer outlives its pool's element; it is freed when let go.
        EXPECT_EQ(plugin_bus().first, before.first + 1);
        gst_buffer_unref(held);
        EXPECT_EQ(plugin_bus(), before);
    }
    {
        Element e(input_caps("I420", 40, 20, ",colorimetry=bt601"), "video/x-raw,format=BGR");
        const void *block = nullptr;
        ASSERT_EQ(e.push_pooled(frames[0], 0, &block), GST_FLOW_OK) << e.error();
        EXPECT_FALSE(e.pull().empty());
        EXPECT_GT(plugin_bus().first, before.first);
    }
    EXPECT_EQ(plugin_bus(), before);
}

// Through a `tamsa serve` process: the same frames as in process; a server that goes away is an
// error on the bus, not a crash.
TEST_F(TamsaConvert, ServedRunAndAServerThatGoesAway) {
    tamsa_test::TempDir dir;
    const char *old = std::getenv("XDG_RUNTIME_DIR");
    const std::string old_runtime = old != nullptr ? old : "";
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    {
        child server({TAMSA_COMMAND, "serve", "--port", "gst-served"});
        ASSERT_NE(server.line().find("gst-served"), std::string::npos);
        const std::vector<yuv_frame> frames{test_frame(26, 13, chroma::c420, 6),
                                            test_frame(26, 13, chroma::c420, 60)};
        tamsa::tools::record_options o;
        o.scale = {13, 7};
        o.correct = true;
        o.brightness = 25;
        const auto expected = command_frames(frames, "", o);
        Element e(input_caps("I420", 26, 13, ",colorimetry=bt601"),
                  "video/x-raw,format=BGR,width=13,height=7",
                  {{"port", "gst-served"}, {"brightness", "25"}});
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(e.push(frames[i], i), GST_FLOW_OK) << e.error();
            EXPECT_EQ(e.pull(), expected[i]);
        }
        server.stop(SIGKILL);
        EXPECT_EQ(e.push(frames[0], 2), GST_FLOW_ERROR);
        EXPECT_NE(e.error().find("not served"), std::string::npos);
    }
    {
        // No server on the port: the element does not start.
        GstElement *element = gst_element_factory_make("tamsaconvert", nullptr);
        ASSERT_NE(element, nullptr);
        g_object_set(element, "port", "gst-nobody", nullptr);
        EXPECT_EQ(gst_element_set_state(element, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
        gst_element_set_state(element, GST_STATE_NULL);
        gst_object_unref(element);
    }
    if (old_runtime.empty()) {
        unsetenv("XDG_RUNTIME_DIR");
    } else {
        setenv("XDG_RUNTIME_DIR", old_runtime.c_str(), 1);
    }
}

}  // namespace
