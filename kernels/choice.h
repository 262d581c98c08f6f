// Which kernel of an operation runs. Each operation has one set of kernels, filled in one place
// (its <op>_row.h), and one pick() applies the same order to every set. Private to the library.
#ifndef TAMSA_KERNELS_CHOICE_H
#define TAMSA_KERNELS_CHOICE_H

#include <cstdint>

#if TAMSA_SIMD
#include <hwy/detect_targets.h>
#endif

// A set's vector kernel (the getter a _hwy.cpp file exports) and its AVX-512 VBMI kernel, where
// the build has them; null where it does not.
#if TAMSA_SIMD
#define TAMSA_VECTOR_KERNEL(getter) getter
#else
#define TAMSA_VECTOR_KERNEL(getter) nullptr
#endif
// The Highway targets whose vectors are sizeless (SVE, SVE2 and their fixed-width forms): no
// arrays or members of them, and a lane count that may be known only at run time.
#if TAMSA_SIMD
#define TAMSA_HWY_SVE_TARGETS (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
#define TAMSA_HWY_SVE_256 HWY_SVE_256
#else
#define TAMSA_HWY_SVE_TARGETS 0
#define TAMSA_HWY_SVE_256 0
#endif
#if TAMSA_AVX512VBMI
#define TAMSA_AVX512VBMI_KERNEL(kernel) kernel
#else
#define TAMSA_AVX512VBMI_KERNEL(kernel) nullptr
#endif

namespace tamsa::kernels {

// The kinds of kernel, from the rule up to the fastest.
enum class level { plain, fast, vector, avx512vbmi };

// An operation's kernels. The plain kernel is the rule and always there; the others give its
// bytes wherever the operation's conditions hold, and are null where the operation has none:
// fast is portable C++, vector a Highway kernel (a getter, since the kernel depends on the
// target chosen when it is picked), avx512vbmi written with those intrinsics. Where the vector
// kernel is not worth it on a Highway target (a bit of vector_skipped), fast runs instead.
template <class Fn>
struct kernel_set {
    Fn plain;
    Fn fast = nullptr;
    Fn (*vector)() = nullptr;
    Fn avx512vbmi = nullptr;
    int64_t vector_skipped = 0;
};

// The best level this run may take: plain while a test forces the plain kernels or when the
// operation's conditions fail; avx512vbmi where the build, the CPU and the vector target chosen
// (AVX3_DL, so that a test forcing a lesser target gets the lesser kernels) have it; vector
// wherever a vector target is chosen; else fast.
level allowed(bool conditions = true);

// The Highway target the vector kernels run on now (0 where the build has none).
int64_t vector_target();

// The set's kernel: the best one that the set has, that both allowed() and the operation's
// reach (the best level its conditions let it take) reach, and that can(level) accepts (asked
// from the best down; it may prepare what that kernel needs).
template <class Fn, class Can>
Fn pick(const kernel_set<Fn> &set, level reach, Can &&can) {
    const level run = allowed(reach != level::plain);
    const level best = run < reach ? run : reach;
    if (best >= level::avx512vbmi && set.avx512vbmi != nullptr && can(level::avx512vbmi)) {
        return set.avx512vbmi;
    }
    if (best >= level::vector && set.vector != nullptr &&
        (set.vector_skipped & vector_target()) == 0 && can(level::vector)) {
        return set.vector();
    }
    if (best >= level::fast && set.fast != nullptr && can(level::fast)) return set.fast;
    return set.plain;
}

template <class Fn>
Fn pick(const kernel_set<Fn> &set, level reach) {
    return pick(set, reach, [](level) { return true; });
}

// With conditions that either hold for every kernel or for none.
template <class Fn>
Fn pick(const kernel_set<Fn> &set, bool conditions = true) {
    return pick(set, conditions ? level::avx512vbmi : level::plain);
}

}  // namespace tamsa::kernels

#endif
