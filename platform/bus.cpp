// The bus: one region whose byte offsets are the 32-bit bus addresses, and the kernel allocator
// over it.
//
// The region's lower part is a memfd, so another process can map the same bytes; the part above
// it is private memory of this process, for what operations allocate while serving another
// process. Both are reserved, not committed: pages cost memory only once they are touched. The
// allocator hands out addresses from 16 on, so no block ever has address 0 and 0 can stand for
// null.
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
#include "platform/test_hooks.h"

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
using tamsa::platform::area;
using tamsa::platform::block_map;

static_assert(tamsa::platform::kNoLimit == block_map::kNoLimit);

// The shared part is what clients map; the part above it holds what operations allocate while
// they serve them. Both are reserved, not committed.
constexpr uint32_t kSharedSize = uint32_t(1) << 30;
constexpr uint32_t kServerOnlySize = uint32_t(1) << 29;
constexpr uint32_t kBusSize = kSharedSize + kServerOnlySize;
// This much free memory at the top of a part stays committed; free pages beyond it go back to
// the system once twice as much has been freed there.
constexpr uint32_t kTrimBytes = uint32_t(64) << 20;

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
    std::mutex lock;                          // guards both maps and fail_countdown
    block_map *maps[2] = {nullptr, nullptr};  // the shared part, the server's own part
    uint32_t fail_countdown = 0;

    bool ready() const { return maps[0] != nullptr; }
    block_map &map_of(area where) { return *maps[where == area::shared ? 0 : 1]; }
    // The part an address lies in.
    block_map &map_at(uint32_t address) {
        return map_of(address >= kSharedSize ? area::server_only : area::shared);
    }
    template <class F>
    void each_map(F f) {
        f(*maps[0]);
        f(*maps[1]);
    }
};

block_map *new_map(uint32_t begin, uint32_t end) {
    block_map *map = nullptr;
    try {
        map = new block_map(begin, end, kRedZone, kTrimBytes);
    } catch (...) {
        return nullptr;
    }
    if (!map->ok()) {
        delete map;
        return nullptr;
    }
    return map;
}

bus_state *create_bus() {
    auto *bus = new (std::nothrow) bus_state;
    if (bus == nullptr) return nullptr;
    block_map *shared = new_map(block_map::kGranule, kSharedSize);
    block_map *own = new_map(kSharedSize, kBusSize);
    // One reservation, so that the two parts are neighbours and addresses run on across them.
    void *reserved =
        mmap(nullptr, kBusSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    const int fd = memfd_create("tamsa-bus", MFD_CLOEXEC);
    bool mapped = false;
    if (shared != nullptr && own != nullptr && reserved != MAP_FAILED && fd >= 0 &&
        ftruncate(fd, off_t(kSharedSize)) == 0) {
        auto *base = static_cast<uint8_t *>(reserved);
        mapped = mmap(base, kSharedSize, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_FIXED | MAP_NORESERVE, fd, 0) != MAP_FAILED &&
                 mmap(base + kSharedSize, kServerOnlySize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) != MAP_FAILED;
    }
    if (!mapped) {
        if (reserved != MAP_FAILED) munmap(reserved, kBusSize);
        if (fd >= 0) close(fd);
        delete shared;
        delete own;
        return bus;
    }
    bus->fd = fd;
    bus->base = static_cast<uint8_t *>(reserved);
    bus->size = kBusSize;
    bus->maps[0] = shared;
    bus->maps[1] = own;
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
    if (!b.map_at(address).release(address, freed, trim)) return false;
#ifdef TAMSA_ASAN
    ASAN_UNPOISON_MEMORY_REGION(b.base + freed.span.begin, freed.span.end - freed.span.begin);
#endif
    // The map counts in 4 KiB pages; ARM kernels may use 16 or 64 KiB ones, and madvise takes
    // only ranges that start on a page of the system's own size.
    static const uint32_t page = uint32_t(std::max(sysconf(_SC_PAGESIZE), 4096L));
    trim.begin = (trim.begin + page - 1) / page * page;
    trim.end = trim.end / page * page;
    if (trim.end > trim.begin) {
        // Reads of a hole give zeros; nothing live is in it, so a failure costs only memory.
        if (trim.begin < kSharedSize) {
            (void)!fallocate(b.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(trim.begin),
                             off_t(trim.end - trim.begin));
        } else {
            (void)!madvise(b.base + trim.begin, trim.end - trim.begin, MADV_DONTNEED);
        }
    }
    return true;
}

thread_local uint32_t current_owner_tag = tamsa::platform::kThisProcess;
thread_local area current_area_tag = area::shared;
thread_local allocation_log *current_log = nullptr;

}  // namespace

