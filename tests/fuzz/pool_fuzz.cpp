// Any bytes as what a client process sends the gateway, beside a second client process whose
// pool holds a frame, an op_block and a bitmap the server made for it. Frames are cut and decided
// as the gateway does; words whose top nibble is 0xB name the other process's blocks and 0xA this
// client's latest ones (the low bits pick the block and an offset into it), so that the fuzzer
// meets both pools without guessing addresses. A frame of kind 0x50 is the client writing word c
// at address a of its own pool, as it may through its mapping. Throughout, every block the client
// is handed lies in its own pool; the other process's bytes never change; and once the client
// has gone its pool is closed and nothing of it is left. Beside it, on a thread of its own, the
// other process keeps converting, as the gateway serves processes in parallel.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "check.h"
#include "platform/bus.h"
#include "platform/heap.h"
#include "remote/requests.h"
#include "server/server.h"
#include "tamsa/client.h"

namespace {

namespace platform = tamsa::platform;
namespace remote = tamsa::remote;

constexpr uint32_t kClient = 1, kOther = 2;
constexpr uint64_t kLimit = uint64_t(1) << 20;
constexpr uint32_t kStore = 0x50;

remote::decision decide(remote::client_state &c, uint32_t kind, uint32_t a, uint32_t b = 0) {
    const remote::request r{remote::kMagic, kind, a, b, 0, 0};
    uint8_t bytes[sizeof r];
    std::memcpy(bytes, &r, sizeof r);
    return remote::decide(c, bytes);
}

uint32_t translate(uint32_t word, const std::vector<uint32_t> &mine,
                   const std::vector<uint32_t> &theirs) {
    const uint32_t nibble = word >> 28;
    const std::vector<uint32_t> *named = nibble == 0xB ? &theirs : nibble == 0xA ? &mine : nullptr;
    if (named == nullptr || named->empty()) return word;
    const uint32_t pick = (word >> 20) & 0xff;
    return (*named)[named->size() - 1 - pick % named->size()] + (word & 0xfff);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool slots = platform::set_pool_limit(kLimit) > 0;
    CHECK(slots);
    uint64_t blocks_before = 0, bytes_before = 0;
    tamsa_alloc_stats(&blocks_before, &bytes_before);

    // The other process: a 32 x 32 frame's planes, an op_block, and the 16 x 16 bitmap made of it.
    remote::client_state other{kOther, kLimit, false, false, 702};
    CHECK(decide(other, 1, remote::kVersion).what == remote::action::reply);
    CHECK(decide(other, 6, 0).what == remote::action::reply_with_pool);
    const uint32_t planes = decide(other, 2, 4096).answer.value;
    const uint32_t block = decide(other, 2, 32, TAMSA_MEMF_CLEAR).answer.value;
    const uint32_t busy_block = decide(other, 2, 32, TAMSA_MEMF_CLEAR).answer.value;
    CHECK(planes != 0 && block != 0 && busy_block != 0);
    auto *plane_bytes = static_cast<uint8_t *>(tamsa_bus_pointer(planes));
    for (uint32_t i = 0; i < 4096; ++i) plane_bytes[i] = uint8_t(i * 7 + 1);
    const uint32_t words[7] = {planes, planes + 1024, planes + 1280, 32, 32, 16, 16};
    for (uint32_t k = 0; k < 7; ++k)
        platform::store_be32(tamsa_bus_pointer(block + 4 * (k + 1)), words[k]);
    uint32_t record = 0;
    tamsa::server::serve_as(kOther, TAMSA_OP_YUVSCALE, block, record);
    CHECK(record != 0);
    const uint32_t pixels = platform::load_be32(tamsa_bus_pointer(record));
    const std::vector<uint32_t> theirs{planes, block, record, pixels};
    const auto their_bytes = [&] {
        std::vector<uint8_t> all(plane_bytes, plane_bytes + 4096);
        for (const auto &[at, n] : {std::pair{block, 32u}, {record, 16u}, {pixels, 16u * 16 * 3}}) {
            const auto *p = static_cast<const uint8_t *>(tamsa_bus_pointer(at));
            all.insert(all.end(), p, p + n);
        }
        return all;
    };
    const std::vector<uint8_t> before = their_bytes();

    // Meanwhile the other process's thread keeps converting its frame, as the gateway serves
    // processes in parallel: its bitmaps come and go in its own pool while the client works.
    for (uint32_t k = 0; k < 7; ++k)
        platform::store_be32(tamsa_bus_pointer(busy_block + 4 * (k + 1)), words[k]);
    std::atomic<bool> done{false};
    std::thread busy([&] {
        while (!done.load(std::memory_order_relaxed)) {
            uint32_t made = 0;
            tamsa::server::serve_as(kOther, TAMSA_OP_YUVSCALE, busy_block, made);
            if (made == 0) continue;
            CHECK(platform::client_maps(kOther, made));
            const uint32_t data = platform::load_be32(tamsa_bus_pointer(made));
            CHECK(platform::free_block(data, kOther) && platform::free_block(made, kOther));
        }
    });

    remote::client_state client{kClient, kLimit, false, false, 701};
    std::vector<uint32_t> mine;
    uint32_t result = 0;
    for (size_t at = 0; at + remote::kRequestBytes <= size; at += remote::kRequestBytes) {
        remote::request r;
        std::memcpy(&r, data + at, sizeof r);
        r.a = translate(r.a, mine, theirs);
        r.b = translate(r.b, mine, theirs);
        if (r.kind == kStore) {
            // The client's own mapping reaches its pool alone.
            if (client.greeted && platform::client_maps(kClient, r.a) &&
                platform::owns_range(kClient, r.a, 4)) {
                platform::store_be32(tamsa_bus_pointer(r.a),
                                     translate(uint32_t(r.c), mine, theirs));
            }
            continue;
        }
        uint8_t frame[sizeof r];
        std::memcpy(frame, &r, sizeof r);
        const remote::decision d = remote::decide(client, frame);
        if (d.what == remote::action::hang_up || d.what == remote::action::refuse) break;
        if (d.what == remote::action::reply_with_pool) {
            CHECK(client.greeted && d.fd >= 0);
            CHECK(platform::client_maps(kClient, uint32_t(d.answer.extra >> 32)));
        }
        if (d.what == remote::action::reply && r.kind == 2 && d.answer.status == 0) {
            const auto found = platform::find_block(d.answer.value);
            CHECK(found.has_value() && found->owner == kClient);
            CHECK(platform::client_maps(kClient, d.answer.value));
            mine.push_back(d.answer.value);
        }
        if (d.what == remote::action::send) {
            CHECK(d.id != 0 && d.id != 1);
            const auto served = tamsa::server::serve_as(kClient, d.id, d.block, result);
            for (const platform::block_info &left : served.answer.left) {
                CHECK(left.owner == kClient && platform::client_maps(kClient, left.address));
                mine.push_back(left.address);
            }
        }
        CHECK(platform::usage_of(kClient).bytes <= kLimit);
    }
    done = true;
    busy.join();
    CHECK(their_bytes() == before);
    // The client goes: its pool with it, the other's stays.
    platform::free_owner(kClient);
    CHECK(platform::open_pools() == 1);
    CHECK(platform::usage_of(kOther).blocks == 5);
    platform::free_owner(kOther);
    CHECK(platform::open_pools() == 0);
    uint64_t blocks_after = 0, bytes_after = 0;
    tamsa_alloc_stats(&blocks_after, &bytes_after);
    CHECK(blocks_after == blocks_before && bytes_after == bytes_before);
    return 0;
}
