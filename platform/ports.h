// Messages as a server for other processes needs them: each carries its sender's owner tag, and
// the answer the server gives travels back with the message, beside the bus, so that a sender
// never has to trust what the bus says afterwards. Senders may also queue a message and be
// told when it is done instead of waiting for it. Not installed.
#ifndef TAMSA_PLATFORM_PORTS_H
#define TAMSA_PLATFORM_PORTS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/heap.h"
#include "platform/ppc.h"

namespace tamsa::platform {

// What the server answered a message, kept by the port with the message.
struct message_answer {
    uint32_t result = 0;  // the result word, as written into word 0 of the block
    // The blocks the operation allocated and left live (all of them the sender's).
    std::vector<block_info> left;
    // An allocation of the operation was refused by the sender's limit on live bytes.
    bool over_limit = false;
};

// ---- the server's side ----

// The owner tag of a taken message's sender (kThisProcess for senders in this process).
uint32_t message_owner(PPCMessage *message);
// A taken message's id, as its sender gave it (0 for no message).
int32_t message_id(PPCMessage *message);
// Stores the answer with a taken message, before PPCReplyMessage hands it back.
void set_message_answer(PPCMessage *message, message_answer answer);

// ---- the sender's side ----

using message_handle = std::shared_ptr<PPCMessage>;
// Told how a posted message went: TAMSA_SEND_REPLIED with the server's answer, or
// TAMSA_SEND_NOT_SERVED with an empty one.
using message_done = std::function<void(int32_t status, const message_answer &answer)>;

// Queues a message from owner and returns at once. finished runs once when the message is
// replied or returned unserved, on the thread that did so; it must be short and must not call
// into the port. Null when the port has gone or memory ran out: then nothing was queued and
// finished never runs.
message_handle post_message(tamsa_port_ref *port, int32_t id, uint32_t block, uint32_t owner,
                            message_done finished);
// Takes back a message the server has not taken yet: true, and it will never be served nor
// finished runs. False once the server holds it or is done with it.
bool withdraw_message(const message_handle &message);
// TAMSA_SEND_REPLIED or TAMSA_SEND_NOT_SERVED once the message is done, -1 before.
int32_t message_status(const message_handle &message);
// The answer of a replied message (empty for one returned unserved).
const message_answer &answer_of(const message_handle &message);

// As tamsa_port_send, from owner; the answer of a replied message goes to answer when not null.
int32_t send_message(tamsa_port_ref *port, int32_t id, uint32_t block, uint32_t owner,
                     int32_t timeout_ms, message_answer *answer);

}  // namespace tamsa::platform

#endif
