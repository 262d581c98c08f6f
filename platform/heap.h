// Who owns which block of the bus: the allocator's primitives for a server that serves other
// processes. Every live block carries an owner tag; 0 is this process. Not installed.
//
// The bus has three parts. The shared part, [16, shared_bytes()), is what clients of this
// process's own port see. Above it lies a part no other process maps, for what an operation
// allocates while it serves another process: its scratch tables and records hold indexes and
// native pointers, which a client writing into the bus while the operation runs must not be able
// to change. Above that lie the client pools: a client process that has one maps it alone, and
// every block of its owners that would come from the shared part comes from its pool instead.
#ifndef TAMSA_PLATFORM_HEAP_H
#define TAMSA_PLATFORM_HEAP_H

#include <cstdint>
#include <optional>
#include <vector>

namespace tamsa::platform {

inline constexpr uint32_t kThisProcess = 0;
inline constexpr uint64_t kNoLimit = UINT64_MAX;

struct block_info {
    uint32_t address = 0;  // bus address of the block's first byte
    uint32_t size = 0;     // the size it was asked for
    uint32_t owner = 0;
    bool operator==(const block_info &) const = default;
};

struct owner_usage {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    bool operator==(const owner_usage &) const = default;
};

// An attribute for allocate beside TAMSA_MEMF_CLEAR: a large block is cleared by giving its
// pages back to the system, which hands out zero pages on their next touch. It takes the
// caller no time for pages never touched and little for the rest, but whoever touches them
// next pays for it: for a thread that must not be kept busy, such as the gateway's.
inline constexpr uint32_t kClearByPages = uint32_t(1) << 31;

// As PPCAllocVec, for the given owner instead of the thread's current one. Counts towards
// tamsa_alloc_fail_nth; fails (null) when the block would take the owner past its limit. The
// block comes from the thread's current part of the bus.
void *allocate(uint32_t size, uint32_t attributes, uint32_t owner);

enum class area : uint8_t {
    shared,       // memory other processes map
    server_only,  // memory only this process maps
};

// The part of the bus PPCAllocVec and allocate take blocks from on the calling thread: the
// innermost live area_scope's, else the shared part.
area current_area();

// While it lives, what the calling thread allocates comes from the given part of the bus. Scopes
// nest; each ends on the thread that began it, innermost first.
class area_scope {
   public:
    explicit area_scope(area where);
    ~area_scope();
    area_scope(const area_scope &) = delete;
    area_scope &operator=(const area_scope &) = delete;

   private:
    area previous_;
};

// The owner that PPCAllocVec tags blocks with on the calling thread: the innermost live
// owner_scope's, else kThisProcess.
uint32_t current_owner();

// While it lives, what the calling thread allocates through PPCAllocVec belongs to owner.
// Scopes nest; each ends on the thread that began it, innermost first.
class owner_scope {
   public:
    explicit owner_scope(uint32_t owner);
    ~owner_scope();
    owner_scope(const owner_scope &) = delete;
    owner_scope &operator=(const owner_scope &) = delete;

   private:
    uint32_t previous_;
};

// While it lives, records every block the calling thread allocates (through PPCAllocVec or
// allocate), so that afterwards exactly those an operation left live can be told apart from
// every other block, whoever made them. Logs nest, each recording what was allocated in its life,
// and end as scopes do. An allocation that cannot be recorded fails.
class allocation_log {
   public:
    allocation_log();
    ~allocation_log();
    allocation_log(const allocation_log &) = delete;
    allocation_log &operator=(const allocation_log &) = delete;

    // The recorded blocks that are still live, with their owners now, in allocation order.
    // A block freed and a new one made at the same address by someone else is not included.
    std::vector<block_info> live() const;
    // True once an allocation in the log's life failed because it would have taken its owner
    // past its limit.
    bool refused_by_limit() const { return refused_by_limit_; }

   private:
    friend void *allocate(uint32_t size, uint32_t attributes, uint32_t owner);
    struct entry {
        uint32_t address;
        uint64_t serial;
    };
    std::vector<entry> entries_;
    allocation_log *outer_;
    bool refused_by_limit_ = false;
};

// The live block that holds the byte at address (a block of 0 bytes holds its own address).
std::optional<block_info> find_block(uint32_t address);
// [address, address + length) lies inside one live block whose owner is owner, by the rule of
// tamsa_bus_contains_block.
bool owns_range(uint32_t owner, uint32_t address, uint64_t length);

// Live blocks of owner and the bytes asked for them, in both parts of the bus.
owner_usage usage_of(uint32_t owner);
// From now on an allocation for owner fails when it would take its live bytes in that part of
// the bus above limit (kNoLimit: none); blocks it already has are kept. False when memory ran
// out.
bool set_owner_limit(uint32_t owner, uint64_t limit);
// Makes owner one of the owners that share an account (the connections of one client process):
// from then on an allocation or hand-over to any of them fails when it would take the account's
// live bytes above limit, or the live bytes of every owner with an account above the clients'
// cap. Blocks the owner already has are counted. False when memory ran out or the owner is in
// an account already.
bool join_account(uint32_t owner, uint32_t account, uint64_t limit);
// What all owners with an account may hold together (kNoLimit: no cap, the first state).
void set_clients_cap(uint64_t cap);
// True when an allocation of size bytes for owner would pass its own limit, its account's or
// the clients' cap.
bool over_limit(uint32_t owner, uint64_t size);

// ---- client pools ----

// Cuts the pools' part of the bus into slots big enough for limit bytes of blocks (and the
// allocator's slack). While a pool is open the slots stay as they are. Returns how many slots
// there are (0 when memory ran out; no pool can be opened then).
uint32_t set_pool_limit(uint64_t limit);

struct pool_view {
    int fd;            // the memfd the pool is mapped from (this process keeps it)
    uint32_t address;  // bus address of the slot's first byte
    uint32_t size;     // bytes of the slot
    uint64_t serial;   // which opening of a slot this is: never the same for two pools
};

// The pool of owner's account, opened in a free slot when it has none yet (opening, and each
// growth of a pool's memfd as blocks reach further, count towards tamsa_alloc_fail_nth). When
// every slot is taken and idle_ms is not negative, the slot of the account that holds no block
// and has been idle longest is given back for it, if idle at least idle_ms: that account's
// blocks then come from no part of the bus until it opens a pool again. Nothing when the owner
// has no account, no slot can be had (then *full is set, when given), or the pool could not be
// made. Counts as a use of the account.
std::optional<pool_view> open_pool(uint32_t owner, bool *full = nullptr, int idle_ms = -1);
// The serial of the pool owner's account holds now, 0 when it holds none.
uint64_t pool_serial(uint32_t owner);
// Marks owner's account as in use now, so that its pool is not given back while it works.
void touch_account(uint32_t owner);
// Pools open now.
uint32_t open_pools();
// True when the process of owner maps the byte at address: its pool when it has one, else the
// shared part.
bool client_maps(uint32_t owner, uint32_t address);
// True when address lies in the part of the bus only this process maps.
bool server_only(uint32_t address);

// Frees every block of owner and forgets its limit and its account (an owner that has gone);
// returns how many blocks were freed. The account's last owner gone, its pool is unmapped and
// its slot free.
uint64_t free_owner(uint32_t owner);
// Frees the block that starts at address if owner owns it; false, and nothing changes,
// otherwise.
bool free_block(uint32_t address, uint32_t owner);
// Hands the block that starts at address from one owner to another. False, and nothing
// changes, when it is not a live block of from or when it would take to past its limit.
bool give_block(uint32_t address, uint32_t from, uint32_t to);

}  // namespace tamsa::platform

#endif
