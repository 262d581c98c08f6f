// One client's side of the socket protocol, apart from the socket: what each request frame asks
// for, with the allocator work it needs done at once. The gateway feeds it the frames a
// connection sends; the fuzz target feeds it any bytes. Not installed.
#ifndef TAMSA_REMOTE_REQUESTS_H
#define TAMSA_REMOTE_REQUESTS_H

#include <cstddef>
#include <cstdint>

#include "remote/protocol.h"

namespace tamsa::remote {

inline constexpr size_t kRequestBytes = sizeof(request);

struct client_state {
    uint32_t owner = 0;  // the client's owner tag in the bus (never 0, which is this process)
    uint64_t limit = 0;  // its limit on live bytes, set when it greets
    bool greeted = false;
    bool may_stop = false;  // its stop messages go to the server; otherwise they are refused
    uint32_t account = 0;   // the client process, whose connections share its limit and pool
    uint64_t pool = 0;      // serial of the pool this connection was handed (0: none yet)
    int idle_ms = -1;       // a slot idle this long, its process holding nothing, is given back
};

enum class action : uint8_t {
    reply,            // write answer
    reply_with_pool,  // write answer with the pool's descriptor (fd) attached
    refuse,           // write answer, then end the connection
    send,             // send message id on block from the client, then answer with how it went
    nothing,          // no answer; go on reading
    hang_up,          // end the connection
};

struct decision {
    action what = action::hang_up;
    response answer{};
    int32_t id = 0;
    uint32_t block = 0;
    int fd = -1;  // the pool's, which the bus keeps open
};

// Decides one frame of kRequestBytes bytes as it came off the socket. Allocations and frees
// are made here, as client.owner's; a hello of this version sets its limit and joins it to its
// account; a pool request opens the account's pool (platform::set_pool_limit must have made
// slots). Allocations and messages wait for the connection to hold its process's pool.
decision decide(client_state &client, const uint8_t *frame);

// The answer to a send: how the message went and what the server answered.
response send_answer(int32_t status, uint32_t result, uint64_t blocks_left, bool over_limit);

}  // namespace tamsa::remote

#endif
