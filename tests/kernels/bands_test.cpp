// Bands on the pool of threads: every operation that splits its work gives the bytes of one
// thread at any number of threads, at sizes that leave uneven bands; the pool covers every unit
// once, serves callers at once, never makes one caller wait on another's work, and survives a
// fork; and the number of threads is set and reported as documented.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernels/bands.h"
#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;

// Tests set the threads and the threshold; each leaves them as it found them.
class Bands : public LeakCheck {
   protected:
    void TearDown() override {
        tamsa_set_threads(0);
        tamsa::set_band_threshold(0);
        LeakCheck::TearDown();
    }
};

// The bytes an operation's call leaves, from inputs made from the size and a seed.
using op_fn = std::function<std::vector<uint8_t>(int32_t w, int32_t h, uint64_t seed)>;

struct banded_op {
    const char *name;
    op_fn run;
};

// A result record's bytes (empty for none), the record freed.
std::vector<uint8_t> taken(kv_bitmap *b) {
    if (b == nullptr) return {};
    std::vector<uint8_t> out = pixels(*b);
    out.push_back(uint8_t(b->width));
    out.push_back(uint8_t(b->height));
    kv_freebitmap(b);
    return out;
}

// A bitmap operated on in place: its bytes after op.
template <class Op>
op_fn in_place(int32_t depth, Op op) {
    return [depth, op](int32_t w, int32_t h, uint64_t seed) {
        BitmapPtr b = random_bitmap(w, h, depth, seed);
        op(b.get());
        std::vector<uint8_t> out = pixels(*b);
        out.push_back(uint8_t(b->width));
        return out;
    };
}

// A bitmap an operation makes a new one from: the new one's bytes and the source's after.
template <class Op>
op_fn made_from(int32_t depth, Op op) {
    return [depth, op](int32_t w, int32_t h, uint64_t seed) {
        BitmapPtr b = random_bitmap(w, h, depth, seed);
        std::vector<uint8_t> out = taken(op(b.get()));
        const std::vector<uint8_t> source = pixels(*b);
        out.insert(out.end(), source.begin(), source.end());
        return out;
    };
}

// Planes of a w x h frame with one chroma sample per group pixels (4 for the scaled
// conversion's layout), run through op(y, v, u).
template <class Op>
op_fn planes(Op op) {
    return [op](int32_t w, int32_t h, uint64_t seed) {
        const auto n = uint32_t(w) * uint32_t(h);
        BusBuffer y(n), v(n / 2 + 1), u(n / 2 + 1);
        Rng rng(seed);
        rng.fill(y.data(), y.size());
        rng.fill(v.data(), v.size());
        rng.fill(u.data(), u.size());
        return op(w, h, y.data(), v.data(), u.data());
    };
}

// A w x h destination with a block blitted onto it: apart (a block of its own, at an offset that
// clips it) or whole rows of both, which go as one long row.
template <class Op>
op_fn blitted(bool whole_rows, Op op) {
    return [whole_rows, op](int32_t w, int32_t h, uint64_t seed) {
        BitmapPtr d = random_bitmap(w, h, 3, seed);
        const int32_t sw = whole_rows ? w : w / 2 + 3, sh = whole_rows ? h : h + 2;
        BitmapPtr s = random_bitmap(sw, sh, 3, seed + 1);
        op(d.get(), s.get(), whole_rows ? 0 : w / 3, whole_rows ? 0 : -1);
        return pixels(*d);
    };
}

const uint8_t *inverse_table() {
    static const auto table = [] {
        std::array<uint8_t, 256> t{};
        for (int i = 0; i < 256; ++i) t[size_t(i)] = uint8_t((255 - i) ^ (i >> 3));
        return t;
    }();
    return table.data();
}

