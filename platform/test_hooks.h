// The stand-in's test hooks: switches that let the tests reach the failure paths of the
// allocator, the ports and the calls into 68k libraries. The platform reads them; only tests set
// them. Not installed.
#ifndef TAMSA_PLATFORM_TEST_HOOKS_H
#define TAMSA_PLATFORM_TEST_HOOKS_H

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
#endif

#endif
