// The bus: one region whose byte offsets are the 32-bit bus addresses, and the kernel allocator
// over it.
//
// The region's lower part is shared by the server and the clients of this process; the part above
// it is for what operations allocate while serving another process. Both are private memory of
// this process, with huge pages where the system gives them: no other process maps them, so a
// picture's fresh memory costs one fault per 2 MiB instead of one per 4 KiB, and a forked child
// gets a copy of the bus as it gets one of the rest of its memory. Above both lie the client
// pools: slots of one size, each mapped from a memfd of its own while a client process holds it,
// so that a client maps its own blocks and no one else's. All are reserved, not committed: pages
// cost memory only once they are touched. The allocator hands out addresses from 16 on, so no
// block ever has address 0 and 0 can stand for null.
//
// All of the allocator's bookkeeping (free runs, live blocks, owners) is in this process's
// private memory, never in the region: whatever another process writes anywhere in the bus can
// spoil pixels, never the heap. The bookkeeping also lets a free of something that is not a live
// block be ignored, and lets the server check that an address it was sent lies inside one block
// of the right owner.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

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

// The shared part is what clients in this process's own port map; the part above it holds what
// operations allocate while they serve other processes; the pools above that hold those
// processes' blocks. The pools end 64 KiB short of 4 GiB, so that every end of a block still
// fits 32 bits and every slot starts on a page of any size the system may use.
constexpr uint32_t kSharedSize = uint32_t(1) << 30;
constexpr uint32_t kPoolsEnd = 0xffff0000u;
// 2.5 GiB and a little more: room for ten pools at the default client limit with their slack.
constexpr uint32_t kPoolsBegin = kSharedSize + (uint32_t(480) << 20);
constexpr uint32_t kServerOnlySize = kPoolsBegin - kSharedSize;
constexpr uint32_t kBusSize = kPoolsEnd;
// Slots are whole multiples of this; a pool's memfd grows by it.
constexpr uint32_t kPoolStep = uint32_t(1) << 20;
// This much free memory at the top of a part stays committed; free pages beyond it go back to
// the system once twice as much has been freed there. The process's own parts keep what a 4K
// rotation makes and frees each call (a bordered source of 94 MB and a result of 50): with
// 64 MiB, fresh pages took a third of its time. A client's pool keeps less, as a pool is there
// for each client.
constexpr uint32_t kTrimBytes = uint32_t(192) << 20;
constexpr uint32_t kPoolTrimBytes = uint32_t(64) << 20;
// Twice the reserve fits the part that serves other processes, or its pages would never go back.
static_assert(uint64_t(kTrimBytes) * 2 <= kServerOnlySize);

// Under AddressSanitizer every block gets poisoned red zones, so that a read or write past a
// buffer in the bus is caught like one past a malloc block.
#ifdef TAMSA_ASAN
constexpr uint32_t kRedZone = 32;
#else
constexpr uint32_t kRedZone = 0;
#endif

struct bus_state {
    uint8_t *base = nullptr;
    uint64_t size = 0;                        // the parts always mapped, below the pools
    std::mutex lock;                          // guards both maps and fail_countdown
    block_map *maps[2] = {nullptr, nullptr};  // the shared part, the server's own part
    uint32_t fail_countdown = 0;

    // Limits over several owners, kept beside the maps' own: the connections of one client
    // process share an account, and all owners with an account share the clients' cap.
    static constexpr uint32_t kNoPool = UINT32_MAX;
    struct account {
        uint64_t bytes = 0;
        uint64_t limit = tamsa::platform::kNoLimit;
        uint32_t owners = 0;
        uint32_t slot = kNoPool;  // its pool's
        // Once it has had a pool, its blocks never come from the shared part: a pool given back
        // while idle is opened again before the process allocates.
        bool pooled = false;
        std::chrono::steady_clock::time_point used{};  // its last request
    };
    // A client process's pool: its slot of the bus, mapped from a memfd only it and this process
    // map, grown as blocks reach further.
    struct pool {
        int fd = -1;
        uint32_t begin = 0;
        uint32_t end = 0;
        uint64_t file_bytes = 0;
        uint64_t serial = 0;       // which opening of the slot this is
        block_map *map = nullptr;  // null while the slot is free
    };
    uint64_t pool_openings = 0;
    std::vector<pool> pools;  // one per slot
    uint32_t slot_bytes = 0;
    // Whether each slot is mapped, by bus address in steps of kPoolStep, for the accessors that
    // take no lock: an address of a free slot is outside the bus for them, as its memory is.
    // The last step is cut short by the end of the pools; no slot reaches it, so it stays false.
    std::atomic<bool> mapped[(kPoolsEnd - kPoolsBegin + kPoolStep - 1) / kPoolStep] = {};
    std::unordered_map<uint32_t, uint32_t> account_of;  // owner -> account
    std::unordered_map<uint32_t, account> accounts;
    uint64_t clients_bytes = 0;
    uint64_t clients_cap = tamsa::platform::kNoLimit;

