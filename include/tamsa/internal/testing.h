// Test hooks of the operations: switches that let the tests and benchmarks prove the fast kernels
// against the plain ones. The library reads them; only tests and benchmarks set them. The
// stand-in's own hooks are in platform/test_hooks.h. Not installed.
#ifndef TAMSA_INTERNAL_TESTING_H
#define TAMSA_INTERNAL_TESTING_H

#include <stdint.h>

#ifdef __cplusplus
#include <vector>

namespace tamsa {

// Where an operation has a fast kernel beside its plain one, the plain one alone runs while
// this is set. Operations read the switch once per call.
void use_plain_kernels(bool plain);
bool plain_kernels();

// The vector targets this build has kernels for and this CPU runs, best first, each a single
// Highway target bit; empty when the library was built without vector kernels.
std::vector<int64_t> vector_targets();
// Makes the kernels of one of those targets run, as if the CPU had nothing better (0: the best
// the CPU has again). Not for use while other threads run operations.
void force_vector_target(int64_t target);
// A target's name, for test messages.
const char *vector_target_name(int64_t target);

// The least work a band of a big picture takes (0: the library's own threshold), so that tests
// split small pictures; and how many calls have been split into bands so far.
void set_band_threshold(int64_t work);
uint64_t banded_calls();
// The number of threads TAMSA_THREADS holding text asks for, or 0 when it holds no such number.
int32_t threads_named(const char *text);

}  // namespace tamsa
#endif

#endif
