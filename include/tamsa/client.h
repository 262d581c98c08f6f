/* Tamsa client: the recorder's side of the port.
 *
 * A client talks to a server either in this process or in a `tamsa serve` process of the same
 * user, through the same calls: allocate blocks in the bus, fill an op_block, send a message
 * and wait for its reply and its result word, free what the server handed back. Addresses are
 * 32-bit bus addresses; words in the bus are big-endian.
 *
 * Conventions of this header: the message calls answer a TAMSA_ status, where 0
 * (TAMSA_REPLIED) is success; the other calls answer 1 for success and 0 for failure, or an
 * address, pointer or handle that is 0 / null on failure. Nothing here throws.
 *
 * Ownership: a handle from tamsa_server_start is given back with tamsa_server_stop, one from
 * tamsa_client_local or tamsa_client_connect with tamsa_client_close. Blocks from
 * tamsa_client_alloc, and bitmaps the server hands back, belong to the client until it frees
 * them (tamsa_client_free, tamsa_client_free_bitmap); a remote client's server frees whatever
 * it still holds when it closes or goes away.
 */
#ifndef TAMSA_CLIENT_H
#define TAMSA_CLIENT_H

#include <stdint.h>

#include "tamsa/tamsa.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status of a message. */
#define TAMSA_REPLIED 0    /* served and replied; word 0 holds the answer */
#define TAMSA_NOT_SERVED 1 /* the server stopped before serving it; the block was not touched */
#define TAMSA_TIMEOUT 2    /* not taken in time and withdrawn; the block was not touched */
#define TAMSA_FAILED 3     /* no connection, or no memory for the message */
/* Served and replied (word 0 holds the answer, 0 for a bitmap not made), but an allocation of
 * the operation was refused: it would have taken this client's process past its server's limit
 * on live bytes (`tamsa serve --client-limit`), or all clients past theirs (`--total-limit`).
 * Freeing blocks makes room again. */
#define TAMSA_OVER_LIMIT 4
/* Not run: a stop (id 0 or 1) from a client of a `tamsa serve` process whose operator did not
 * allow clients to stop it (`tamsa serve --allow-remote-stop`). The block was not touched and
 * the server goes on. */
#define TAMSA_REFUSED 5

/* The port the server makes when no other name is given. */
#define TAMSA_PORT_NAME "TAMSAPPC"

/* Message ids. An op_block is a run of big-endian words in the bus: word 0 receives the answer,
 * words 1 to 7 hold the arguments. Planes, buffers and records are bus addresses; pixels come
 * out blue, green, red; "unchanged" leaves the result as the previous message left it: for a
 * client in the server's process, its previous message; for a client of `tamsa serve`, the
 * value word 0 of its own block held when sent (0 when the block is not its own).
 *
 *  id  name                 argument words                                  word 0 after
 *   0  OP_QUIT              none; the server stops after replying (from a   123
 *                           client of `tamsa serve`, only when allowed;
 *                           otherwise refused: TAMSA_REFUSED)
 *   1  OP_QUIT_ALT          as 0                                            123
 *   2  OP_YUVTORGB          1 luma, 2 V, 3 U planes, 4 output (3 bytes a    unchanged
 *                           pixel), 5 pixel count, 6 pixels a chroma
 *                           sample (count rounded up to whole groups)
 *   3  OP_SCALE             1 record (1 byte a pixel), 2 width, 3 height    new record or 0
 *   4  OP_REMAP24           1 address of a word holding the source pixels   0
 *                           (a record serves), 2 target (1 byte a pixel),
 *                           3 pen table (216 bytes) or 0 for colour-cube
 *                           indexes, 4 source byte count
 *   5  OP_CORRECT           1 record, 2 contrast in percent, 3 brightness   unchanged
 *                           + 256, 4 invert flag (low 16 bits)
 *   6  OP_REMAP8            1 bytes, 2 256-byte table, 3 byte count         unchanged
 *   7  OP_FADEOVER          1 first, 2 second, 3 target buffers, 4 level    unchanged
 *                           0..255 (weight of second), 5-7 three factors
 *                           whose product is the byte count
 *   8  OP_DEINTERLACE       1 record (3 bytes a pixel): even rows doubled   unchanged
 *   9  OP_SCALECOPYBITMAP   1 record, 2 width, 3 height                     new record or 0
 *  10  OP_YUVSCALE          1 luma, 2 V, 3 U planes (a chroma sample per    new record or 0
 *                           4 pixels of a row), 4 width, 5 height, 6 new
 *                           width, 7 new height
 * The ids run from 0 to TAMSA_OP_COUNT - 1 (TAMSA_OP_COUNT is one past the last); other ids
 * run nothing and leave word 0 unchanged. A record the server makes (ids 3, 9, 10) belongs to
 * the sender: read it with tamsa_client_read_bitmap, free it with tamsa_client_free_bitmap. */