    account *account_for(uint32_t owner) {
        if (account_of.empty()) return nullptr;
        const auto it = account_of.find(owner);
        return it == account_of.end() ? nullptr : &accounts.find(it->second)->second;
    }
    // Whether size more bytes for owner stay within its account and the cap.
    bool within_accounts(uint32_t owner, uint64_t size) {
        const account *a = account_for(owner);
        return a == nullptr || (a->bytes + size <= a->limit && clients_bytes + size <= clients_cap);
    }
    void charge(uint32_t owner, uint64_t size, bool add) {
        account *a = account_for(owner);
        if (a == nullptr) return;
        a->bytes = add ? a->bytes + size : a->bytes - size;
        clients_bytes = add ? clients_bytes + size : clients_bytes - size;
    }

    bool ready() const { return maps[0] != nullptr; }
    // The pool blocks of owner go to in the shared area, or null when it has none.
    pool *pool_of(uint32_t owner) {
        const account *a = account_for(owner);
        return a == nullptr || a->slot == kNoPool ? nullptr : &pools[a->slot];
    }
    // Where owner's blocks in an area come from: a client process's pool stands for the shared
    // part; null for a process whose pool was given back.
    block_map *map_for(area where, uint32_t owner) {
        if (where == area::server_only) return maps[1];
        const account *a = account_for(owner);
        if (a == nullptr || !a->pooled) return maps[0];
        return a->slot == kNoPool ? nullptr : pools[a->slot].map;
    }
    // The pool an address of the pools' range lies in, or null when its slot is free.
    pool *pool_at(uint32_t address) {
        if (address < kPoolsBegin || slot_bytes == 0) return nullptr;
        const uint32_t slot = (address - kPoolsBegin) / slot_bytes;
        return slot < pools.size() && pools[slot].map != nullptr ? &pools[slot] : nullptr;
    }
    // The map that keeps the blocks at an address, or null when no part of the bus holds it.
    block_map *map_at(uint32_t address) {
        if (address < kSharedSize) return maps[0];
        if (address < kPoolsBegin) return maps[1];
        pool *p = pool_at(address);
        return p != nullptr ? p->map : nullptr;
    }
    template <class F>
    void each_map(F f) {
        f(*maps[0]);
        f(*maps[1]);
        for (pool &p : pools) {
            if (p.map != nullptr) f(*p.map);
        }
    }
};

block_map *new_map(uint32_t begin, uint32_t end, uint32_t reserve) {
    block_map *map = nullptr;
    try {
        map = new block_map(begin, end, kRedZone, reserve);
    } catch (...) {
        return nullptr;
    }
    if (!map->ok()) {
        delete map;
        return nullptr;
    }
    return map;
}

// The system's huge page: the bus starts on one, so that bus addresses and huge pages line up.
constexpr uint64_t kHugePage = uint64_t(2) << 20;

