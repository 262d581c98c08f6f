// The switch between fast and plain row kernels, for tests.
#include <atomic>

#include "tamsa/internal/testing.h"

namespace tamsa {
namespace {
std::atomic<bool> plain{false};
}

void use_plain_kernels(bool on) {
    plain.store(on, std::memory_order_relaxed);
}
bool plain_kernels() {
    return plain.load(std::memory_order_relaxed);
}

}  // namespace tamsa