#define TAMSA_OP_QUIT 0
#define TAMSA_OP_QUIT_ALT 1
#define TAMSA_OP_YUVTORGB 2
#define TAMSA_OP_SCALE 3
#define TAMSA_OP_REMAP24 4
#define TAMSA_OP_CORRECT 5
#define TAMSA_OP_REMAP8 6
#define TAMSA_OP_FADEOVER 7
#define TAMSA_OP_DEINTERLACE 8
#define TAMSA_OP_SCALECOPYBITMAP 9
#define TAMSA_OP_YUVSCALE 10
#define TAMSA_OP_COUNT 11 /* one past the last id */

/* The same ids as a list to expand: X(name, words, answer) for each id, in the order of the ids,
 * where TAMSA_##name is the id, words the number of argument words it reads, and answer what
 * word 0 holds after it: stop (123, and the server stops), unchanged, zero (0 once the operation
 * ran) or returned (what the operation made: a new record, or 0). For example
 *     #define NAME(name, words, answer) #name,
 *     static const char *const names[TAMSA_OP_COUNT] = {TAMSA_MESSAGES(NAME)};
 * The server's own table is made from it. */
#define TAMSA_MESSAGES(X)              \
    X(OP_QUIT, 0, stop)                \
    X(OP_QUIT_ALT, 0, stop)            \
    X(OP_YUVTORGB, 6, unchanged)       \
    X(OP_SCALE, 3, returned)           \
    X(OP_REMAP24, 4, zero)             \
    X(OP_CORRECT, 4, unchanged)        \
    X(OP_REMAP8, 3, unchanged)         \
    X(OP_FADEOVER, 7, unchanged)       \
    X(OP_DEINTERLACE, 1, unchanged)    \
    X(OP_SCALECOPYBITMAP, 3, returned) \
    X(OP_YUVSCALE, 7, returned)

/* ---- a server in this process ---- */

typedef struct tamsa_server tamsa_server;

/* Starts the server task on a thread, serving the port of that name (null: "TAMSAPPC"). Returns
 * once the port is up, or null when the server could not start (the name is taken, or its
 * graphics library could not be opened). */
TAMSA_API tamsa_server *tamsa_server_start(const char *port_name);
/* Stops a started server (unless a stop message already did) and waits for it to end. */
TAMSA_API void tamsa_server_stop(tamsa_server *server);

/* ---- clients ---- */

typedef struct tamsa_client tamsa_client;

/* A client of the server in this process, or null when no port of that name exists. Close it
 * with tamsa_client_close. */
TAMSA_API tamsa_client *tamsa_client_local(const char *port_name);
/* A client of a `tamsa serve` process of this user, or null when none serves that port; errno
 * is then ENAMETOOLONG when the port's socket path would be too long for a socket (a long
 * XDG_RUNTIME_DIR), EINVAL for a bad port name, EPROTO when the server speaks another protocol
 * version, EMFILE when this process holds as many connections to it as it allows (see
 * `tamsa serve --help`), ECONNREFUSED when it refused for another reason;
 * tamsa_client_connect_error then says why in words. Each client process gets a pool of its
 * own, memory that only it and the server map, with its first allocation or message: its
 * blocks, and the bitmaps the server makes for it, live there; the connections of one process
 * share it. When every pool of the server is another process's, that allocation fails (0, or
 * TAMSA_FAILED for a message) with errno EUSERS. */