bus_state *create_bus() {
    auto *bus = new (std::nothrow) bus_state;
    if (bus == nullptr) return nullptr;
    block_map *shared = new_map(block_map::kGranule, kSharedSize, kTrimBytes);
    block_map *own = new_map(kSharedSize, kPoolsBegin, kTrimBytes);
    // One reservation, so that the parts are neighbours and addresses run on across them; a huge
    // page more than the bus, cut to start on one.
    auto *reserved =
        static_cast<uint8_t *>(mmap(nullptr, kBusSize + kHugePage, PROT_NONE,
                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    uint8_t *base = nullptr;
    if (reserved != MAP_FAILED) {
        base = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(reserved) + kHugePage - 1) &
                                           ~uintptr_t(kHugePage - 1));
        if (base > reserved) munmap(reserved, size_t(base - reserved));
        munmap(base + kBusSize, size_t(reserved + kHugePage - base));
    }
    const bool mapped =
        shared != nullptr && own != nullptr && base != nullptr &&
        mmap(base, kPoolsBegin, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) != MAP_FAILED;
    if (!mapped) {
        if (base != nullptr) munmap(base, kBusSize);
        delete shared;
        delete own;
        return bus;
    }
    // Without huge pages (a kernel built without them, or told never) the bus works as well,
    // fault by fault.
    (void)madvise(base, kPoolsBegin, MADV_HUGEPAGE);
    bus->base = base;
    bus->size = kPoolsBegin;
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

// [address, address + length) is memory of the bus: below the pools, or in pool slots that are
// mapped.
bool in_bus(const bus_state &b, uint32_t address, uint64_t length) {
    if (address == 0 || b.base == nullptr || length > kPoolsEnd) return false;
    const uint64_t end = uint64_t(address) + length;
    if (end <= b.size) return true;
    if (address < kPoolsBegin || end > kPoolsEnd) return false;
    const uint32_t first = (address - kPoolsBegin) / kPoolStep;
    const auto last =
        uint32_t((std::max(end, uint64_t(address) + 1) - 1 - kPoolsBegin) / kPoolStep);
    for (uint32_t step = first; step <= last; ++step) {
        if (!b.mapped[step].load(std::memory_order_acquire)) return false;
    }
    return true;
}

bool inside(const block_map::block &block, uint32_t address, uint64_t length) {
    const uint64_t offset = address - block.address;
    return offset <= block.size && length <= block.size - offset;
}

// What holds the bytes at an address: a memfd at an offset, or (fd -1) private memory. With the
// lock held.
struct backing {
    int fd = -1;
    off_t offset = 0;
};
backing backing_of(bus_state &b, uint32_t address) {
    if (address < kPoolsBegin) return {};
    const bus_state::pool *p = b.pool_at(address);
    return p != nullptr ? backing{p->fd, off_t(address - p->begin)} : backing{-2, 0};
}

// Gives the pages of [begin, end) (whole pages of the system, held as where says) back, so that
// they read as zeros and cost nothing until touched again.
bool give_back(bus_state &b, const backing &where, uint32_t begin, uint32_t end) {
    if (where.fd == -1) return madvise(b.base + begin, end - begin, MADV_DONTNEED) == 0;
    return where.fd >= 0 && fallocate(where.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                      where.offset, off_t(end - begin)) == 0;
}

// With the lock held.
bool release(bus_state &b, uint32_t address) {
    block_map::block freed;
    block_map::run trim;
    block_map *map = b.map_at(address);
    if (map == nullptr || !map->release(address, freed, trim)) return false;
    b.charge(freed.owner, freed.size, false);
#ifdef TAMSA_ASAN
    ASAN_UNPOISON_MEMORY_REGION(b.base + freed.span.begin, freed.span.end - freed.span.begin);
#endif
    // The map counts in 4 KiB pages; ARM kernels may use 16 or 64 KiB ones, and madvise takes
    // only ranges that start on a page of the system's own size.
    static const uint32_t page = uint32_t(std::max(sysconf(_SC_PAGESIZE), 4096L));
    trim.begin = (trim.begin + page - 1) / page * page;
    trim.end = trim.end / page * page;
    // Reads of a hole give zeros; nothing live is in it, so a failure costs only memory.
    if (trim.end > trim.begin) (void)give_back(b, backing_of(b, trim.begin), trim.begin, trim.end);
    return true;
}

// Blocks asked kClearByPages from this size on are cleared by giving their whole pages back.
constexpr uint32_t kClearByPagesBytes = uint32_t(1) << 20;

// Zeros [address, address + size) of the bus, by pages when asked and worth it.
void clear(bus_state &b, uint32_t address, uint32_t size, bool by_pages) {
    uint8_t *block = b.base + address;
    if (by_pages && size >= kClearByPagesBytes) {
        const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
        const uint64_t first = (uint64_t(address) + page - 1) / page * page;
        const uint64_t last = (uint64_t(address) + size) / page * page;
        bool given_back = false;
        if (last > first) {
            // Looked up under the lock, given back outside it: the block is live, so its pool
            // stays open meanwhile.
            backing where;
            {
                std::lock_guard<std::mutex> guard(b.lock);
                where = backing_of(b, uint32_t(first));
            }
            given_back = give_back(b, where, uint32_t(first), uint32_t(last));
        }
        if (given_back) {
            std::memset(block, 0, first - address);
            std::memset(b.base + last, 0, uint64_t(address) + size - last);
            return;
        }
    }
    std::memset(block, 0, size);
}

// Makes a pool's memfd reach at least up to bus address end. With the lock held.
bool grow(bus_state &b, bus_state::pool &p, uint32_t end) {
    const uint64_t need = end - p.begin;
    if (need <= p.file_bytes) return true;
    // Growing takes memory: it counts towards tamsa_alloc_fail_nth as an allocation would.
    if (b.fail_countdown != 0 && --b.fail_countdown == 0) return false;
    // The client holds the memfd too and may have made it longer itself; it cannot shorten it.
    struct stat st {};
    if (fstat(p.fd, &st) != 0) return false;
    if (uint64_t(st.st_size) >= need) {
        p.file_bytes = uint64_t(st.st_size);
        return true;
    }
    const uint64_t bytes =
        std::min<uint64_t>((need + kPoolStep - 1) / kPoolStep * kPoolStep, p.end - p.begin);
    if (ftruncate(p.fd, off_t(bytes)) != 0) return false;
    p.file_bytes = bytes;
    return true;
}

// Maps a free slot from a new memfd, empty until blocks reach into it. With the lock held.
bool open_slot(bus_state &b, bus_state::pool &p) {
    block_map *map = new_map(p.begin, p.end, kPoolTrimBytes);
    const int fd = memfd_create("tamsa-pool", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    // The client holds the memfd too: sealed so that it cannot shorten it under this process's
    // feet (a touch past the end would kill the server), nor seal it further.
    const bool made = map != nullptr && fd >= 0 &&
                      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) == 0 &&
                      mmap(b.base + p.begin, p.end - p.begin, PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_FIXED | MAP_NORESERVE, fd, 0) != MAP_FAILED;
    if (!made) {
        if (fd >= 0) close(fd);
        delete map;
        return false;
    }
    p.fd = fd;
    p.file_bytes = 0;
    p.serial = ++b.pool_openings;
    p.map = map;
    for (uint32_t step = (p.begin - kPoolsBegin) / kPoolStep;
         step < (p.end - kPoolsBegin) / kPoolStep; ++step) {
        b.mapped[step].store(true, std::memory_order_release);
    }
    return true;
}

// Unmaps a pool that holds no block, leaving its slot reserved and free. With the lock held.
void close_pool(bus_state &b, bus_state::pool &p) {
    if (p.map == nullptr) return;
    for (uint32_t step = (p.begin - kPoolsBegin) / kPoolStep;
         step < (p.end - kPoolsBegin) / kPoolStep; ++step) {
        b.mapped[step].store(false, std::memory_order_release);
    }
    // Failing, the old mapping would simply stay: nothing is live in it and no map reaches it.
    (void)!mmap(b.base + p.begin, p.end - p.begin, PROT_NONE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    close(p.fd);
    delete p.map;
    p.fd = -1;
    p.file_bytes = 0;
    p.map = nullptr;
}

thread_local uint32_t current_owner_tag = tamsa::platform::kThisProcess;
thread_local area current_area_tag = area::shared;
thread_local allocation_log *current_log = nullptr;

}  // namespace

namespace tamsa::platform {

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
        block_map *map = b.map_for(current_area_tag, owner);
        if (map == nullptr) return nullptr;
        block_map::block made;
        const bool within = b.within_accounts(owner, size);
        if (!within || !map->allocate(size, owner, made)) {
            if (!within || map->usage_of(owner).bytes + size > map->limit_of(owner)) {
                for (allocation_log *log = current_log; log != nullptr; log = log->outer_) {
                    log->refused_by_limit_ = true;
                }
            }
            return nullptr;
        }
        b.charge(owner, size, true);
        bus_state::pool *p = b.pool_at(made.address);
        if (p != nullptr && !grow(b, *p, made.span.end)) {
            release(b, made.address);
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
    if ((attributes & TAMSA_MEMF_CLEAR) != 0) {
        clear(b, tamsa_bus_address(block), size,
              (attributes & tamsa::platform::kClearByPages) != 0);
    }
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
        const block_map *map = b.map_at(e.address);
        if (map != nullptr && map->at(e.address, block) && block.serial == e.serial) {
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
    const block_map *map = b.map_at(address);
    if (map == nullptr || !map->containing(address, block)) return std::nullopt;
    if (address - block.address >= std::max(block.size, 1u)) return std::nullopt;
    return block_info{block.address, block.size, block.owner};
}

bool owns_range(uint32_t owner, uint32_t address, uint64_t length) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    const block_map *map = b.map_at(address);
    return map != nullptr && map->containing(address, block) && block.owner == owner &&
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

bool join_account(uint32_t owner, uint32_t account, uint64_t limit) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.account_of.count(owner) != 0) return false;
    uint64_t held = 0;
    b.each_map([&](const block_map &map) { held += map.usage_of(owner).bytes; });
    try {
        b.accounts.try_emplace(account);
        b.account_of.emplace(owner, account);
    } catch (...) {
        const auto it = b.accounts.find(account);
        if (it != b.accounts.end() && it->second.owners == 0) b.accounts.erase(it);
        return false;
    }
    bus_state::account &a = b.accounts[account];
    a.limit = limit;
    ++a.owners;
    a.bytes += held;
    b.clients_bytes += held;
    return true;
}

void set_clients_cap(uint64_t cap) {
    bus_state &b = bus();
    std::lock_guard<std::mutex> guard(b.lock);
    b.clients_cap = cap;
}

bool over_limit(uint32_t owner, uint64_t size) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    if (!b.within_accounts(owner, size)) return true;
    bool over = false;
    b.each_map([&](const block_map &map) {
        over = over || map.usage_of(owner).bytes + size > map.limit_of(owner);
    });
    return over;
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
    const auto it = b.account_of.find(owner);
    if (it != b.account_of.end()) {
        const auto a = b.accounts.find(it->second);
        if (--a->second.owners == 0) {
            // The client process has gone: its pool is unmapped and its slot free for another.
            if (a->second.slot != bus_state::kNoPool) {
                bus_state::pool &p = b.pools[a->second.slot];
                // Every block of the process is gone: what the server made for it was its.
                if (p.map->total().blocks == 0) close_pool(b, p);
            }
            b.accounts.erase(a);
        }
        b.account_of.erase(it);
    }
    return freed;
}