const std::vector<banded_op> &banded_ops() {
    static const std::vector<banded_op> ops = {
        {"rotate 30 degrees, grey fill",
         made_from(3, [](kv_bitmap *b) { return kv_rotatebitmap(b, 128, 64, 32, 30.f); })},
        {"rotate -117 degrees, 1 byte",
         made_from(1, [](kv_bitmap *b) { return kv_rotatebitmap(b, 9, 0, 0, -117.f); })},
        {"smooth 3 passes", in_place(3, [](kv_bitmap *b) { kv_smoothbitmap(b, 3); })},
        {"smooth 2 passes, 1 byte", in_place(1, [](kv_bitmap *b) { kv_smoothbitmap(b, 2); })},
        {"transpose", in_place(3, [](kv_bitmap *b) { kv_transposebitmap(b); })},
        {"transpose, 1 byte", in_place(1, [](kv_bitmap *b) { kv_transposebitmap(b); })},
        {"scale larger",
         in_place(3, [](kv_bitmap *b) { kv_scalebitmap(b, b->width * 2 + 1, b->height * 3); })},
        {"scale smaller, 1 byte",
         in_place(1,
                  [](kv_bitmap *b) {
                      kv_scalebitmap(b, std::max(1, b->width / 2), std::max(1, b->height * 2 / 3));
                  })},
        {"scaled copy",
         made_from(3, [](kv_bitmap *b) { return kv_scalecopybitmap(b, b->width + 5, b->height * 2); })},
        {"frame scale",
         made_from(1, [](kv_bitmap *b) { return tamsa_scale_ll(b, b->width * 3 / 2 + 1, b->height + 4); })},
        {"dither halftone", made_from(3, [](kv_bitmap *b) { return kv_dither(b, 3); })},
        {"dither Bayer 16, 1 byte", made_from(1, [](kv_bitmap *b) { return kv_dither(b, 5); })},
        {"byte table",
         in_place(3,
                  [](kv_bitmap *b) {
                      kv_remap8(b->data, inverse_table(), uint32_t(tamsa::bitmap_bytes(b)));
                  })},
        {"correction", in_place(3, [](kv_bitmap *b) { tamsa_correct_ll(b, 130, -20, 1); })},
        {"xor", in_place(1, [](kv_bitmap *b) {
             kv_xor(b->data, uint32_t(tamsa::bitmap_bytes(b)), 0x5a);
         })},
        {"deinterlace", in_place(3, [](kv_bitmap *b) { tamsa_deinterlace_ll(b); })},
        {"colour cube",
         [](int32_t w, int32_t h, uint64_t seed) {
             BitmapPtr b = random_bitmap(w, h, 3, seed);
             BusBuffer out(uint32_t(w * h));
             kv_remap24(b->data, out.data(), nullptr, uint32_t(w * h * 3));
             return out.bytes();
         }},
        {"colour cube with pens",
         [](int32_t w, int32_t h, uint64_t seed) {
             BitmapPtr b = random_bitmap(w, h, 3, seed);
             BusBuffer out(uint32_t(w * h));
             kv_remap24(b->data, out.data(), inverse_table(), uint32_t(w * h * 3) + 2);
             return out.bytes();
         }},
        {"cross-fade",
         [](int32_t w, int32_t h, uint64_t seed) {
             BitmapPtr a = random_bitmap(w, h, 3, seed), b = random_bitmap(w, h, 3, seed + 1);
             BusBuffer out(uint32_t(w * h * 3));
             tamsa_fadeover_ll(a->data, b->data, out.data(), 77, w, h, 3);
             return out.bytes();
         }},
        {"cross-fade onto the first",
         [](int32_t w, int32_t h, uint64_t seed) {
             BitmapPtr a = random_bitmap(w, h, 3, seed), b = random_bitmap(w, h, 3, seed + 1);
             tamsa_fadeover_ll(a->data, b->data, a->data, 300, w, h, 3);
             return pixels(*a);
         }},
        {"YUV, groups of 4", planes([](int32_t w, int32_t h, uint8_t *y, uint8_t *v, uint8_t *u) {
             BusBuffer rgb(uint32_t(w * h * 3 + 12));
             fx_yuvtorgb_ll(y, v, u, rgb.data(), uint32_t(w * h), 4);
             return rgb.bytes();
         })},
        {"YUV, groups of 2", planes([](int32_t w, int32_t h, uint8_t *y, uint8_t *v, uint8_t *u) {
             BusBuffer rgb(uint32_t(w * h * 3 + 12));
             fx_yuvtorgb_ll(y, v, u, rgb.data(), uint32_t(w * h), 2);
             return rgb.bytes();
         })},
        {"YUV in double", planes([](int32_t w, int32_t h, uint8_t *y, uint8_t *v, uint8_t *u) {
             BusBuffer rgb(uint32_t(w * h * 3 + 12));
             kv_yuv_to_rgb(y, v, u, rgb.data(), uint32_t(w * h), 3);
             return rgb.bytes();
         })},
        {"YUV scaled", planes([](int32_t w, int32_t h, uint8_t *y, uint8_t *v, uint8_t *u) {
             return taken(fx_yuvscale_ll(y, v, u, w, h, w * 3 / 2 + 1, h * 2 - 1));
         })},
        {"YUV scaled smaller", planes([](int32_t w, int32_t h, uint8_t *y, uint8_t *v, uint8_t *u) {
             return taken(fx_yuvscale_ll(y, v, u, w, h, std::max(1, w / 3), std::max(1, h / 2)));
         })},
        {"blit", blitted(false, [](kv_bitmap *d, kv_bitmap *s, int32_t x, int32_t y) {
             kv_chunkyblit(d, s->width, s->height, s->data, x, y);
         })},
        {"blit of whole rows", blitted(true, [](kv_bitmap *d, kv_bitmap *s, int32_t x, int32_t y) {
             kv_chunkyblit(d, s->width, s->height, s->data, x, y);
         })},
        {"transparent blit", blitted(false, [](kv_bitmap *d, kv_bitmap *s, int32_t x, int32_t y) {
             kv_transchunkyblit(d, s->width, s->height, s->data, x, y, 35);
         })},
        {"transparent blit of whole rows",
         blitted(true, [](kv_bitmap *d, kv_bitmap *s, int32_t x, int32_t y) {
             kv_transchunkyblit(d, s->width, s->height, s->data, x, y, 120);
         })},
        {"alpha blit", blitted(false, [](kv_bitmap *d, kv_bitmap *s, int32_t x, int32_t y) {
             kv_transalphachunkyblit(d, s->width, s->height, s->data, x, y, 20);
         })},
        {"scaled blit", blitted(false, [](kv_bitmap *d, kv_bitmap *s, int32_t x, int32_t y) {
             kv_scaledblit(d, s->width, s->height, s->data, x, y, d->width, d->height * 2);
         })},
        {"scaled mask blit", blitted(false, [](kv_bitmap *d, kv_bitmap *s, int32_t x, int32_t y) {
             kv_scaledmaskblit(d, s->width, s->height, s->data, x - 2, y, d->width * 3 / 2,
                               d->height, 90);
         })},
        {"scaled light blit",
         [](int32_t w, int32_t h, uint64_t seed) {
             BitmapPtr d = random_bitmap(w, h, 3, seed);
             BitmapPtr light = random_bitmap(256, 256, 3, seed + 1);
             kv_scaledlightblit(d.get(), light->data, 1, 0, w + 3, h, 200, 90, 255);
             return pixels(*d);
         }},
    };
    return ops;
}

