// Test hooks: switches that let the tests reach failure paths and prove the fast kernels against
// the plain ones. The library reads them; only tests and benchmarks set them. Not installed.
#ifndef TAMSA_INTERNAL_TESTING_H
#define TAMSA_INTERNAL_TESTING_H

#include <stdint.h>

#include "platform/ppc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the n-th PPCAllocVec from now fail (1: the next one); 0 turns it off. Returns how many
 * allocations the previous setting still had to go (0 when it has fired or was off). */
uint32_t tamsa_alloc_fail_nth(uint32_t n);

/* While set, every PPCCallOS call whose a6 is base goes to hook instead of the library, and its
 * answer is the call's d0. A null hook removes it; one hook at a time. */
typedef uint32_t (*tamsa_callos_hook)(const PPCCallBlock *call, void *context);
void tamsa_set_callos_hook(uint32_t base, tamsa_callos_hook hook, void *context);

/* Sets the version a stand-in library reports (to make opening it fail). */
void tamsa_library_set_version(const char *name, int32_t version);

/* Makes the next n PPCDeletePort calls refuse. */
void tamsa_port_refuse_deletes(uint32_t n);

#ifdef __cplusplus
}

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

}  // namespace tamsa
#endif

#endif
