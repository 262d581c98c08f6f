// Which kernels run: the switch that keeps the fast ones off for tests, and the vector target
// Highway picks from what the CPU has (or what a test forces).
#include <atomic>

#include "tamsa/internal/kernels.h"
#include "tamsa/internal/testing.h"

#if TAMSA_SIMD
#include <hwy/targets.h>
#endif

namespace tamsa {
namespace {

std::atomic<bool> plain{false};

#if TAMSA_SIMD
// What this CPU runs of what the build has, taken before any test forces a target.
int64_t usable_targets() {
    static const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
    return targets;
}

// The best target currently allowed: the lowest bit is the best. Asking the CPU costs many
// CPUID instructions, each a trap out of a virtual machine, so the answer is kept until a test
// forces another target (-1: not known yet).
std::atomic<int64_t> best{-1};

int64_t best_target() {
    int64_t target = best.load(std::memory_order_relaxed);
    if (target < 0) {
        const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
        target = targets & -targets;
        best.store(target, std::memory_order_relaxed);
    }
    return target;
}
#endif

}  // namespace

void use_plain_kernels(bool on) {
    plain.store(on, std::memory_order_relaxed);
}
bool plain_kernels() {
    return plain.load(std::memory_order_relaxed);
}

std::vector<int64_t> vector_targets() {
    std::vector<int64_t> targets;
#if TAMSA_SIMD
    for (int64_t t = usable_targets(); t != 0; t &= t - 1) targets.push_back(t & -t);
#endif
    return targets;
}

void force_vector_target(int64_t target) {
#if TAMSA_SIMD
    usable_targets();
    hwy::SetSupportedTargetsForTest(target);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    best.store(-1, std::memory_order_relaxed);
#else
    (void)target;
#endif
}

const char *vector_target_name(int64_t target) {
#if TAMSA_SIMD
    return hwy::TargetName(target);
#else
    (void)target;
    return "none";
#endif
}

namespace kernels {

bool fast_allowed() {
    return !plain_kernels();
}

int64_t vector_target() {
#if TAMSA_SIMD
    return plain_kernels() ? 0 : best_target();
#else
    return 0;
#endif
}

}  // namespace kernels
}  // namespace tamsa
