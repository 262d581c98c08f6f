// Which kernels an operation may run: what the pick_<op>_row() functions ask before they hand
// out a vector kernel. Not installed.
#ifndef TAMSA_KERNELS_CHOICE_H
#define TAMSA_KERNELS_CHOICE_H

#include <cstdint>

// A lambda inside a vector kernel that is called from more than one place, inlined all the
// same: out of line, its vector arguments would travel through the stack.
#define TAMSA_LAMBDA_INLINE __attribute__((always_inline))

namespace tamsa::kernels {

// False while a test keeps every operation on its plain kernels.
bool fast_allowed();

// The vector target the kernels run on now: a single Highway target bit (such as HWY_AVX2),
// or 0 when only the plain kernels may run (built without vector kernels, or switched off by a
// test). A kernel written with intrinsics for one instruction set checks this before it is
// picked, so that a test that forces a lesser target gets the lesser kernel.
int64_t vector_target();

// True when vector kernels may run at all.
inline bool vector_allowed() {
    return vector_target() != 0;
}

// True when the kernels written with AVX-512 VBMI intrinsics may run: the build has them, the
// CPU and the OS run them, and the vector target is AVX3_DL, the Highway target with the same
// instructions (so that a test forcing a lesser target gets the lesser kernels).
bool avx512vbmi_allowed();

}  // namespace tamsa::kernels

#endif
