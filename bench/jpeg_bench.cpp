// JPEG both ways as the image command does it, against TurboJPEG called bare on the same 1080p
// picture in the same run: x_turbojpeg is the ratio to the bare call. Reading goes from a file
// into a new bitmap of the library, as the command's input does; writing from a bitmap to a
// stream. The bare calls reuse one buffer, so the ratio is what the command's way adds.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tamsa/tamsa.h"
#include "tools/pictures/picture.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kQuality = 90;

// A camera-like picture: smooth shading with a fixed pseudo-random grain.
std::vector<uint8_t> scene() {
    std::vector<uint8_t> rgb(size_t(kWidth) * kHeight * 3);
    uint32_t x = 2463534242u;
    for (int y = 0; y < kHeight; ++y) {
        for (int c = 0; c < kWidth; ++c) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            const int grain = int(x % 41u) - 20;
            uint8_t *px = &rgb[(size_t(y) * kWidth + size_t(c)) * 3];
            px[0] = uint8_t(std::clamp((c * 255 / kWidth + y % 64) + grain, 0, 255));
            px[1] = uint8_t(std::clamp((y * 255 / kHeight) + grain, 0, 255));
            px[2] = uint8_t(std::clamp(((c + y) % 256) - grain, 0, 255));
        }
    }
    return rgb;
}

const std::vector<uint8_t> &pixels() {
    static const std::vector<uint8_t> p = scene();
    return p;
}

// The picture as TurboJPEG writes it at the command's quality.
const std::vector<uint8_t> &jpeg() {
    static const std::vector<uint8_t> bytes = [] {
        tjhandle tj = tjInitCompress();
        unsigned char *out = nullptr;
        unsigned long size = 0;
        tjCompress2(tj, pixels().data(), kWidth, 0, kHeight, TJPF_RGB, &out, &size, TJSAMP_420,
                    kQuality, 0);
        std::vector<uint8_t> b(out, out + size);
        tjFree(out);
        tjDestroy(tj);
        return b;
    }();
    return bytes;
}

// The JPEG in a file, for the command's way of reading.
const std::string &jpeg_file() {
    static const std::string path = [] {
        char name[] = "/tmp/tamsa-jpeg-bench-XXXXXX";
        const int fd = mkstemp(name);
        FILE *f = fdopen(fd, "wb");
        std::fwrite(jpeg().data(), 1, jpeg().size(), f);
        std::fclose(f);
        return std::string(name);
    }();
    static const bool removed_at_exit = std::atexit([] { std::remove(jpeg_file().c_str()); }) == 0;
    (void)removed_at_exit;
    return path;
}

template <class F>
double seconds_per_call(F &&f, int calls) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) f();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                      calls);
    }
    return best;
}

// TurboJPEG's decoder into one buffer, again and again.
double bare_decode_seconds() {
    tjhandle tj = tjInitDecompress();
    std::vector<uint8_t> out(pixels().size());
    const double s = seconds_per_call(
        [&] {
            tjDecompress2(tj, jpeg().data(), jpeg().size(), out.data(), kWidth, 0, kHeight,
                          TJPF_RGB, 0);
            benchmark::DoNotOptimize(out.data());
        },
        5);
    tjDestroy(tj);
    return s;
}

double bare_encode_seconds() {
    tjhandle tj = tjInitCompress();
    unsigned char *out = tjAlloc(int(tjBufSize(kWidth, kHeight, TJSAMP_420)));
    const double s = seconds_per_call(
        [&] {
            unsigned long size = tjBufSize(kWidth, kHeight, TJSAMP_420);
            tjCompress2(tj, pixels().data(), kWidth, 0, kHeight, TJPF_RGB, &out, &size, TJSAMP_420,
                        kQuality, TJFLAG_NOREALLOC);
            benchmark::DoNotOptimize(out);
        },
        5);
    tjFree(out);
    tjDestroy(tj);
    return s;
}

// The command's read: the file into a new bitmap of the library, freed after.
void BM_ReadJpegIntoBitmap(benchmark::State &state) {
    const std::string &path = jpeg_file();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        kv_bitmap *b = nullptr;
        tamsa::tools::load_picture_into(path, 3, [&b](int32_t w, int32_t h, int32_t) {
            b = kv_allocrawbitmap(w, h, 3);
            return b == nullptr ? nullptr : b->data;
        });
        benchmark::DoNotOptimize(b->data);
        kv_freebitmap(b);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["x_turbojpeg"] =
        seconds / double(std::max<int64_t>(1, state.iterations())) / bare_decode_seconds();
}
BENCHMARK(BM_ReadJpegIntoBitmap)->Unit(benchmark::kMillisecond);

// The command's write: a bitmap's pixels to a stream, as JPEG at quality 90.
void BM_WriteJpegFromBitmap(benchmark::State &state) {
    kv_bitmap *b = kv_allocrawbitmap(kWidth, kHeight, 3);
    std::copy(pixels().begin(), pixels().end(), b->data);
    const tamsa::tools::picture_view view{kWidth, kHeight, 3, b->data};
    char *text = nullptr;
    size_t length = 0;
    FILE *f = open_memstream(&text, &length);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::rewind(f);
        if (!tamsa::tools::write_picture(f, view, tamsa::tools::picture_format::jpeg, kQuality)) {
            state.SkipWithError("write_picture failed");
            break;
        }
        std::fflush(f);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fclose(f);
    std::free(text);
    kv_freebitmap(b);
    state.counters["x_turbojpeg"] =
        seconds / double(std::max<int64_t>(1, state.iterations())) / bare_encode_seconds();
}
BENCHMARK(BM_WriteJpegFromBitmap)->Unit(benchmark::kMillisecond);

}  // namespace