// Odd sizes: one row, one column, heights no band count divides, and a frame wide enough for
// the vector kernels' whole blocks.
constexpr std::pair<int32_t, int32_t> kSizes[] = {{37, 1},   {1, 29},  {23, 7},
                                                  {101, 13}, {67, 45}, {301, 11}};

TEST_F(Bands, EveryOperationGivesTheBytesOfOneThread) {
    for (const banded_op &op : banded_ops()) {
        SCOPED_TRACE(op.name);
        const uint64_t calls_before = tamsa::banded_calls();
        tamsa_test::each_kernel([&] {
            for (const auto &[w, h] : kSizes) {
                SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
                const uint64_t seed = uint64_t(w) * 1000 + uint64_t(h);
                tamsa_set_threads(1);
                tamsa::set_band_threshold(0);
                const std::vector<uint8_t> alone = op.run(w, h, seed);
                // Every picture split as finely as the threads allow.
                tamsa::set_band_threshold(1);
                for (int32_t threads : {2, 3, 7}) {
                    tamsa_set_threads(threads);
                    EXPECT_EQ(op.run(w, h, seed), alone) << threads << " threads";
                }
            }
        });
        // Not one call split would mean the operation never reaches the pool.
        EXPECT_GT(tamsa::banded_calls(), calls_before) << "no call was split";
    }
}