uint32_t set_pool_limit(uint64_t limit) {
    bus_state &b = bus();
    if (!b.ready()) return 0;
    std::lock_guard<std::mutex> guard(b.lock);
    for (const bus_state::pool &p : b.pools) {
        if (p.map != nullptr) return uint32_t(b.pools.size());
    }
    // Slack for the allocator's rounding and guards, so that the limit, not the slot, is what
    // a client meets first.
    const uint64_t room = kPoolsEnd - kPoolsBegin;
    const uint64_t wanted = limit >= room ? room : limit + limit / 128 + kPoolStep;
    const uint64_t slot = std::min(room, (wanted + kPoolStep - 1) / kPoolStep * kPoolStep);
    try {
        b.pools.assign(size_t(room / slot), {});
    } catch (...) {
        b.pools.clear();
        b.slot_bytes = 0;
        return 0;
    }
    b.slot_bytes = uint32_t(slot);
    for (size_t i = 0; i < b.pools.size(); ++i) {
        b.pools[i].begin = kPoolsBegin + uint32_t(i * slot);
        b.pools[i].end = uint32_t(b.pools[i].begin + slot);
    }
    return uint32_t(b.pools.size());
}

std::optional<pool_view> open_pool(uint32_t owner, bool *full, int idle_ms) {
    if (full != nullptr) *full = false;
    bus_state &b = bus();
    if (!b.ready()) return std::nullopt;
    std::lock_guard<std::mutex> guard(b.lock);
    bus_state::account *a = b.account_for(owner);
    if (a == nullptr) return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    a->used = now;
    if (a->slot == bus_state::kNoPool) {
        uint32_t slot = 0;
        while (slot < b.pools.size() && b.pools[slot].map != nullptr) ++slot;
        if (slot == b.pools.size() && idle_ms >= 0) {
            // Every slot is taken: the one of a process that holds nothing and has been idle
            // longest is given back, if it has been idle long enough.
            bus_state::account *idle = nullptr;
            for (auto &[id, other] : b.accounts) {
                if (other.slot == bus_state::kNoPool || &other == a ||
                    b.pools[other.slot].map->total().blocks != 0 ||
                    now - other.used < std::chrono::milliseconds(idle_ms))
                    continue;
                if (idle == nullptr || other.used < idle->used) idle = &other;
            }
            if (idle != nullptr) {
                slot = idle->slot;
                close_pool(b, b.pools[slot]);
                idle->slot = bus_state::kNoPool;
            }
        }
        if (slot == b.pools.size()) {
            if (full != nullptr) *full = true;
            return std::nullopt;
        }
        if ((b.fail_countdown != 0 && --b.fail_countdown == 0) || !open_slot(b, b.pools[slot])) {
            return std::nullopt;
        }
        a->slot = slot;
        a->pooled = true;
    }
    const bus_state::pool &p = b.pools[a->slot];
    return pool_view{p.fd, p.begin, p.end - p.begin, p.serial};
}

