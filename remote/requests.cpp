#include "remote/requests.h"

#include <cstring>

#include "platform/bus.h"
#include "platform/heap.h"
#include "server/server.h"
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
        if (r.a != kVersion) {
            // Before anything is made for it: the client hears which version this server speaks.
            d.what = action::refuse;
            d.answer.status = TAMSA_REFUSED;
            d.answer.value = kVersion;
            d.answer.extra = uint64_t(refusal::version);
            return d;
        }
        if (!platform::set_owner_limit(client.owner, client.limit)) return d;
        if (!platform::join_account(client.owner, client.account, client.limit)) {
            platform::free_owner(client.owner);
            return d;
        }
        client.greeted = true;
        d.what = action::reply;
        d.answer.value = kVersion;
        return d;
    }
    platform::touch_account(client.owner);
    if ((kind == request_kind::alloc || kind == request_kind::send) &&
        (client.pool == 0 || platform::pool_serial(client.owner) != client.pool)) {
        d.what = action::reply;
        d.answer.status = kNeedPool;
        return d;
    }
    switch (kind) {
        case request_kind::alloc: {
            d.what = action::reply;
            // Cleared by pages: the event loop does not write hundreds of megabytes of zeros.
            const uint32_t address = tamsa_bus_address(platform::allocate(
                r.a, (r.b & TAMSA_MEMF_CLEAR) != 0 ? TAMSA_MEMF_CLEAR | platform::kClearByPages : 0,
                client.owner));
            if (address != 0) {
                d.answer.value = address;
            } else if (platform::over_limit(client.owner, r.a)) {
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
            if (server::stops_server(r.id) && !client.may_stop) {
                // Stopping is the operator's: the server goes on for everyone else.
                d.what = action::reply;
                d.answer.status = TAMSA_REFUSED;
                return d;
            }
            d.what = action::send;
            d.id = r.id;
            d.block = r.b;
            return d;
        case request_kind::pool: {
            bool full = false;
            const std::optional<platform::pool_view> pool =
                platform::open_pool(client.owner, &full, client.idle_ms);
            if (!pool) {
                if (!full) return d;
                // Every slot is another process's: the client hears why, and may ask again.
                d.what = action::reply;
                d.answer.status = TAMSA_OVER_LIMIT;
                return d;
            }
            client.pool = pool->serial;
            d.what = action::reply_with_pool;
            d.answer.extra = uint64_t(pool->address) << 32 | pool->size;
            d.fd = pool->fd;
            return d;
        }
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
