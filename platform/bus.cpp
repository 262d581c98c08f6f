// The bus: one shared-memory region whose byte offsets are the 32-bit bus addresses, and the
// kernel allocator over it.
//
// The region is a memfd, so another process can map the same bytes. It is reserved, not
// committed: pages cost memory only once they are touched. Offset 0 holds the heap's own header,
// so no block ever has address 0 and 0 can stand for null.
//
// Blocks come from Boost.Interprocess's best-fit heap placed in the region. The list of live
// blocks is also kept beside the heap, outside the region: it counts blocks and bytes, lets a free
// of something that is not a live block be ignored instead of corrupting the heap, and lets the
// server check that an address it was sent lies inside one block.
#include <sys/mman.h>
#include <unistd.h>

#include <boost/interprocess/mem_algo/rbtree_best_fit.hpp>
#include <boost/interprocess/sync/mutex_family.hpp>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/bus.h"
#include "platform/ppc.h"
#include "tamsa/internal/testing.h"

// GCC says so with __SANITIZE_ADDRESS__, clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define TAMSA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMSA_ASAN 1
#endif
#endif
#ifdef TAMSA_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

namespace bip = boost::interprocess;

constexpr uint64_t kBusSize = uint64_t(1) << 30;

// Under AddressSanitizer every block gets poisoned red zones, so that a read or write past a
// buffer in the bus is caught like one past a malloc block.
#ifdef TAMSA_ASAN
constexpr uint32_t kRedZone = 32;
#else
constexpr uint32_t kRedZone = 0;
#endif

// Our own lock guards the heap, so the heap needs none. Its header sits at the start of the
// region, with offset pointers only, so it means the same in every mapping.
using heap_type = bip::rbtree_best_fit<bip::null_mutex_family, bip::offset_ptr<void>, 16>;

struct bus_state {
    int fd = -1;
    uint8_t *base = nullptr;
    uint64_t size = 0;
    heap_type *heap = nullptr;
    std::mutex lock;
    std::map<uint32_t, uint32_t> blocks;  // address -> requested size
    uint64_t bytes = 0;
    uint32_t fail_countdown = 0;
};

bus_state *create_bus() {
    auto *bus = new (std::nothrow) bus_state;
    if (bus == nullptr) return nullptr;
    const int fd = memfd_create("tamsa-bus", MFD_CLOEXEC);
    if (fd < 0) return bus;
    if (ftruncate(fd, off_t(kBusSize)) != 0) {
        close(fd);
        return bus;
    }
    void *map = mmap(nullptr, kBusSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        return bus;
    }
    bus->heap = new (map) heap_type(kBusSize, 0);
    bus->fd = fd;
    bus->base = static_cast<uint8_t *>(map);
    bus->size = kBusSize;
    return bus;
}

// Made on first use and kept for the life of the process: server threads may still be using it
// while static objects are destroyed.
bus_state &bus() {
    static bus_state *const state = create_bus();
    if (state == nullptr) {
        static bus_state empty;
        return empty;
    }
    return *state;
}

bool in_bus(const bus_state &b, uint32_t address, uint64_t length) {
    return address != 0 && length <= b.size && address <= b.size - length;
}

}  // namespace

namespace tamsa::platform {

int bus_fd() {
    return bus().fd;
}
uint8_t *bus_base() {
    return bus().base;
}

}  // namespace tamsa::platform

extern "C" {

void *PPCAllocVec(uint32_t size, uint32_t attributes) {
    bus_state &b = bus();
    if (b.base == nullptr) return nullptr;
    uint8_t *block = nullptr;
    {
        std::lock_guard<std::mutex> guard(b.lock);
        if (b.fail_countdown != 0 && --b.fail_countdown == 0) return nullptr;
        const uint64_t gross = uint64_t(size) + 2 * kRedZone + (size == 0 ? 1 : 0);
        void *raw = b.heap->allocate(gross);
        if (raw == nullptr) return nullptr;
        block = static_cast<uint8_t *>(raw) + kRedZone;
        try {
            b.blocks.emplace(uint32_t(block - b.base), size);
        } catch (...) {
            b.heap->deallocate(raw);
            return nullptr;
        }
        b.bytes += size;
#ifdef TAMSA_ASAN
        ASAN_POISON_MEMORY_REGION(block - kRedZone, kRedZone);
        ASAN_POISON_MEMORY_REGION(block + size, kRedZone);
#endif
    }
    if ((attributes & TAMSA_MEMF_CLEAR) != 0) std::memset(block, 0, size);
    return block;
}

void PPCFreeVec(void *block) {
    if (block == nullptr) return;
    bus_state &b = bus();
    const uint32_t address = tamsa_bus_address(block);
    std::lock_guard<std::mutex> guard(b.lock);
    const auto it = b.blocks.find(address);
    if (it == b.blocks.end()) return;
    const uint32_t size = it->second;
    b.blocks.erase(it);
    b.bytes -= size;
    uint8_t *raw = static_cast<uint8_t *>(block) - kRedZone;
#ifdef TAMSA_ASAN
    ASAN_UNPOISON_MEMORY_REGION(raw, uint64_t(size) + 2 * kRedZone);
#endif
    b.heap->deallocate(raw);
}

uint32_t tamsa_bus_address(const void *pointer) {
    const bus_state &b = bus();
    const auto *p = static_cast<const uint8_t *>(pointer);
    if (b.base == nullptr || p <= b.base || p >= b.base + b.size) return 0;
    return uint32_t(p - b.base);
}

void *tamsa_bus_pointer(uint32_t address) {
    bus_state &b = bus();
    if (b.base == nullptr || !in_bus(b, address, 1)) return nullptr;
    return b.base + address;
}

int32_t tamsa_bus_contains(uint32_t address, uint64_t length) {
    const bus_state &b = bus();
    return b.base != nullptr && in_bus(b, address, length) ? 1 : 0;
}

int32_t tamsa_bus_contains_block(uint32_t address, uint64_t length) {
    bus_state &b = bus();
    if (b.base == nullptr || address == 0) return 0;
    std::lock_guard<std::mutex> guard(b.lock);
    auto it = b.blocks.upper_bound(address);
    if (it == b.blocks.begin()) return 0;
    --it;
    const uint64_t offset = address - it->first;
    return offset <= it->second && length <= it->second - offset ? 1 : 0;
}

uint32_t tamsa_bus_load32(uint32_t address) {
    const bus_state &b = bus();
    if (b.base == nullptr || !in_bus(b, address, 4)) return 0;
    return tamsa::platform::load_be32(b.base + address);
}

void tamsa_bus_store32(uint32_t address, uint32_t value) {
    bus_state &b = bus();
    if (b.base == nullptr || !in_bus(b, address, 4)) return;
    tamsa::platform::store_be32(b.base + address, value);
}

uint64_t tamsa_bus_size(void) {
    return bus().size;
}

void tamsa_alloc_stats(uint64_t *blocks, uint64_t *bytes) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> guard(b.lock);
    if (blocks != nullptr) *blocks = b.blocks.size();
    if (bytes != nullptr) *bytes = b.bytes;
}

uint32_t tamsa_alloc_fail_nth(uint32_t n) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> guard(b.lock);
    const uint32_t left = b.fail_countdown;
    b.fail_countdown = n;
    return left;
}

}  // extern "C"
