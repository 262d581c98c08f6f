// The bus: one shared-memory region whose byte offsets are the 32-bit bus addresses, and the
// kernel allocator over it.
//
// The region is a memfd, so another process can map the same bytes. It is reserved, not
// committed: pages cost memory only once they are touched. The allocator hands out addresses
// from 16 on, so no block ever has address 0 and 0 can stand for null.
//
// All of the allocator's bookkeeping (free runs, live blocks, owners) is in this process's
// private memory, never in the region: whatever another process writes anywhere in the bus can
// spoil pixels, never the heap. The bookkeeping also lets a free of something that is not a live
// block be ignored, and lets the server check that an address it was sent lies inside one block
// of the right owner.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/block_map.h"
#include "platform/bus.h"
#include "platform/heap.h"
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

using tamsa::platform::allocation_log;
using tamsa::platform::block_map;

static_assert(tamsa::platform::kNoLimit == block_map::kNoLimit);

constexpr uint32_t kBusSize = uint32_t(1) << 30;
// Free pages at the top go back to the system once this much has been freed there.
constexpr uint32_t kTrimBytes = uint32_t(32) << 20;

// Under AddressSanitizer every block gets poisoned red zones, so that a read or write past a
// buffer in the bus is caught like one past a malloc block.
#ifdef TAMSA_ASAN
constexpr uint32_t kRedZone = 32;
#else
constexpr uint32_t kRedZone = 0;
#endif

struct bus_state {
    int fd = -1;
    uint8_t *base = nullptr;
    uint64_t size = 0;
    std::mutex lock;  // guards map and fail_countdown
    block_map *map = nullptr;
    uint32_t fail_countdown = 0;
};

