// PPM save and load beside the floor they are held to: the same header and pixel bytes written
// with one fwrite and read back with one fread into a buffer already made, through the same
// streams and page cache. Arguments: width, height.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tamsa/tamsa.h"

namespace {

// A file name of its own, removed with the benchmark.
struct scratch_file {
    std::string name = "/tmp/tamsa-ppm-bench-XXXXXX";
    scratch_file() {
        const int fd = mkstemp(name.data());
        if (fd >= 0) close(fd);
    }
    ~scratch_file() { unlink(name.c_str()); }
};

kv_bitmap *noise(int32_t w, int32_t h) {
    kv_bitmap *b = kv_allocrawbitmap(w, h, 3);
    uint32_t x = 2463534242u;
    for (int64_t i = 0; b != nullptr && i < int64_t(w) * h * 3; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b->data[i] = uint8_t(x);
    }
    return b;
}

void finish(benchmark::State &state, int64_t bytes) {
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_StdioWriteRead(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    const size_t n = size_t(w) * size_t(h) * 3;
    kv_bitmap *b = noise(w, h);
    std::vector<uint8_t> back(n);
    scratch_file file;
    for (auto _ : state) {
        FILE *f = std::fopen(file.name.c_str(), "wb");
        std::fprintf(f, "P6\n%d %d\n255\n", w, h);
        std::fwrite(b->data, 1, n, f);
        std::fclose(f);
        f = std::fopen(file.name.c_str(), "rb");
        char line[64];
        for (int i = 0; i < 3; ++i) benchmark::DoNotOptimize(std::fgets(line, sizeof line, f));
        const size_t got = std::fread(back.data(), 1, n, f);
        std::fclose(f);
        if (got != n) {
            state.SkipWithError("short read");
            break;
        }
    }
    finish(state, int64_t(n));
    kv_freebitmap(b);
}

// Each load makes a new bitmap; the one before is freed inside the loop, as a caller would.
void BM_PpmSaveLoad(benchmark::State &state) {
    const auto w = int32_t(state.range(0)), h = int32_t(state.range(1));
    kv_bitmap *b = noise(w, h);
    kv_bitmap *loaded = nullptr;
    scratch_file file;
    for (auto _ : state) {
        if (kv_savebitmapasppm(b, file.name.c_str()) != 1) {
            state.SkipWithError("save failed");
            break;
        }
        kv_freebitmap(loaded);
        loaded = kv_loadppmasbitmap(file.name.c_str());
        if (loaded == nullptr) {
            state.SkipWithError("load failed");
            break;
        }
    }
    finish(state, int64_t(w) * h * 3);
    kv_freebitmap(loaded);
    kv_freebitmap(b);
}

void sizes(benchmark::internal::Benchmark *b) {
    for (const auto &[w, h] : {std::pair{640, 480}, {641, 479}, {1920, 1080}, {1917, 1079}}) {
        b->Args({w, h});
    }
    b->ArgNames({"w", "h"})->Unit(benchmark::kMicrosecond)->UseRealTime();
}

BENCHMARK(BM_StdioWriteRead)->Apply(sizes);
BENCHMARK(BM_PpmSaveLoad)->Apply(sizes);

}  // namespace
