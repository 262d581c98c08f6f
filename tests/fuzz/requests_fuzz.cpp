// Any bytes as what one connection sends the gateway: cut into request frames as the socket
// delivers them, the last one cut short when the input ends mid-frame, as a client that dies
// mid-write leaves it. Each frame is decided as the gateway decides it, and a message is served
// at once as the server would serve it. Throughout, the client stays within its limit and owns
// whatever it was handed; another client's blocks never change; and once the connection ends
// and its blocks are freed, nothing is left allocated.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "check.h"
#include "platform/bus.h"
#include "platform/heap.h"
#include "remote/requests.h"
#include "server/server.h"

namespace {

namespace platform = tamsa::platform;
namespace remote = tamsa::remote;

constexpr uint32_t kClient = 1, kOther = 2;
constexpr uint64_t kLimit = uint64_t(1) << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool slots = platform::set_pool_limit(kLimit) > 0;
    CHECK(slots);
    uint64_t blocks_before = 0, bytes_before = 0;
    tamsa_alloc_stats(&blocks_before, &bytes_before);
    // Another client's block, with words a frame might guess.
    constexpr uint32_t kOtherBytes = 256;
    auto *theirs = static_cast<uint8_t *>(platform::allocate(kOtherBytes, 0, kOther));
    CHECK(theirs != nullptr);
    for (uint32_t i = 0; i < kOtherBytes; ++i) theirs[i] = uint8_t(i * 7 + 1);
    const std::vector<uint8_t> their_bytes(theirs, theirs + kOtherBytes);

    remote::client_state client{kClient, kLimit, false};
    uint32_t result = 0;
    for (size_t at = 0; at + remote::kRequestBytes <= size; at += remote::kRequestBytes) {
        const remote::decision d = remote::decide(client, data + at);
        if (d.what == remote::action::hang_up || d.what == remote::action::refuse) break;
        if (d.what == remote::action::reply_with_pool) CHECK(client.greeted);
        remote::request r;
        std::memcpy(&r, data + at, sizeof r);
        if (d.what == remote::action::reply && r.kind == uint32_t(remote::request_kind::alloc) &&
            d.answer.status == 0) {
            const auto found = platform::find_block(d.answer.value);
            CHECK(found.has_value() && found->owner == kClient);
        }
        if (d.what == remote::action::send) {
            CHECK(d.id != 0 && d.id != 1);  // stopping is not this client's
            const auto served = tamsa::server::serve_as(kClient, d.id, d.block, result);
            for (const platform::block_info &left : served.answer.left) {
                CHECK(left.owner == kClient);
            }
        }
        CHECK(platform::usage_of(kClient).bytes <= kLimit);
    }
    CHECK(std::memcmp(theirs, their_bytes.data(), kOtherBytes) == 0);
    // The connection ends.
    platform::free_owner(kClient);
    CHECK(platform::open_pools() == 0);
    PPCFreeVec(theirs);
    uint64_t blocks_after = 0, bytes_after = 0;
    tamsa_alloc_stats(&blocks_after, &bytes_after);
    CHECK(blocks_after == blocks_before && bytes_after == bytes_before);
    return 0;
}
