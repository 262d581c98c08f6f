// The bus allocator with 10,000 live blocks of mixed sizes (16 B to 64 KiB, one in a hundred a
// 1 MiB frame), freed in random order: the time of one allocation, of one free and of one block
// lookup. The same churn through malloc and a 4 KiB memcpy run beside them as yardsticks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/heap.h"
#include "tamsa/tamsa.h"

namespace {

constexpr size_t kLive = 10000;
constexpr size_t kBatch = 1000;  // blocks timed together

class Sizes {
   public:
    uint32_t next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        const auto r = uint32_t(state_ >> 33);
        if (r % 100 == 0) return 1u << 20;
        return 16u << (r >> 8) % 13 | (r >> 4 & 15);  // 16 B .. 64 KiB, log-spread
    }
    size_t below(size_t n) {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return size_t(state_ >> 33) % n;
    }

   private:
    uint64_t state_ = 12345;
};

struct bus_heap {
    static void *take(uint32_t size) { return PPCAllocVec(size, TAMSA_MEMF_ANY); }
    static void give(void *p) { PPCFreeVec(p); }
};
struct c_heap {
    static void *take(uint32_t size) { return std::malloc(size); }
    static void give(void *p) { std::free(p); }
};

// Each round frees kBatch blocks picked at random and allocates kBatch new ones; only the
// half named by timed_free is timed.
template <class Heap>
void churn(benchmark::State &state, bool timed_free) {
    Sizes sizes;
    std::vector<void *> live;
    for (size_t i = 0; i < kLive; ++i) live.push_back(Heap::take(sizes.next()));
    std::vector<void *> victims(kBatch);
    for (auto _ : state) {
        for (void *&v : victims) {
            const size_t k = sizes.below(live.size());
            v = live[k];
            live[k] = live.back();
            live.pop_back();
        }
        const auto start = std::chrono::steady_clock::now();
        if (timed_free) {
            for (void *v : victims) Heap::give(v);
        } else {
            for (size_t i = 0; i < kBatch; ++i) live.push_back(Heap::take(sizes.next()));
        }
        const auto stop = std::chrono::steady_clock::now();
        if (timed_free) {
            for (size_t i = 0; i < kBatch; ++i) live.push_back(Heap::take(sizes.next()));
        } else {
            for (void *v : victims) Heap::give(v);
        }
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        if (std::find(live.end() - kBatch, live.end(), nullptr) != live.end()) {
            state.SkipWithError("allocation failed");
            break;
        }
    }
    for (void *p : live) Heap::give(p);
    state.counters["per_block"] = benchmark::Counter(
        kBatch, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_BusAlloc(benchmark::State &state) {
    churn<bus_heap>(state, false);
}
void BM_BusFree(benchmark::State &state) {
    churn<bus_heap>(state, true);
}
void BM_MallocAlloc(benchmark::State &state) {
    churn<c_heap>(state, false);
}
void BM_MallocFree(benchmark::State &state) {
    churn<c_heap>(state, true);
}

// The range check the server makes for every address it is sent: a random address inside a
// random live block.
void BM_FindBlock(benchmark::State &state) {
    Sizes sizes;
    std::vector<void *> live;
    std::vector<uint32_t> probes;
    for (size_t i = 0; i < kLive; ++i) {
        const uint32_t size = sizes.next();
        live.push_back(PPCAllocVec(size, TAMSA_MEMF_ANY));
        probes.push_back(tamsa_bus_address(live.back()) + uint32_t(sizes.below(size)));
    }
    size_t i = 0;
    uint64_t found = 0;
    for (auto _ : state) {
        found += tamsa::platform::find_block(probes[i]).has_value();
        i = i + 1 == probes.size() ? 0 : i + 1;
    }
    benchmark::DoNotOptimize(found);
    if (found != uint64_t(state.iterations())) state.SkipWithError("a live block was not found");
    for (void *p : live) PPCFreeVec(p);
    state.counters["per_block"] = benchmark::Counter(
        1, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Memcpy4K(benchmark::State &state) {
    std::vector<uint8_t> from(4096, 1), to(4096);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    state.counters["per_block"] = benchmark::Counter(
        1, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Memcpy4K);
BENCHMARK(BM_BusAlloc)->UseManualTime();
BENCHMARK(BM_BusFree)->UseManualTime();
BENCHMARK(BM_MallocAlloc)->UseManualTime();
BENCHMARK(BM_MallocFree)->UseManualTime();
BENCHMARK(BM_FindBlock);

}  // namespace