uint64_t pool_serial(uint32_t owner) {
    bus_state &b = bus();
    if (!b.ready()) return 0;
    std::lock_guard<std::mutex> guard(b.lock);
    const bus_state::pool *p = b.pool_of(owner);
    return p != nullptr ? p->serial : 0;
}

void touch_account(uint32_t owner) {
    bus_state &b = bus();
    if (!b.ready()) return;
    std::lock_guard<std::mutex> guard(b.lock);
    bus_state::account *a = b.account_for(owner);
    if (a != nullptr) a->used = std::chrono::steady_clock::now();
}

uint32_t open_pools() {
    bus_state &b = bus();
    std::lock_guard<std::mutex> guard(b.lock);
    uint32_t open = 0;
    for (const bus_state::pool &p : b.pools) open += p.map != nullptr ? 1 : 0;
    return open;
}

bool client_maps(uint32_t owner, uint32_t address) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    const bus_state::account *a = b.account_for(owner);
    if (a != nullptr && a->pooled && a->slot == bus_state::kNoPool) return false;
    const bus_state::pool *p = b.pool_of(owner);
    if (p == nullptr) return address != 0 && address < kSharedSize;
    return address >= p->begin && address < p->end;
}

bool server_only(uint32_t address) {
    return address >= kSharedSize && address < kPoolsBegin;
}

bool free_block(uint32_t address, uint32_t owner) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    const block_map *map = b.map_at(address);
    return map != nullptr && map->at(address, block) && block.owner == owner && release(b, address);
}

bool give_block(uint32_t address, uint32_t from, uint32_t to) {
    bus_state &b = bus();
    if (!b.ready()) return false;
    std::lock_guard<std::mutex> guard(b.lock);
    block_map::block block;
    block_map *map = b.map_at(address);
    if (map == nullptr || !map->at(address, block)) return false;
    // Taken off the giver's account first, so that a hand-over within one account always fits.
    const bool counted = block.owner == from;
    if (counted) b.charge(from, block.size, false);
    if (!b.within_accounts(to, block.size) || !map->change_owner(address, from, to)) {
        if (counted) b.charge(from, block.size, true);
        return false;
    }
    b.charge(to, block.size, true);
    return true;
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
    if (b.base == nullptr || p <= b.base || p >= b.base + kBusSize) return 0;
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
    const block_map *map = b.map_at(address);
    return map != nullptr && map->containing(address, block) && inside(block, address, length) ? 1
                                                                                               : 0;
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