TAMSA_API tamsa_client *tamsa_client_connect(const char *port_name);
/* Why the last tamsa_client_connect on this thread returned null, as one line for a person
 * ("" when it did not fail, or failed before reaching a server). */
TAMSA_API const char *tamsa_client_connect_error(void);
/* Closes the connection; blocks still held by a remote client are freed by its server. */
TAMSA_API void tamsa_client_close(tamsa_client *client);

/* A block in the bus, or 0 (no room, or for a remote client, its server's limit on live bytes
 * reached); free it with tamsa_client_free. attributes: TAMSA_MEMF_ANY or TAMSA_MEMF_CLEAR. */
TAMSA_API uint32_t tamsa_client_alloc(tamsa_client *client, uint32_t size, uint32_t attributes);
/* Frees a block this client allocated or was handed; other addresses are ignored. */
TAMSA_API void tamsa_client_free(tamsa_client *client, uint32_t address);
/* Frees a bitmap the server handed back (its pixels, then its record). */
TAMSA_API void tamsa_client_free_bitmap(tamsa_client *client, uint32_t record);

/* This process's pointer to [address, address + length) of the bus, or null when the range
 * does not lie in it; for a client of `tamsa serve`, null unless it lies in the client's own
 * pool (another process's blocks are never mapped here). The pointer stays valid until the
 * client is closed; what it points at is the block's as long as the block is live. */
TAMSA_API void *tamsa_client_pointer(tamsa_client *client, uint32_t address, uint32_t length);
/* Big-endian words in the bus (a load outside it gives 0; a store outside it does nothing). */
TAMSA_API uint32_t tamsa_client_load32(tamsa_client *client, uint32_t address);
TAMSA_API void tamsa_client_store32(tamsa_client *client, uint32_t address, uint32_t value);

/* A bitmap record as it lies in the bus: four big-endian words, the first the bus address of the
 * pixels. */
typedef struct tamsa_wire_bitmap {
    uint32_t data; /* bus address of the pixel buffer */
    int32_t width;
    int32_t height;
    int32_t bytesperpixel;
} tamsa_wire_bitmap;

/* Reads the record at a bus address (such as one the server answered); 1, or 0 when the
 * record does not lie in the bus. */
TAMSA_API int32_t tamsa_client_read_bitmap(tamsa_client *client, uint32_t record,
                                           tamsa_wire_bitmap *bitmap);
/* Writes a record at a bus address (a block of at least 16 bytes); 1, or 0 when it does not
 * lie in the bus. */
TAMSA_API int32_t tamsa_client_write_bitmap(tamsa_client *client, uint32_t record,
                                            const tamsa_wire_bitmap *bitmap);

/* Sends a message (id, block) and waits for its reply. timeout_ms below 0 waits for ever; a
 * message the server has taken is always waited for (a `tamsa serve` process takes a client's
 * message as soon as it reads it, so there it never times out). Returns a TAMSA_ status. */
TAMSA_API int32_t tamsa_client_send(tamsa_client *client, int32_t id, uint32_t block,
                                    int32_t timeout_ms);
/* As tamsa_client_send, and stores the message's result word in *result (when not null): the
 * value the server wrote into word 0, as the reply itself carries it, so that nothing written
 * into the block afterwards can change the answer. 0 when the message was not replied (any
 * status but TAMSA_REPLIED and TAMSA_OVER_LIMIT). Returns a TAMSA_ status. */
TAMSA_API int32_t tamsa_client_send_result(tamsa_client *client, int32_t id, uint32_t block,
                                           int32_t timeout_ms, uint32_t *result);
/* Fills a fresh op_block with count argument words (at most 7), sends it, stores the result
 * word of the reply in *result (when not null; as tamsa_client_send_result) and frees the
 * block. Returns a TAMSA_ status. */
TAMSA_API int32_t tamsa_client_call(tamsa_client *client, int32_t id, const uint32_t *args,
                                    uint32_t count, int32_t timeout_ms, uint32_t *result);

#ifdef __cplusplus
}
#endif

#endif /* TAMSA_CLIENT_H */