// Inputs that share bytes with their outputs keep the one-thread order: done on one thread,
// they give the bytes they always gave.
TEST_F(Bands, OverlappingRunsStayInOrder) {
    tamsa::set_band_threshold(1);
    tamsa_set_threads(3);
    const uint32_t n = 3001;
    const auto check = [&](const char *name, auto op) {
        SCOPED_TRACE(name);
        tamsa_set_threads(1);
        BusBuffer one(4 * n);
        Rng(n).fill(one.data(), one.size());
        op(one.data());
        tamsa_set_threads(3);
        BusBuffer three(4 * n);
        Rng(n).fill(three.data(), three.size());
        const uint64_t calls = tamsa::banded_calls();
        op(three.data());
        EXPECT_EQ(three.bytes(), one.bytes());
        EXPECT_EQ(tamsa::banded_calls(), calls) << "an overlapping call was split";
    };
    check("colour cube in place", [&](uint8_t *p) { kv_remap24(p, p, nullptr, 3 * n); });
    check("colour cube onto its source's tail",
          [&](uint8_t *p) { kv_remap24(p, p + n, nullptr, 3 * n); });
    check("byte table inside the run", [&](uint8_t *p) { kv_remap8(p, p + 100, 2 * n); });
    check("cross-fade one byte on",
          [&](uint8_t *p) { tamsa_fadeover_ll(p, p + n, p + 1, 40, n, 1, 1); });
    check("YUV onto its luma", [&](uint8_t *p) {
        fx_yuvtorgb_ll(p + 2 * n, p + 3 * n, p + 3 * n + n / 4 + 1, p + 2 * n, n / 2, 4);
    });
    check("blit onto itself", [&](uint8_t *p) {
        kv_bitmap b{p, 100, 30, 3};
        kv_chunkyblit(&b, 100, 20, p + 300, 0, 3);
    });
    check("scaled blit onto itself", [&](uint8_t *p) {
        kv_bitmap b{p, 100, 30, 3};
        kv_scaledblit(&b, 50, 20, p + 600, 3, 1, 97, 29);
    });
}

// ---- the pool ----

template <class Band>
void run_bands(int64_t units, int64_t bands, int64_t grain, Band band) {
    tamsa::bands::run(
        units, bands, grain,
        [](void *context, int64_t first, int64_t last) {
            (*static_cast<Band *>(context))(first, last);
        },
        &band);
}

// Every unit is visited once, in bands whose inner boundaries fall on the grain.
TEST_F(Bands, RunCoversEveryUnitOnce) {
    struct shape {
        int64_t units, bands, grain;
    };
    for (int32_t threads : {1, 2, 3, 7}) {
        tamsa_set_threads(threads);
        for (const shape &s : {shape{1, 1, 1}, shape{2, 2, 1}, shape{7, 3, 1}, shape{1000, 7, 64},
                               shape{130, 7, 64}, shape{63, 5, 64}, shape{5, 9, 1}}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(s.units) +
                         " units in " + std::to_string(s.bands) + ", grain " +
                         std::to_string(s.grain));
            std::vector<std::atomic<int32_t>> seen(size_t(s.units));
            std::mutex m;
            std::vector<std::pair<int64_t, int64_t>> ranges;
            run_bands(s.units, s.bands, s.grain, [&](int64_t first, int64_t last) {
                for (int64_t k = first; k < last; ++k) seen[size_t(k)].fetch_add(1);
                const std::lock_guard<std::mutex> hold(m);
                ranges.emplace_back(first, last);
            });
            for (int64_t k = 0; k < s.units; ++k) EXPECT_EQ(seen[size_t(k)].load(), 1) << k;
            EXPECT_LE(int64_t(ranges.size()), s.bands);
            for (const auto &[first, last] : ranges) {
                EXPECT_LT(first, last);
                EXPECT_EQ(first % s.grain, 0) << first;
                if (last != s.units) {
                    EXPECT_EQ(last % s.grain, 0) << last;
                }
            }
        }
    }
}

