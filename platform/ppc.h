// The kernel stand-in: the one place the system touches the host. Ports and messages, the
// cache flush, calls into 68k libraries and the host side of a sender. Memory and the bus are
// declared in tamsa.h. Not installed.
#ifndef TAMSA_PLATFORM_PPC_H
#define TAMSA_PLATFORM_PPC_H

#include <stdint.h>

#include "tamsa/tamsa.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- tags ---- */
#define PPCPORTTAG_NAME 0x80024000u /* data: pointer to the port's name */
#define PPCMSGTAG_DATA 0x80025000u  /* the bus address of the message's block */
#define PPCMSGTAG_MSGID 0x80025002u /* the message id */
#define PPCTAG_END 0u

/* One item of a tag list; a list ends with the tag PPCTAG_END. */
typedef struct PPCTag {
    uint32_t tag;
    uintptr_t data;
} PPCTag;

typedef struct PPCPort PPCPort;
typedef struct PPCMessage PPCMessage;

/* A public port found by its name, or null (no name, or the name is taken). */
TAMSA_API PPCPort *PPCCreatePort(const PPCTag *tags);
/* Returns once a message may be waiting (a wake-up may find the queue empty). */
TAMSA_API int32_t PPCWaitPort(PPCPort *port);
/* The next queued message, or null when the queue is empty. */
TAMSA_API PPCMessage *PPCGetMessage(PPCPort *port);
/* PPCMSGTAG_MSGID: the id; PPCMSGTAG_DATA: the block's bus address; other tags: 0. */
TAMSA_API uint32_t PPCGetMessageAttr(PPCMessage *message, uint32_t tag);
/* Hands a taken message back to its sender. */
TAMSA_API int32_t PPCReplyMessage(PPCMessage *message);
/* Non-zero once the port is gone; queued messages go back to their senders as not served. */
TAMSA_API int16_t PPCDeletePort(PPCPort *port);
/* Every write so far is visible to the other side. */
TAMSA_API void PPCCacheFlushAll(void);

/* The call block of PPCCallOS, in the kernel's field order. */
typedef struct PPCCallBlock {
    int32_t offset;          /* negative offset of the function in the library's jump table */
    uint32_t m68k_cachemode; /* 68k-side cache mode */
    uint32_t m68k_start;     /* 68k-side memory area */
    uint32_t m68k_length;
    uint32_t ppc_cachemode; /* PowerPC-side cache mode */
    uint32_t ppc_start;     /* PowerPC-side memory area */
    uint32_t ppc_length;
    uint32_t d[8]; /* d0 to d7 */
    uint32_t a[7]; /* a0 to a6; a6 holds the library base */
} PPCCallBlock;

#define PPCCACHEMODE_FLUSH 1u

/* Runs one function of a 68k library and returns its d0 (0 for an unknown base or offset). */
TAMSA_API uint32_t PPCCallOS(PPCCallBlock *call);

/* Test hook: while set, every PPCCallOS call whose a6 is base goes to hook instead of the
 * library, and its answer is the call's d0. A null hook removes it; one hook at a time. */
typedef uint32_t (*tamsa_callos_hook)(const PPCCallBlock *call, void *context);
TAMSA_API void tamsa_set_callos_hook(uint32_t base, tamsa_callos_hook hook, void *context);

/* ---- 68k libraries ---- */

#define TAMSA_GRAPHICS_NAME "graphics.library"
#define TAMSA_FINDCOLOR_OFFSET (-1008)

/* The base of a 68k library of at least the given version, or 0 when it cannot be opened. */
TAMSA_API uint32_t tamsa_open_library(const char *name, int32_t version);
TAMSA_API void tamsa_close_library(uint32_t base);
/* Sets the version a stand-in library reports (tests use it to make opening fail). */
TAMSA_API void tamsa_library_set_version(const char *name, int32_t version);
/* The graphics.library base the start-up opened; opened on first use when there is none. */
TAMSA_API uint32_t tamsa_graphics_base(void);
TAMSA_API void tamsa_set_graphics_base(uint32_t base);

/* ---- the sender's side ---- */

typedef struct tamsa_port_ref tamsa_port_ref;

#define TAMSA_SEND_REPLIED 0    /* served and replied */
#define TAMSA_SEND_NOT_SERVED 1 /* the port went away before serving it */
#define TAMSA_SEND_TIMEOUT 2    /* not taken in time; withdrawn, the block was not touched */

/* A reference to the public port of that name, or null. */
TAMSA_API tamsa_port_ref *tamsa_port_find(const char *name);
TAMSA_API void tamsa_port_release(tamsa_port_ref *port);
/* Sends a message and waits for its reply. timeout_ms below 0 waits for ever; a message already
 * taken by the server is always waited for, so a timeout never leaves the block in use. */
TAMSA_API int32_t tamsa_port_send(tamsa_port_ref *port, int32_t id, uint32_t block,
                                  int32_t timeout_ms);
/* As tamsa_port_send, but the message goes to the head of the queue (a stop that must not wait
 * behind the others). */
TAMSA_API int32_t tamsa_port_send_first(tamsa_port_ref *port, int32_t id, uint32_t block,
                                        int32_t timeout_ms);
/* Wakes the port's waiter without a message. */
TAMSA_API void tamsa_port_wake(tamsa_port_ref *port);
/* Makes the next n PPCDeletePort calls refuse (tests). */
TAMSA_API void tamsa_port_refuse_deletes(uint32_t n);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace tamsa::platform {

// The bus's shared-memory object, for handing it to another process, and its mapping.
int bus_fd();
uint8_t *bus_base();

inline uint32_t load_be32(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

inline void store_be32(void *p, uint32_t v) {
    auto *b = static_cast<uint8_t *>(p);
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}

}  // namespace tamsa::platform
#endif

#endif