bus_state *create_bus() {
    auto *bus = new (std::nothrow) bus_state;
    if (bus == nullptr) return nullptr;
    block_map *map = nullptr;
    try {
        map = new block_map(block_map::kGranule, kBusSize, kRedZone, kTrimBytes);
    } catch (...) {
        return bus;
    }
    if (!map->ok()) {
        delete map;
        return bus;
    }
    const int fd = memfd_create("tamsa-bus", MFD_CLOEXEC);
    void *mapping = MAP_FAILED;
    if (fd >= 0 && ftruncate(fd, off_t(kBusSize)) == 0) {
        mapping =
            mmap(nullptr, kBusSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
    }
    if (mapping == MAP_FAILED) {
        if (fd >= 0) close(fd);
        delete map;
        return bus;
    }
    bus->fd = fd;
    bus->base = static_cast<uint8_t *>(mapping);
    bus->size = kBusSize;
    bus->map = map;
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

bool inside(const block_map::block &block, uint32_t address, uint64_t length) {
    const uint64_t offset = address - block.address;
    return offset <= block.size && length <= block.size - offset;
}

// With the lock held.
bool release(bus_state &b, uint32_t address) {
    block_map::block freed;
    block_map::run trim;
    if (!b.map->release(address, freed, trim)) return false;
#ifdef TAMSA_ASAN
    ASAN_UNPOISON_MEMORY_REGION(b.base + freed.span.begin, freed.span.end - freed.span.begin);
#endif
    if (trim.end > trim.begin) {
        // Reads of a hole give zeros; nothing live is in it, so a failure costs only memory.
        (void)!fallocate(b.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(trim.begin),
                         off_t(trim.end - trim.begin));
    }
    return true;
}

thread_local uint32_t current_owner_tag = tamsa::platform::kThisProcess;
thread_local allocation_log *current_log = nullptr;

}  // namespace

namespace tamsa::platform {

int bus_fd() {
    return bus().fd;
}
uint8_t *bus_base() {
    return bus().base;
}

void *allocate(uint32_t size, uint32_t attributes, uint32_t owner) {
    bus_state &b = bus();
    if (b.map == nullptr) return nullptr;
    uint8_t *block = nullptr;
    {
        std::lock_guard<std::mutex> guard(b.lock);
        if (b.fail_countdown != 0 && --b.fail_countdown == 0) return nullptr;
        block_map::block made;
        if (!b.map->allocate(size, owner, made)) return nullptr;
        for (allocation_log *log = current_log; log != nullptr; log = log->outer_) {
            try {
                log->entries_.push_back({made.address, made.serial});
            } catch (...) {
                for (allocation_log *done = current_log; done != log; done = done->outer_) {
                    done->entries_.pop_back();
                }
                release(b, made.address);
                return nullptr;
            }
        }
        block = b.base + made.address;
#ifdef TAMSA_ASAN
        ASAN_POISON_MEMORY_REGION(b.base + made.span.begin, made.address - made.span.begin);
        ASAN_POISON_MEMORY_REGION(block + size, made.span.end - made.address - size);
#endif
    }
    if ((attributes & TAMSA_MEMF_CLEAR) != 0) std::memset(block, 0, size);
    return block;
}

uint32_t current_owner() {
    return current_owner_tag;
}

owner_scope::owner_scope(uint32_t owner) : previous_(current_owner_tag) {
    current_owner_tag = owner;
}

owner_scope::~owner_scope() {
    current_owner_tag = previous_;
}

allocation_log::allocation_log() : outer_(current_log) {
    current_log = this;
}

allocation_log::~allocation_log() {
    current_log = outer_;
}

std::vector<block_info> allocation_log::live() const {
    std::vector<block_info> found;
    found.reserve(entries_.size());
    bus_state &b = bus();
    if (b.map == nullptr) return found;
    std::lock_guard<std::mutex> guard(b.lock);
    for (const entry &e : entries_) {
        block_map::block block;
        if (b.map->at(e.address, block) && block.serial == e.serial) {
            found.push_back({block.address, block.size, block.owner});
        }
    }
    return found;
}

std::optional<block_info> find_block(uint32_t address) {
    bus_state &b = bus();
    if (b.map == nullptr) return std::nullopt;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    if (!b.map->containing(address, block)) return std::nullopt;
    if (address - block.address >= std::max(block.size, 1u)) return std::nullopt;
    return block_info{block.address, block.size, block.owner};
}

bool owns_range(uint32_t owner, uint32_t address, uint64_t length) {
    bus_state &b = bus();
    if (b.map == nullptr) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    return b.map->containing(address, block) && block.owner == owner &&
           inside(block, address, length);
}

owner_usage usage_of(uint32_t owner) {
    bus_state &b = bus();
    if (b.map == nullptr) return {};
    std::lock_guard<std::mutex> guard(b.lock);
    const block_map::usage use = b.map->usage_of(owner);
    return {use.blocks, use.bytes};
}

bool set_owner_limit(uint32_t owner, uint64_t limit) {
    bus_state &b = bus();
    if (b.map == nullptr) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    return b.map->set_limit(owner, limit);
}

uint64_t free_owner(uint32_t owner) {
    bus_state &b = bus();
    if (b.map == nullptr) return 0;
    std::lock_guard<std::mutex> guard(b.lock);
    uint64_t freed = 0;
    for (uint32_t address; (address = b.map->any_of(owner)) != 0; ++freed) release(b, address);
    b.map->set_limit(owner, kNoLimit);
    return freed;
}

bool free_block(uint32_t address, uint32_t owner) {
    bus_state &b = bus();
    if (b.map == nullptr) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    return b.map->at(address, block) && block.owner == owner && release(b, address);
}

bool give_block(uint32_t address, uint32_t from, uint32_t to) {
    bus_state &b = bus();
    if (b.map == nullptr) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    return b.map->change_owner(address, from, to);
}

}  // namespace tamsa::platform

extern "C" {

void *PPCAllocVec(uint32_t size, uint32_t attributes) {
    return tamsa::platform::allocate(size, attributes, current_owner_tag);
}

void PPCFreeVec(void *block) {
    if (block == nullptr) return;
    bus_state &b = bus();
    if (b.map == nullptr) return;
    const uint32_t address = tamsa_bus_address(block);
    std::lock_guard<std::mutex> guard(b.lock);
    release(b, address);
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
    if (b.map == nullptr) return 0;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    return b.map->containing(address, block) && inside(block, address, length) ? 1 : 0;
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
    block_map::usage total;
    if (b.map != nullptr) {
        std::lock_guard<std::mutex> guard(b.lock);
        total = b.map->total();
    }
    if (blocks != nullptr) *blocks = total.blocks;
    if (bytes != nullptr) *bytes = total.bytes;
}

uint32_t tamsa_alloc_fail_nth(uint32_t n) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> guard(b.lock);
    const uint32_t left = b.fail_countdown;
    b.fail_countdown = n;
    return left;
}

}  // extern "C"
