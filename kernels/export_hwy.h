// Exports a vector kernel that foreach_target.h compiled once per target, as the getter a
// kernel set holds: TAMSA_HWY_EXPORT(kernel, getter) in the file's HWY_ONCE part, in the
// namespace of the kernel's HWY_NAMESPACE. The getter returns the kernel of the target chosen
// when it is called. Private to the library.
#ifndef TAMSA_KERNELS_EXPORT_HWY_H
#define TAMSA_KERNELS_EXPORT_HWY_H

#include <hwy/highway.h>

// The static_assert only takes the semicolon that follows the macro.
#define TAMSA_HWY_EXPORT(kernel, getter)              \
    HWY_EXPORT(kernel);                               \
    decltype(&HWY_STATIC_DISPATCH(kernel)) getter() { \
        return &HWY_DYNAMIC_DISPATCH(kernel);         \
    }                                                 \
    static_assert(true)

#endif
