// The stages of `tamsa record`, each against a memcpy of the bytes it moves (x_memcpy, see
// memcpy_ratio.h): reading a 4:2:0 frame of a Y4M file, serving its conversion in process
// (planes into the bus, the message, the answer) and writing the result as a PPM frame into a
// pipe that another thread drains, or over a file in the page cache, as the command first did it
// (a picture made, then stdio) and as it does now (in place, one call); and the pieces of the
// overlapped command: a frame read straight into the bus, and the red and blue exchange by the
// rule and by the kernel. Arguments: width, height and, for writing, 0 for the pipe or 1 for
// the file (for the exchange, 0 for the rule or 1 for the kernel).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gfx/remap_row.h"
#include "memcpy_ratio.h"
#include "tools/commands/converter.h"
#include "tools/commands/session.h"
#include "tools/pictures/picture.h"
#include "tools/readers/clip.h"
#include "tools/writers/sink.h"

namespace {

using namespace tamsa::tools;

// A file name of its own, removed with the benchmark.
struct scratch_file {
    std::string name = "/tmp/tamsa-record-bench-XXXXXX";
    scratch_file() {
        const int fd = mkstemp(name.data());
        if (fd >= 0) close(fd);
    }
    ~scratch_file() { unlink(name.c_str()); }
};

yuv_frame pattern_frame(int32_t w, int32_t h, uint32_t seed) {
    yuv_frame f;
    f.width = w;
    f.height = h;
    f.layout = chroma::c420;
    f.y.resize(size_t(w) * size_t(h));
    const size_t c = size_t(chroma_width(f.layout, w)) * size_t(chroma_height(f.layout, h));
    f.u.resize(c);
    f.v.resize(c);
    uint32_t x = 2463534242u ^ seed;
    for (auto *plane : {&f.y, &f.u, &f.v}) {
        for (uint8_t &b : *plane) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            b = uint8_t(x);
        }
    }
    return f;
}

constexpr uint32_t kClipFrames = 8;

// A Y4M file of kClipFrames 4:2:0 frames.
void write_clip(const std::string &path, int32_t w, int32_t h) {
    std::vector<yuv_frame> frames;
    for (uint32_t k = 0; k < kClipFrames; ++k) frames.push_back(pattern_frame(w, h, k));
    FILE *f = std::fopen(path.c_str(), "wb");
    write_y4m(f, frames);
    std::fclose(f);
}

// A clip file opened again whenever its frames are used up, so that a benchmark reads on
// without end; opening happens outside the timed part.
struct looping_clip {
    std::string path;
    std::unique_ptr<clip> c;
    uint32_t left = 0;
    void ready() {
        if (left == 0) {
            c = open_y4m(path);
            left = kClipFrames;
        }
    }
    clip &take() {
        --left;
        return *c;
    }
};

void BM_ReadY4mFrame(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    scratch_file file;
    write_clip(file.name, w, h);
    looping_clip c{file.name, nullptr, 0};
    yuv_frame frame;
    bool ok = true;
    tamsa_bench::against_memcpy(
        state, uint64_t(w) * uint64_t(h) * 3 / 2, [&] { c.ready(); },
        [&] { ok = c.take().next(frame) && ok; });
    if (!ok) state.SkipWithError("short clip");
}

// The same frames read as the command reads them now: straight into the bus blocks the
// conversion works on, 4:2:0 chroma rows spread there in place.
void BM_LoadY4mIntoBus(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    scratch_file file;
    write_clip(file.name, w, h);
    looping_clip c{file.name, nullptr, 0};
    clip_info info;
    info.width = w;
    info.height = h;
    info.layout = chroma::c420;
    session s("");
    converter conv(s, info, {}, false);
    yuv_frame header;
    bool ok = true;
    tamsa_bench::against_memcpy(
        state, uint64_t(w) * uint64_t(h) * 3 / 2, [&] { c.ready(); },
        [&] { ok = conv.load(c.take(), header) && ok; });
    if (!ok) state.SkipWithError("short clip");
}

void BM_ServeConversion(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    const yuv_frame frame = pattern_frame(w, h, 1);
    clip_info info;
    info.width = w;
    info.height = h;
    info.layout = chroma::c420;
    session s("");
    converter conv(s, info, {}, false);
    tamsa_bench::against_memcpy(state, uint64_t(w) * uint64_t(h) * 3,
                                [&] { benchmark::DoNotOptimize(conv.convert(frame)); });
}