// Four bands a thread, each worth the threshold at least; one below twice the threshold, and
// one while one thread is set.
TEST_F(Bands, CountFollowsThreadsAndThreshold) {
    struct row {
        int32_t threads;
        int64_t threshold, units, cost, bands;
    };
    const row rows[] = {
        {1, 1, 1000, 1000, 1},
        {2, 1, 1000, 1000, 8},
        {7, 1, 1000, 1000, 28},
        {7, 1, 3, 1000, 3},
        {7, 1, 1, 1000, 1},
        {2, 500, 1000, 1, 2},
        {2, 500, 999, 1, 1},
        {3, 500, 1001, 1, 2},
        {3, 500, 1500, 1, 3},
        {3, 500, 1499, 1, 2},
        {4, 100, 10, 25, 2},
        {2, 0, 1, INT64_MAX, 1},
        {2, 1, INT64_MAX, INT64_MAX, 8},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(r.threads) + " threads, threshold " +
                     std::to_string(r.threshold) + ", " + std::to_string(r.units) + " x " +
                     std::to_string(r.cost));
        tamsa_set_threads(r.threads);
        tamsa::set_band_threshold(r.threshold);
        EXPECT_EQ(tamsa::bands::count(r.units, r.cost), r.bands);
    }
    // The library's own threshold: a frame of a few rows stays whole.
    tamsa::set_band_threshold(0);
    tamsa_set_threads(2);
    EXPECT_EQ(tamsa::bands::count(4, 1000), 1);
    EXPECT_EQ(tamsa::bands::count(2, tamsa::bands::kMinBandWork), 2);
    EXPECT_EQ(tamsa::bands::count(1000, tamsa::bands::kMinBandWork), 8);
}

