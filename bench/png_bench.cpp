// PNG writing as the command does it, against libpng's defaults and the other settings measured
// when choosing, on a 640x480 frame of the built-in clip and on the same frame with camera-like
// noise. Each run also times a memcpy of the frame's pixels: x_memcpy is the ratio to it, and
// bytes the size of the file written.
#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tamsa/tamsa.h"
#include "tools/pictures/picture.h"
#include "tools/readers/clip.h"

namespace {

using tamsa::tools::picture;
using tamsa::tools::png_settings;

// The built-in clip's first frame as the server converts it, red first; noise > 0 adds a
// fixed pseudo-random offset of up to +-noise to every channel.
picture frame(int noise) {
    auto clip = tamsa::tools::synthetic_clip(640, 480, 1);
    tamsa::tools::yuv_frame f;
    clip->next(f);
    std::vector<uint8_t> bgr(f.y.size() * 3);
    fx_yuvtorgb_ll(f.y.data(), f.v.data(), f.u.data(), bgr.data(), uint32_t(f.y.size()), 4);
    picture p;
    p.width = f.width;
    p.height = f.height;
    p.pixels.resize(bgr.size());
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < bgr.size(); ++i) {
        int v = bgr[i - i % 3 + 2 - i % 3];
        if (noise > 0) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            v += int(x % uint32_t(2 * noise + 1)) - noise;
        }
        p.pixels[i] = uint8_t(std::clamp(v, 0, 255));
    }
    return p;
}

const picture &frame_of(int64_t kind) {
    static const picture bars = frame(0), noisy = frame(12);
    return kind == 0 ? bars : noisy;
}

png_settings settings_of(int64_t which) {
    switch (which) {
        case 0:
            return tamsa::tools::fast_png();
        case 1:
            return tamsa::tools::default_png();
        case 2:  // what ffmpeg's encoder does by default: zlib's default level, no filter
            return {Z_DEFAULT_COMPRESSION, Z_DEFAULT_STRATEGY, PNG_FILTER_NONE};
        case 3:
            return {1, Z_DEFAULT_STRATEGY, PNG_FILTER_SUB};
        case 4:
            return {1, Z_RLE, PNG_FILTER_UP};
        default:
            return {3, Z_DEFAULT_STRATEGY, PNG_FILTER_SUB};
    }
}

// Seconds per memcpy of n bytes, the best of a few rounds.
double memcpy_seconds(size_t n) {
    std::vector<uint8_t> from(n, 1), to(n);
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 20; ++i) {
            std::memcpy(to.data(), from.data(), n);
            benchmark::DoNotOptimize(to.data());
            benchmark::ClobberMemory();
        }
        best = std::min(
            best,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 20);
    }
    return best;
}

// Arguments: frame (0 bars, 1 noisy), settings (0 the command's, 1 libpng's defaults, 2 as
// ffmpeg, 3 to 5 others measured).
void BM_WritePng(benchmark::State &state) {
    const picture &p = frame_of(state.range(0));
    const png_settings settings = settings_of(state.range(1));
    char *text = nullptr;
    size_t length = 0;
    FILE *f = open_memstream(&text, &length);
    size_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::rewind(f);
        if (!tamsa::tools::write_png(f, p, settings)) {
            state.SkipWithError("write_png failed");
            break;
        }
        std::fflush(f);
        bytes = size_t(std::ftell(f));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fclose(f);
    std::free(text);
    state.counters["bytes"] = double(bytes);
    state.counters["x_memcpy"] = seconds / double(std::max<int64_t>(1, state.iterations())) /
                                 memcpy_seconds(p.pixels.size());
    state.SetBytesProcessed(state.iterations() * int64_t(p.pixels.size()));
}
BENCHMARK(BM_WritePng)
    ->ArgNames({"noisy", "settings"})
    ->ArgsProduct({{0, 1}, {0, 1, 2, 3, 4, 5}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
