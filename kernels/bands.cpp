// The pool of threads that big pictures run on, the number of threads (the machine's, or
// TAMSA_THREADS, or the caller's), and the splitting of work into bands.
//
// A caller puts its job where idle workers see it and then takes bands itself, as the workers
// do, until none is left; it then withdraws the job and waits only for bands workers have
// already taken. So a caller never waits for a pool that is busy with someone else's job: it does
// all of its bands itself instead. Callers and workers doing bands count as running, and a worker
// joins a job only while fewer than the set number of threads run, so several callers at once (a
// server's clients, a recorder's stages) do not oversubscribe the cores between them.
//
// Workers start on the first job that wants them and are never stopped: at exit they sleep on a
// condition nobody signals, and the process ends around them. A child forked from a process with
// workers has none of them, and the pool's lock may have been held at the fork: the child drops
// the pool unseen (never touching its lock) and makes its own when it needs one.
#include "kernels/bands.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "tamsa/internal/testing.h"
#include "tamsa/tamsa.h"

namespace tamsa {

namespace {

// More threads than this are refused: past a few dozen a picture's bands are too thin to pay.
constexpr int32_t kMaxThreads = 256;
constexpr int64_t kBandsPerThread = 4;

int32_t machine_threads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return std::min(n, int(kMaxThreads));
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? int32_t(std::min(online, long(kMaxThreads))) : 1;
}

}  // namespace

// Digits alone, 1 to kMaxThreads.
int32_t threads_named(const char *text) {
    int64_t n = 0;
    if (*text == '\0') return 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
        if (n > kMaxThreads) return 0;
    }
    return int32_t(n);
}

namespace {

struct thread_choice {
    int32_t threads = 1;
    int32_t setting = TAMSA_THREADS_UNSET;
};

thread_choice choose() {
    thread_choice c;
    c.threads = machine_threads();
    const char *text = std::getenv("TAMSA_THREADS");
    if (text == nullptr || *text == '\0') return c;
    const int32_t n = threads_named(text);
    c.setting = n > 0 ? TAMSA_THREADS_HONOURED : TAMSA_THREADS_IGNORED;
    if (n > 0) c.threads = n;
    return c;
}

const thread_choice &environment() {
    static const thread_choice c = choose();
    return c;
}

// What tamsa_set_threads set (0: the environment's choice).
std::atomic<int32_t> chosen{0};

int32_t thread_count() {
    const int32_t n = chosen.load(std::memory_order_relaxed);
    return n > 0 ? n : environment().threads;
}

std::atomic<int64_t> threshold{0};
std::atomic<uint64_t> split_calls{0};

struct job {
    bands::band_fn band;
    void *context;
    int64_t units, bands, grain;
    std::atomic<int64_t> next{0};
    int32_t helpers = 0;  // workers on it, under the pool's lock
};

// Band b's first unit.
int64_t band_start(const job &j, int64_t b) {
    if (b >= j.bands) return j.units;
    const int64_t at = int64_t((__int128(b) * j.units) / j.bands);
    return at / j.grain * j.grain;
}

// Takes and runs bands of the job until none is left.
void take_bands(job &j) {
    for (;;) {
        const int64_t b = j.next.fetch_add(1, std::memory_order_relaxed);
        if (b >= j.bands) return;
        const int64_t first = band_start(j, b), last = band_start(j, b + 1);
        if (first < last) j.band(j.context, first, last);
    }
}

class pool {
   public:
    void run(job &j, int32_t threads) {
        std::unique_lock<std::mutex> hold(lock_);
        ++running_;
        if (running_ < threads) {
            grow(threads - 1);
            jobs_.push_back(&j);
            const int64_t wanted = std::min<int64_t>(j.bands - 1, threads - running_);
            for (int64_t k = 0; k < std::min<int64_t>(wanted, idle_); ++k) work_.notify_one();
        }
        hold.unlock();
        take_bands(j);
        hold.lock();
        --running_;
        const auto at = std::find(jobs_.begin(), jobs_.end(), &j);
        if (at != jobs_.end()) jobs_.erase(at);
        done_.wait(hold, [&j] { return j.helpers == 0; });
    }

