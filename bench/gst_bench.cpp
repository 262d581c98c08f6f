// tamsaconvert against GStreamer's own converter, frames pushed through a GstHarness: I420 to
// BGR at 720p and 1080p, and the same resized to 640x360 against videoconvert followed by
// videoscale's nearest-neighbour method. Every iteration pushes one frame through each in turn,
// so that a slow spell of the machine hits both; x_videoconvert is the median time of ours over
// the median of theirs, x_videoconvert_mean the same of the means. The reported time is ours, per
// frame. x_videoconvert_cpu is the same ratio of the process's CPU time (the element's server
// thread included). The _pooled runs write the frame into a buffer from the pool each element
// offers upstream, as a source that takes it does; the others hand both elements a frame in memory
// of their own.
#include <benchmark/benchmark.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Wall-clock seconds of one frame through; cpu gets the process's CPU seconds.
double push_one(GstHarness *h, GstBuffer *frame, double &cpu) {
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    gst_harness_push(h, gst_buffer_ref(frame));
    GstBuffer *out = gst_harness_pull(h);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu = cpu_seconds() - c0;
    gst_buffer_unref(out);
    return s;
}

double median(std::vector<double> &v) {
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

double mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

void convert(benchmark::State &state, int w, int h, bool scale, bool pooled) {
    static const bool ready = [] {
        setenv("GST_PLUGIN_PATH", TAMSA_GST_PLUGIN_DIR, 0);
        gst_init(nullptr, nullptr);
        return true;
    }();
    (void)ready;
    const std::string in = "video/x-raw,format=I420,width=" + std::to_string(w) +
                           ",height=" + std::to_string(h) +
                           ",framerate=30/1,colorimetry=bt601,pixel-aspect-ratio=1/1";
    const std::string out = std::string("video/x-raw,format=BGR") +
                            (scale ? ",width=640,height=360,pixel-aspect-ratio=1/1" : "");
    GstHarness *ours = gst_harness_new("tamsaconvert");
    GstHarness *theirs = gst_harness_new_parse(
        scale ? "videoconvert ! videoscale method=nearest-neighbour" : "videoconvert");
    if (ours == nullptr || theirs == nullptr) {
        state.SkipWithError("tamsaconvert or videoconvert not found");
        return;
    }
    for (GstHarness *hh : {ours, theirs}) {
        gst_harness_set_src_caps_str(hh, in.c_str());
        gst_harness_set_sink_caps_str(hh, out.c_str());
    }
    GstVideoInfo info;
    GstCaps *caps = gst_caps_from_string(in.c_str());
    gst_video_info_from_caps(&info, caps);
    gst_caps_unref(caps);
    const auto fill = [](GstBuffer *b) {
        GstMapInfo map;
        gst_buffer_map(b, &map, GST_MAP_WRITE);
        for (gsize i = 0; i < map.size; ++i) map.data[i] = guint8(i * 7 + i / 4093);
        gst_buffer_unmap(b, &map);
        return b;
    };
    const gsize size = GST_VIDEO_INFO_SIZE(&info);
    GstBuffer *frame = fill(gst_buffer_new_allocate(nullptr, size, nullptr));
    // A first frame each, untimed: negotiation and pools.
    double cpu = 0;
    push_one(ours, frame, cpu);
    push_one(theirs, frame, cpu);
    GstBuffer *own_frame = pooled ? fill(gst_harness_create_buffer(ours, size)) : frame;
    GstBuffer *other_frame = pooled ? fill(gst_harness_create_buffer(theirs, size)) : frame;
    std::vector<double> own, other, own_cpu, other_cpu;
    for (auto _ : state) {
        own.push_back(push_one(ours, own_frame, cpu));
        own_cpu.push_back(cpu);
        other.push_back(push_one(theirs, other_frame, cpu));
        other_cpu.push_back(cpu);
        state.SetIterationTime(own.back());
    }
    if (pooled) {
        gst_buffer_unref(own_frame);
        gst_buffer_unref(other_frame);
    }
    state.counters["x_videoconvert"] = median(own) / median(other);
    state.counters["x_videoconvert_cpu"] = median(own_cpu) / median(other_cpu);
    // Means count the slow frames too: a frame that waits for a core shows here.
    state.counters["x_videoconvert_mean"] = mean(own) / mean(other);
    state.counters["x_videoconvert_cpu_mean"] = mean(own_cpu) / mean(other_cpu);
    state.counters["videoconvert_ms"] = median(other) * 1e3;
    gst_buffer_unref(frame);
    gst_harness_teardown(ours);
    gst_harness_teardown(theirs);
}

BENCHMARK_CAPTURE(convert, 720p_bgr, 1280, 720, false, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 720p_bgr_pooled, 1280, 720, false, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_bgr, 1920, 1080, false, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_bgr_pooled, 1920, 1080, false, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 720p_to_640x360, 1280, 720, true, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 720p_to_640x360_pooled, 1280, 720, true, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_to_640x360, 1920, 1080, true, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, 1080p_to_640x360_pooled, 1920, 1080, true, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
