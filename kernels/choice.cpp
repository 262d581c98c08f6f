// Which kernels run: the switch that keeps the fast ones off for tests, the vector target
// Highway picks from what the CPU has (or what a test forces), and the user's TAMSA_CPU, which
// holds the kernels to a level below the CPU's best.
#include <strings.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <string>

#include "kernels/choice.h"
#include "tamsa/internal/testing.h"
#include "tamsa/tamsa.h"

#if TAMSA_SIMD
#include <hwy/targets.h>
#endif

namespace tamsa {
namespace {

std::atomic<bool> plain{false};

// A level TAMSA_CPU names, with the Highway targets that count as it. The levels of an
// architecture go from the least to the best; each one allows its own targets and those of
// the levels before it.
struct cpu_level {
    const char *name;
    int64_t targets;
};

#if TAMSA_SIMD && HWY_ARCH_X86
constexpr std::array<cpu_level, 4> kLevels{{{"sse4", HWY_SSSE3 | HWY_SSE4},
                                            {"avx2", HWY_AVX2},
                                            {"avx512", HWY_AVX3},
                                            {"avx512vbmi", HWY_AVX3_DL}}};
#elif TAMSA_SIMD && HWY_ARCH_ARM_A64
constexpr std::array<cpu_level, 3> kLevels{
    {{"neon", HWY_NEON}, {"sve", HWY_SVE | HWY_SVE_256}, {"sve2", HWY_SVE2 | HWY_SVE2_128}}};
#else
constexpr std::array<cpu_level, 0> kLevels{};
#endif

// What this run may use, worked out once, before any kernel is picked and before any test
// forces a target: the targets the CPU runs of those the build has, less what TAMSA_CPU rules
// out, and what became of the setting.
struct cpu_choice {
    int64_t offered = 0;
    int64_t usable = 0;
    int32_t setting = TAMSA_CPU_UNSET;
};

cpu_choice choose() {
    cpu_choice c;
#if TAMSA_SIMD
    c.offered = hwy::SupportedTargets() & HWY_TARGETS;
#endif
    c.usable = c.offered;
    const char *name = std::getenv("TAMSA_CPU");
    if (name == nullptr || *name == '\0') return c;
    c.setting = TAMSA_CPU_IGNORED;
    if (strcasecmp(name, "plain") == 0) {
        c.usable = 0;
        c.setting = TAMSA_CPU_HONOURED;
        return c;
    }
#if TAMSA_SIMD
    // The portable targets stay allowed: Highway needs one to fall back on.
    int64_t allowed = HWY_EMU128 | HWY_SCALAR;
    for (const cpu_level &l : kLevels) {
        allowed |= l.targets;
        if (strcasecmp(name, l.name) != 0) continue;
        if ((c.offered & l.targets) == 0) break;
        hwy::DisableTargets(~allowed);
        c.usable = c.offered & allowed;
        c.setting = TAMSA_CPU_HONOURED;
        break;
    }
#endif
    return c;
}

const cpu_choice &cpu() {
    static const cpu_choice c = choose();
    return c;
}

#if TAMSA_SIMD
// What this run may use of what the build has.
int64_t usable_targets() {
    return cpu().usable;
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

// The name of the level a target counts as; plain for none and the portable targets.
const char *level_name(int64_t target) {
    for (const cpu_level &l : kLevels) {
        if ((l.targets & target) != 0) return l.name;
    }
    return "plain";
}

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

extern "C" {

const char *tamsa_cpu_levels(void) {
    static const std::string names = [] {
        std::string s = "plain";
        for (const tamsa::cpu_level &l : tamsa::kLevels) {
            if ((tamsa::cpu().offered & l.targets) != 0) s += std::string(" ") + l.name;
        }
        return s;
    }();
    return names.c_str();
}

const char *tamsa_cpu_level(void) {
    if (tamsa::plain_kernels()) return "plain";
    return tamsa::level_name(tamsa::kernels::vector_target());
}

int32_t tamsa_cpu_setting(void) {
    return tamsa::cpu().setting;
}

}  // extern "C"