namespace tamsa::platform {

int bus_fd() {
    return bus().fd;
}
uint64_t shared_bytes() {
    return bus().ready() ? kSharedSize : 0;
}

void *allocate(uint32_t size, uint32_t attributes, uint32_t owner) {
    bus_state &b = bus();
    if (!b.ready()) return nullptr;
    uint8_t *block = nullptr;
    {
        std::lock_guard<std::mutex> guard(b.lock);
        if (b.fail_countdown != 0 && --b.fail_countdown == 0) return nullptr;
        block_map &map = b.map_of(current_area_tag);
        block_map::block made;
        if (!map.allocate(size, owner, made)) {
            if (map.usage_of(owner).bytes + size > map.limit_of(owner)) {
                for (allocation_log *log = current_log; log != nullptr; log = log->outer_) {
                    log->refused_by_limit_ = true;
                }
            }
            return nullptr;
        }
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

area current_area() {
    return current_area_tag;
}

area_scope::area_scope(area where) : previous_(current_area_tag) {
    current_area_tag = where;
}

area_scope::~area_scope() {
    current_area_tag = previous_;
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
    if (!b.ready()) return found;
    std::lock_guard<std::mutex> guard(b.lock);
    for (const entry &e : entries_) {
        block_map::block block;
        if (b.map_at(e.address).at(e.address, block) && block.serial == e.serial) {
            found.push_back({block.address, block.size, block.owner});
        }
    }
    return found;
}

std::optional<block_info> find_block(uint32_t address) {
    bus_state &b = bus();
    if (!b.ready()) return std::nullopt;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    if (!b.map_at(address).containing(address, block)) return std::nullopt;
    if (address - block.address >= std::max(block.size, 1u)) return std::nullopt;
    return block_info{block.address, block.size, block.owner};
}

bool owns_range(uint32_t owner, uint32_t address, uint64_t length) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    return b.map_at(address).containing(address, block) && block.owner == owner &&
           inside(block, address, length);
}

owner_usage usage_of(uint32_t owner) {
    bus_state &b = bus();
    owner_usage total;
    if (!b.ready()) return total;
    std::lock_guard<std::mutex> guard(b.lock);
    b.each_map([&](const block_map &map) {
        const block_map::usage use = map.usage_of(owner);
        total.blocks += use.blocks;
        total.bytes += use.bytes;
    });
    return total;
}

bool set_owner_limit(uint32_t owner, uint64_t limit) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    const uint64_t before = b.maps[0]->limit_of(owner);
    if (!b.maps[0]->set_limit(owner, limit)) return false;
    if (!b.maps[1]->set_limit(owner, limit)) {
        b.maps[0]->set_limit(owner, before);
        return false;
    }
    return true;
}

uint64_t free_owner(uint32_t owner) {
    bus_state &b = bus();
    if (!b.ready()) return 0;
    std::lock_guard<std::mutex> guard(b.lock);
    uint64_t freed = 0;
    b.each_map([&](block_map &map) {
        for (uint32_t address; (address = map.any_of(owner)) != 0; ++freed) release(b, address);
        map.set_limit(owner, kNoLimit);
    });
    return freed;
}

bool free_block(uint32_t address, uint32_t owner) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    return b.map_at(address).at(address, block) && block.owner == owner && release(b, address);
}

bool give_block(uint32_t address, uint32_t from, uint32_t to) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    return b.map_at(address).change_owner(address, from, to);
}

}  // namespace tamsa::platform

extern "C" {

void *PPCAllocVec(uint32_t size, uint32_t attributes) {
    return tamsa::platform::allocate(size, attributes, current_owner_tag);
}

void PPCFreeVec(void *block) {
    if (block == nullptr) return;
    bus_state &b = bus();
    if (!b.ready()) return;
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
    if (!b.ready()) return 0;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    return b.map_at(address).containing(address, block) && inside(block, address, length) ? 1 : 0;
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
    if (b.ready()) {
        std::lock_guard<std::mutex> guard(b.lock);
        b.each_map([&total](const block_map &map) {
            total.blocks += map.total().blocks;
            total.bytes += map.total().bytes;
        });
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