// Reads the pipe to its end, as a reader of the frames would.
struct pipe_reader {
    int fds[2] = {-1, -1};
    std::thread reader;
    pipe_reader() {
        if (pipe(fds) != 0) return;
        reader = std::thread([fd = fds[0]] {
            std::vector<char> chunk(1 << 16);
            while (read(fd, chunk.data(), chunk.size()) > 0) {
            }
        });
    }
    ~pipe_reader() {
        if (fds[1] >= 0) close(fds[1]);
        if (reader.joinable()) reader.join();
        if (fds[0] >= 0) close(fds[0]);
    }
};

// A converted frame as the bus holds it: blue first.
std::vector<uint8_t> bus_frame(int32_t w, int32_t h) {
    std::vector<uint8_t> bgr(size_t(w) * size_t(h) * 3);
    uint32_t x = 88675123u;
    for (uint8_t &b : bgr) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = uint8_t(x);
    }
    return bgr;
}

// The write as the command did it first: a picture made red first from the bus, then written
// through stdio.
void BM_WritePpmStdio(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    const bool to_file = state.range(2) != 0;
    const std::vector<uint8_t> bgr = bus_frame(w, h);
    pipe_reader pipe;
    scratch_file file;
    FILE *out = to_file ? std::fopen(file.name.c_str(), "wb") : fdopen(pipe.fds[1], "wb");
    if (!to_file) pipe.fds[1] = -1;  // the stream closes it
    bool ok = true;
    tamsa_bench::against_memcpy(
        state, bgr.size(),
        [&] {
            if (to_file) std::fseek(out, 0, SEEK_SET);
        },
        [&] {
            picture p;
            p.width = w;
            p.height = h;
            p.pixels.resize(bgr.size());
            for (size_t i = 0; i < bgr.size(); i += 3) {
                p.pixels[i] = bgr[i + 2];
                p.pixels[i + 1] = bgr[i + 1];
                p.pixels[i + 2] = bgr[i];
            }
            ok = write_picture(out, p, picture_format::ppm) && std::fflush(out) == 0 && ok;
        });
    std::fclose(out);
    if (!ok) state.SkipWithError("write failed");
}

// The write as the command does it now: the channels put in order in the bus, then header and
// pixels in one call. Each call turns the frame's channels, which costs the same either way.
void BM_WritePpmInPlace(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    const bool to_file = state.range(2) != 0;
    std::vector<uint8_t> bgr = bus_frame(w, h);
    pipe_reader pipe;
    scratch_file file;
    const int fd = to_file ? open(file.name.c_str(), O_WRONLY) : pipe.fds[1];
    if (!to_file) (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    bool ok = fd >= 0;
    tamsa_bench::against_memcpy(
        state, bgr.size(),
        [&] {
            if (to_file) lseek(fd, 0, SEEK_SET);
        },
        [&] { ok = write_in_place(fd, bgr.data(), w, h, true) && ok; });
    if (to_file && fd >= 0) close(fd);
    if (!ok) state.SkipWithError("write failed");
}

// Blue first to red first over a frame, in place: the rule's loop and the kernel the command
// picks (0 and 1).
void BM_SwapRedBlue(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    std::vector<uint8_t> bgr = bus_frame(w, h);
    const uint64_t pixels = uint64_t(w) * uint64_t(h);
    const bool kernel = state.range(2) != 0;
    tamsa_bench::against_memcpy(state, bgr.size(), [&] {
        if (kernel) {
            tamsa::gfx::swap13(bgr.data(), bgr.data(), pixels);
        } else {
            tamsa::gfx::swap13_row(bgr.data(), bgr.data(), pixels);
        }
        benchmark::DoNotOptimize(bgr.data());
    });
}

void sizes(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] : {std::pair{640, 480}, {1920, 1080}}) b->Args({w, h});
    b->ArgNames({"w", "h"})->Unit(benchmark::kMicrosecond)->UseManualTime();
}

void write_sizes(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] : {std::pair{640, 480}, {1920, 1080}}) {
        for (int to_file : {0, 1}) b->Args({w, h, to_file});
    }
    b->ArgNames({"w", "h", "file"})->Unit(benchmark::kMicrosecond)->UseManualTime();
}

BENCHMARK(BM_ReadY4mFrame)->Apply(sizes);
BENCHMARK(BM_LoadY4mIntoBus)->Apply(sizes);
BENCHMARK(BM_ServeConversion)->Apply(sizes);
BENCHMARK(BM_WritePpmStdio)->Apply(write_sizes);
BENCHMARK(BM_WritePpmInPlace)->Apply(write_sizes);
BENCHMARK(BM_SwapRedBlue)->Apply(write_sizes);

}  // namespace
