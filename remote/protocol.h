// The protocol between a client process and a `tamsa serve` process: a Unix-domain socket named
// after the port in the user's runtime directory, carrying fixed-size frames. The client
// process's pool, its own slot of the bus, is handed over once as a file descriptor and then
// shared with the server alone. Not installed.
#ifndef TAMSA_REMOTE_PROTOCOL_H
#define TAMSA_REMOTE_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tamsa::remote {

inline constexpr uint32_t kMagic = 0x544d5341;  // "TMSA"
inline constexpr uint32_t kVersion = 5;

// The most connections one client process may hold to a server at once.
inline constexpr uint32_t kConnectionsPerProcess = 64;

// A connection's first request is a hello; anything else first, a second hello, a frame without
// the magic or a kind not listed here ends the connection. Every request but release is
// answered, and the next one is read only once the answer is out.
enum class request_kind : uint32_t {
    hello = 1,    // a: the client's version; answer: status 0 and value the server's version; or
                  // status TAMSA_REFUSED, value the server's version and extra a refusal, and the
                  // connection ends
    alloc = 2,    // a: size, b: attributes; answer: the block's address in the pool, or status 1
                  // (no room) or TAMSA_OVER_LIMIT, or kNeedPool
    free = 3,     // a: address; status 0 when it was the client's and is gone
    send = 4,     // id: the message id, b: block, c: unused; status: a TAMSA_ status, or kNeedPool;
                  // value: the result word; extra: how many blocks the operation left live for
                  // the client. A stop id is answered TAMSA_REFUSED unless the operator allowed it
    release = 5,  // as free, without an answer
    pool = 6,     // answer: in extra the bus address of the client process's pool (high word)
                  // and its bytes (low word), the pool's descriptor riding along; or
                  // TAMSA_OVER_LIMIT when every slot is another process's. The process takes a
                  // slot with its first pool request, not before
};

// Why a hello was refused (extra of its answer).
enum class refusal : uint64_t {
    version = 1,      // the client speaks another version
    connections = 2,  // its process holds kConnectionsPerProcess connections already
};

// The answer to an allocation or a message of a connection that does not hold its process's
// pool now (it never asked, or the pool was given back while idle): ask for it, then again.
inline constexpr int32_t kNeedPool = 100;

struct request {
    uint32_t magic;
    uint32_t kind;
    uint32_t a;
    uint32_t b;
    int32_t c;
    int32_t id;  // a send's message id, as the client's caller gave it; 0 otherwise
};

struct response {
    int32_t status;
    uint32_t value;
    uint64_t extra;
};

static_assert(sizeof(request) == 24 && sizeof(response) == 16);

// Port names are short and plain, as they become file names.
bool valid_port_name(const char *name);
// The directory of the sockets: $XDG_RUNTIME_DIR/tamsa, or /tmp/tamsa-<uid>.
std::string socket_dir();
// The socket of a port, or "" when the name is not valid or the path would be too long.
std::string socket_path(const char *port_name);
// Why a port has no socket path, for a message ("" when it has one).
std::string socket_path_problem(const char *port_name);

// True when the process at the other end of a connected socket runs as this user.
bool same_user(int socket);

// Whole-frame transfers that retry after interruptions; false on end of stream or error.
bool read_full(int fd, void *buffer, size_t length);
bool write_full(int fd, const void *buffer, size_t length);
// A frame with a descriptor attached, and its counterpart (descriptor -1 when none came).
bool send_with_fd(int socket, const void *buffer, size_t length, int fd);
bool receive_with_fd(int socket, void *buffer, size_t length, int *fd);

}  // namespace tamsa::remote

#endif