// Threads calling operations at once, each split, each get the bytes of one thread.
TEST_F(Bands, CallersAtOnceGetTheirOwnBytes) {
    tamsa::set_band_threshold(1);
    const std::vector<banded_op> &ops = banded_ops();
    constexpr int32_t kCallers = 4, kRounds = 3;
    const int32_t w = 67, h = 45;
    std::vector<std::vector<uint8_t>> alone(ops.size());
    tamsa_set_threads(1);
    for (size_t k = 0; k < ops.size(); ++k) alone[k] = ops[k].run(w, h, k);
    tamsa_set_threads(3);
    std::atomic<int32_t> wrong{0};
    std::vector<std::thread> callers;
    for (int32_t c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            for (int32_t round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < ops.size(); ++i) {
                    const size_t k = (i + size_t(c) * 5) % ops.size();
                    if (ops[k].run(w, h, k) != alone[k]) wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread &t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A one-shot signal between threads.
class latch {
   public:
    void open() {
        const std::lock_guard<std::mutex> hold(m_);
        open_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> hold(m_);
        cv_.wait(hold, [this] { return open_; });
    }

   private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// While the pool's one worker is held inside another caller's band, a caller still finishes:
// it does its bands itself rather than wait for the worker.
TEST_F(Bands, BusyPoolNeverHoldsACallerUp) {
    tamsa_set_threads(2);
    tamsa::set_band_threshold(1);
    latch worker_inside, release;
    std::thread first([&] {
        const std::thread::id me = std::this_thread::get_id();
        std::atomic<bool> helped{false};
        // Two bands: this thread's waits for the worker to take the other and stay in it.
        run_bands(2, 2, 1, [&](int64_t, int64_t) {
            if (std::this_thread::get_id() == me) {
                worker_inside.wait();
                return;
            }
            helped = true;
            worker_inside.open();
            release.wait();
        });
        EXPECT_TRUE(helped.load());
    });
    worker_inside.wait();
    // The worker is busy with the first caller's band until released.
    BitmapPtr b = random_bitmap(67, 45, 3, 7);
    BitmapPtr expected(kv_clonebitmap(b.get()));
    tamsa_set_threads(1);
    kv_smoothbitmap(expected.get(), 2);
    tamsa_set_threads(2);
    const uint64_t calls = tamsa::banded_calls();
    kv_smoothbitmap(b.get(), 2);
    EXPECT_EQ(tamsa::banded_calls(), calls + 2);
    EXPECT_EQ(pixels(*b), pixels(*expected));
    release.open();
    first.join();
}

#if !defined(__SANITIZE_THREAD__)
// A child forked while other threads split their work makes a pool of its own: the parent's
// workers are not there, and the parent's pool lock may have been held at the fork. The busy
// thread keeps out of the bus, whose allocator a child could not take over mid-call.
// (ThreadSanitizer does not follow threads started after a fork of a process with threads.)
TEST_F(Bands, ForkedChildRunsBandsOfItsOwn) {
    // qemu-user aborts in its own code when a process with threads forks (its plugin hook
    // asserts), before any of ours runs in the child.
    if (std::getenv("QEMU_CPU") != nullptr) GTEST_SKIP() << "fork with threads under qemu-user";
    tamsa_set_threads(2);
    tamsa::set_band_threshold(1);
    const banded_op &op = banded_ops().front();
    const std::vector<uint8_t> expected = op.run(41, 23, 5);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        std::vector<uint8_t> run(1 << 16);
        for (int32_t k = 0; !stop.load(); ++k) kv_xor(run.data(), uint32_t(run.size()), k);
    });
    for (int k = 0; k < 8; ++k) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const uint64_t calls = tamsa::banded_calls();
            const bool same = op.run(41, 23, 5) == expected;
            _exit(same && tamsa::banded_calls() > calls ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << k;
    }
    stop = true;
    busy.join();
}
#endif

// ---- the number of threads ----

TEST_F(Bands, SetThreadsTakesOneTo256) {
    tamsa_set_threads(0);
    const int32_t machine = tamsa_threads();
    EXPECT_GE(machine, 1);
    EXPECT_LE(machine, 256);
    for (int32_t n : {1, 2, 7, 256}) {
        EXPECT_EQ(tamsa_set_threads(n), 1) << n;
        EXPECT_EQ(tamsa_threads(), n);
    }
    for (int32_t n : {-1, 257, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(tamsa_set_threads(n), 0) << n;
        EXPECT_EQ(tamsa_threads(), 256) << "a refused number changed the setting";
    }
    EXPECT_EQ(tamsa_set_threads(0), 1);
    EXPECT_EQ(tamsa_threads(), machine);
}

TEST_F(Bands, ThreadsInTheEnvironment) {
    struct row {
        const char *text;
        int32_t threads;  // 0: not a number of threads
    };
    for (const row &r :
         {row{"1", 1}, row{"2", 2}, row{"16", 16}, row{"256", 256}, row{"0256", 256}, row{"0", 0},
          row{"257", 0}, row{"-2", 0}, row{"+2", 0}, row{" 2", 0}, row{"2 ", 0}, row{"2x", 0},
          row{"two", 0}, row{"", 0}, row{"99999999999999999999999", 0}}) {
        EXPECT_EQ(tamsa::threads_named(r.text), r.threads) << "'" << r.text << "'";
    }
    // What this run's environment held, as the library reports it.
    const char *text = std::getenv("TAMSA_THREADS");
    const int32_t setting = tamsa_threads_setting();
    if (text == nullptr || *text == '\0') {
        EXPECT_EQ(setting, TAMSA_THREADS_UNSET);
    } else {
        EXPECT_EQ(setting,
                  tamsa::threads_named(text) > 0 ? TAMSA_THREADS_HONOURED : TAMSA_THREADS_IGNORED);
    }
}

}  // namespace
