// Any message, served as client 1 of a bus that holds blocks of two clients. The input picks the
// blocks, the words written into them (addresses of other blocks among them, so that records
// and pointers lead somewhere), the op_block, the id and the argument words. The server must
// not crash or read or write outside its blocks; it may change only blocks of client 1 that the
// message names, directly or through a word of a named block; every block of client 2 stays as
// it was; and once client 1 frees what the operation left it, nothing is left allocated.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "check.h"
#include "platform/bus.h"
#include "platform/heap.h"
#include "server/server.h"
#include "tamsa/client.h"

namespace {

namespace platform = tamsa::platform;

constexpr uint32_t kSender = 1, kOther = 2;
// Keeps every operation's work small: a result past it is refused before anything is made.
constexpr uint64_t kSenderLimit = uint64_t(4) << 20;

struct block {
    uint32_t address = 0;
    uint32_t size = 0;
    uint32_t owner = 0;
    std::vector<uint8_t> bytes;  // as they were before the message
    bool named = false;

    uint8_t *data() const { return static_cast<uint8_t *>(tamsa_bus_pointer(address)); }
    bool holds(uint32_t a) const { return a >= address && a - address < size; }
};

// An argument word: mostly an address in one of the blocks, else a small number or any word.
uint32_t word(FuzzedDataProvider &in, const std::vector<block> &blocks) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
        case 1: {
            const block &b = blocks[in.ConsumeIntegralInRange<size_t>(0, blocks.size() - 1)];
            return b.address + in.ConsumeIntegralInRange<uint32_t>(0, b.size);
        }
        case 2:
            return in.ConsumeIntegralInRange<uint32_t>(0, 300);
        default:
            return in.ConsumeIntegral<uint32_t>();
    }
}

// Marks the blocks of the sender that a word names, and on through the words they hold.
void name(std::vector<block> &blocks, uint32_t address, int depth) {
    for (block &b : blocks) {
        if (b.owner != kSender || b.named || !b.holds(address)) continue;
        b.named = true;
        if (depth == 0) continue;
        for (uint32_t at = 0; at + 4 <= b.size; ++at) {
            name(blocks, platform::load_be32(b.bytes.data() + at), depth - 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint64_t blocks_before = 0, bytes_before = 0;
    tamsa_alloc_stats(&blocks_before, &bytes_before);
    CHECK(platform::set_owner_limit(kSender, kSenderLimit));

    std::vector<block> blocks(in.ConsumeIntegralInRange<size_t>(1, 10));
    for (size_t i = 0; i < blocks.size(); ++i) {
        block &b = blocks[i];
        b.owner = in.ConsumeBool() ? kSender : kOther;
        b.size = in.ConsumeIntegralInRange<uint32_t>(0, in.ConsumeBool() ? 64 : 20000);
        b.address = tamsa_bus_address(platform::allocate(b.size, 0, b.owner));
        CHECK(b.address != 0);
        for (uint32_t k = 0; k < b.size; ++k) b.data()[k] = uint8_t(i * 37 + k * 11 + 5);
    }
    // Words written into blocks: wire records, pointers to pointers, sizes.
    for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) {
        const block &b = blocks[in.ConsumeIntegralInRange<size_t>(0, blocks.size() - 1)];
        const uint32_t at = in.ConsumeIntegralInRange<uint32_t>(0, b.size);
        const uint32_t value = word(in, blocks);
        if (b.size >= 4 && at <= b.size - 4) platform::store_be32(b.data() + at, value);
    }
    const block &op = blocks[in.ConsumeIntegralInRange<size_t>(0, blocks.size() - 1)];
    // Every id, and unknown ones on either side.
    const int32_t id = in.ConsumeIntegralInRange<int32_t>(-1, TAMSA_OP_COUNT + 1);
    const uint32_t block_address = in.ConsumeBool() ? op.address : in.ConsumeIntegral<uint32_t>();
    for (uint32_t n = 1; n <= 7; ++n) {
        const uint32_t value = word(in, blocks);
        if (op.holds(block_address) && op.holds(block_address + 4 * n + 3) &&
            block_address + 4 * n >= block_address) {
            platform::store_be32(op.data() + (block_address - op.address) + 4 * n, value);
        }
    }
    for (block &b : blocks) b.bytes.assign(b.data(), b.data() + b.size);
    name(blocks, block_address, 0);
    if (op.holds(block_address)) {
        for (uint32_t n = 1; n <= 7; ++n) {
            const uint64_t at = uint64_t(block_address - op.address) + 4 * n;
            if (at + 4 <= op.size) name(blocks, platform::load_be32(op.bytes.data() + at), 2);
        }
    }

    uint32_t result = in.ConsumeIntegral<uint32_t>();
    const tamsa::server::served served =
        tamsa::server::serve_as(kSender, id, block_address, result);

    for (const block &b : blocks) {
        if (b.named || b.size == 0) continue;
        CHECK(std::memcmp(b.data(), b.bytes.data(), b.size) == 0);
    }
    for (const platform::block_info &left : served.answer.left) {
        CHECK(left.owner == kSender);
        CHECK(left.address + uint64_t(left.size) <= platform::shared_bytes());
        CHECK(platform::free_block(left.address, kSender));
    }
    for (const block &b : blocks) CHECK(platform::free_block(b.address, b.owner));
    CHECK(platform::set_owner_limit(kSender, platform::kNoLimit));
    uint64_t blocks_after = 0, bytes_after = 0;
    tamsa_alloc_stats(&blocks_after, &bytes_after);
    CHECK(blocks_after == blocks_before && bytes_after == bytes_before);
    return 0;
}
