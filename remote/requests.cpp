#include "remote/requests.h"

#include <cstring>

#include "platform/bus.h"
#include "platform/heap.h"
#include "tamsa/client.h"

namespace tamsa::remote {

decision decide(client_state &client, const uint8_t *frame) {
    request r;
    std::memcpy(&r, frame, sizeof r);
    decision d;
    if (r.magic != kMagic) return d;  // not one of ours
    const auto kind = request_kind(r.kind);
    if (!client.greeted) {
        if (kind != request_kind::hello) return d;
        if (!platform::set_owner_limit(client.owner, client.limit)) return d;
        client.greeted = true;
        d.what = action::reply_with_bus;
        d.answer.value = kVersion;
        d.answer.extra = platform::shared_bytes();
        return d;
    }
    switch (kind) {
        case request_kind::alloc: {
            d.what = action::reply;
            const uint32_t address =
                tamsa_bus_address(platform::allocate(r.a, r.b & TAMSA_MEMF_CLEAR, client.owner));
            if (address != 0) {
                d.answer.value = address;
            } else if (platform::usage_of(client.owner).bytes + r.a > client.limit) {
                d.answer.status = TAMSA_OVER_LIMIT;
            } else {
                d.answer.status = 1;
            }
            return d;
        }
        case request_kind::free:
            d.what = action::reply;
            d.answer.status = platform::free_block(r.a, client.owner) ? 0 : 1;
            return d;
        case request_kind::release:
            platform::free_block(r.a, client.owner);
            d.what = action::nothing;
            return d;
        case request_kind::send:
            d.what = action::send;
            d.id = r.id;
            d.block = r.b;
            d.timeout_ms = r.c;
            return d;
        case request_kind::hello:  // once only
        default:
            return d;
    }
}

response send_answer(int32_t status, uint32_t result, uint64_t blocks_left, bool over_limit) {
    response answer{};
    answer.status = status == TAMSA_REPLIED && over_limit ? TAMSA_OVER_LIMIT : status;
    if (status == TAMSA_REPLIED) {
        answer.value = result;
        answer.extra = blocks_left;
    }
    return answer;
}

}  // namespace tamsa::remote