   private:
    // Starts workers up to count, under the lock. Workers take no signal sent to the process:
    // those are for the program's own threads (a fault of their own still reaches them). A
    // worker that cannot be made is done without.
    void grow(int32_t count) {
        if (started_ >= count) return;
        sigset_t all, old;
        sigfillset(&all);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) sigdelset(&all, fault);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        for (; started_ < count; ++started_) {
            pthread_t thread;
            if (pthread_create(&thread, &attributes, &pool::work, this) != 0) break;
        }
        pthread_attr_destroy(&attributes);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    // An open job with bands left, while fewer threads than the setting run bands.
    job *open_job() {
        if (running_ >= thread_count()) return nullptr;
        for (job *j : jobs_) {
            if (j->next.load(std::memory_order_relaxed) < j->bands) return j;
        }
        return nullptr;
    }

    static void *work(void *self) {
        static_cast<pool *>(self)->serve();
        return nullptr;
    }

    void serve() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            job *j = open_job();
            if (j == nullptr) {
                ++idle_;
                work_.wait(hold);
                --idle_;
                continue;
            }
            ++j->helpers;
            ++running_;
            hold.unlock();
            take_bands(*j);
            hold.lock();
            --running_;
            if (--j->helpers == 0) done_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable work_;  // workers wait here for jobs
    std::condition_variable done_;  // callers wait here for their helpers to leave
    std::vector<job *> jobs_;       // jobs open to workers
    int32_t started_ = 0;
    int32_t running_ = 0;  // threads taking bands, callers and workers
    int32_t idle_ = 0;     // workers waiting for a job
};

std::atomic<pool *> current{nullptr};

// In a forked child: the parent's pool, its workers gone and its lock perhaps held, is left.
void forget_pool() {
    current.store(nullptr, std::memory_order_relaxed);
}

pool &the_pool() {
    pool *p = current.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    static const bool registered = [] {
        return pthread_atfork(nullptr, nullptr, forget_pool) == 0;
    }();
    (void)registered;
    auto *made = new pool;
    if (current.compare_exchange_strong(p, made, std::memory_order_acq_rel)) return *made;
    delete made;  // another thread's came first; ours never started a worker
    return *p;
}

}  // namespace

namespace bands {

int64_t count(int64_t units, int64_t unit_cost) {
    const int32_t threads = thread_count();
    if (threads <= 1 || units <= 1) return 1;
    const int64_t least = threshold.load(std::memory_order_relaxed);
    const int64_t per_band = least > 0 ? least : kMinBandWork;
    const int64_t work =
        unit_cost > 0 && units > INT64_MAX / unit_cost ? INT64_MAX : units * unit_cost;
    // A few bands per thread: a helper that the scheduler keeps waiting holds its band up,
    // and the others take the rest meanwhile.
    const int64_t n =
        std::min<int64_t>({int64_t(threads) * kBandsPerThread, units, work / per_band});
    return n < 2 ? 1 : n;
}

void run(int64_t units, int64_t bands, int64_t grain, band_fn band, void *context) {
    job j;
    j.band = band;
    j.context = context;
    j.units = units;
    j.grain = grain > 0 ? grain : 1;
    // Bands that the grain would leave empty are not made.
    j.bands = std::max<int64_t>(1, std::min(bands, units / j.grain));
    if (j.bands <= 1) {
        band(context, 0, units);
        return;
    }
    split_calls.fetch_add(1, std::memory_order_relaxed);
    the_pool().run(j, thread_count());
}

}  // namespace bands

void set_band_threshold(int64_t work) {
    threshold.store(work, std::memory_order_relaxed);
}

uint64_t banded_calls() {
    return split_calls.load(std::memory_order_relaxed);
}

}  // namespace tamsa

extern "C" {

int32_t tamsa_threads(void) {
    return tamsa::thread_count();
}

int32_t tamsa_set_threads(int32_t threads) {
    if (threads < 0 || threads > tamsa::kMaxThreads) return 0;
    tamsa::chosen.store(threads, std::memory_order_relaxed);
    return 1;
}

int32_t tamsa_threads_setting(void) {
    return tamsa::environment().setting;
}

}  // extern "C"
