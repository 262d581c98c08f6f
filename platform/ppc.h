// The kernel stand-in: ports and messages, the cache flush, calls into 68k libraries and the
// host side of a sender. The allocator and the bus are declared in tamsa.h, their internals in
// platform/bus.h; the stand-in's test hooks in platform/test_hooks.h. Not installed.
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
PPCPort *PPCCreatePort(const PPCTag *tags);
/* Returns once a message may be waiting (a wake-up may find the queue empty). */
int32_t PPCWaitPort(PPCPort *port);
/* The next queued message, or null when the queue is empty. */
PPCMessage *PPCGetMessage(PPCPort *port);
/* PPCMSGTAG_MSGID: the id; PPCMSGTAG_DATA: the block's bus address; other tags: 0. */
uint32_t PPCGetMessageAttr(PPCMessage *message, uint32_t tag);
/* Hands a taken message back to its sender. */
int32_t PPCReplyMessage(PPCMessage *message);
/* Non-zero once the port is gone; queued messages go back to their senders as not served. */
int16_t PPCDeletePort(PPCPort *port);
/* Every write so far is visible to the other side. */
void PPCCacheFlushAll(void);

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
uint32_t PPCCallOS(PPCCallBlock *call);

/* ---- 68k libraries ---- */

#define TAMSA_GRAPHICS_NAME "graphics.library"
#define TAMSA_FINDCOLOR_OFFSET (-1008)

/* The base of a 68k library of at least the given version, or 0 when it cannot be opened. */
uint32_t tamsa_open_library(const char *name, int32_t version);
void tamsa_close_library(uint32_t base);
/* The graphics.library base the start-up opened; opened on first use when there is none. */
uint32_t tamsa_graphics_base(void);
void tamsa_set_graphics_base(uint32_t base);

/* ---- the sender's side ---- */

typedef struct tamsa_port_ref tamsa_port_ref;

#define TAMSA_SEND_REPLIED 0    /* served and replied */
#define TAMSA_SEND_NOT_SERVED 1 /* the port went away before serving it */
#define TAMSA_SEND_TIMEOUT 2    /* not taken in time; withdrawn, the block was not touched */

/* A reference to the public port of that name, or null. */
tamsa_port_ref *tamsa_port_find(const char *name);
void tamsa_port_release(tamsa_port_ref *port);
/* Sends a message and waits for its reply. timeout_ms below 0 waits for ever; a message already
 * taken by the server is always waited for, so a timeout never leaves the block in use. */
int32_t tamsa_port_send(tamsa_port_ref *port, int32_t id, uint32_t block, int32_t timeout_ms);
/* As tamsa_port_send, but the message goes to the head of the queue (a stop that must not wait
 * behind the others). */
int32_t tamsa_port_send_first(tamsa_port_ref *port, int32_t id, uint32_t block, int32_t timeout_ms);
/* Wakes the port's waiter without a message. */
void tamsa_port_wake(tamsa_port_ref *port);

#ifdef __cplusplus
}
#endif

#endif
