// Which kernels run: the switch that keeps the fast ones off for tests, and the vector target
// Highway picks from what the CPU has (or what a test forces).
#include <atomic>

#include "kernels/choice.h"
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

// The targets a test has left allowed (0: all usable ones). Kept here because asking Highway
// runs CPUID every time, which a virtual machine makes cost microseconds per call.
std::atomic<int64_t> forced{0};

// The best target currently allowed: the lowest bit is the best.
int64_t best_target() {
    int64_t targets = forced.load(std::memory_order_relaxed);
    if (targets == 0) targets = usable_targets();
    return targets & -targets;
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
    const int64_t now = hwy::SupportedTargets();
    hwy::GetChosenTarget().Update(now);
    forced.store(target == 0 ? 0 : now & HWY_TARGETS, std::memory_order_relaxed);
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

level allowed(bool conditions) {
    if (!conditions || plain_kernels()) return level::plain;
#if TAMSA_SIMD
    const int64_t target = best_target();
#if TAMSA_AVX512VBMI
    // Highway offers AVX3_DL only where the OS saves the AVX-512 state; the CPU check names the
    // instructions the intrinsics use.
    static const bool cpu =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
    if (cpu && target == HWY_AVX3_DL) return level::avx512vbmi;
#endif
    if (target != 0) return level::vector;
#endif
    return level::fast;
}

int64_t vector_target() {
#if TAMSA_SIMD
    return best_target();
#else
    return 0;
#endif
}

}  // namespace kernels
}  // namespace tamsa
