// The allocator's bookkeeping for a range of bus addresses, kept wholly in this process's private
// memory. It never reads or writes the memory it hands out, so whatever is written there cannot
// mislead it. Not thread-safe: the bus holds one lock around it.
#ifndef TAMSA_PLATFORM_BLOCK_MAP_H
#define TAMSA_PLATFORM_BLOCK_MAP_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace tamsa::platform {

class block_map {
   public:
    static constexpr uint32_t kGranule = 16;
    static constexpr uint64_t kNoLimit = UINT64_MAX;

    struct run {
        uint32_t begin = 0;
        uint32_t end = 0;
    };
    // A live block. The serial tells it apart from a later block at the same address; span is
    // the run it takes, guards included.
    struct block {
        uint32_t address = 0;
        uint32_t size = 0;
        uint32_t owner = 0;
        uint64_t serial = 0;
        run span;
    };
    struct usage {
        uint64_t blocks = 0;
        uint64_t bytes = 0;
    };

    // Hands out [begin, end) (multiples of kGranule, begin > 0). Each block has `guard` bytes
    // (a multiple of kGranule) of its own before and after it. The first `keep` bytes of the
    // free run at the top stay committed; once the run reaches twice that below the highest
    // address ever handed out, release reports the pages beyond them.
    block_map(uint32_t begin, uint32_t end, uint32_t guard, uint32_t keep);
    ~block_map();
    block_map(const block_map &) = delete;
    block_map &operator=(const block_map &) = delete;
    // False when the index could not be reserved; nothing else works then.
    bool ok() const { return marks_.ok(); }

    // A new block at a kGranule-aligned address; false when there is no room, the owner's
    // limit would be passed, or private memory ran out (nothing changes then).
    bool allocate(uint32_t size, uint32_t owner, block &made);
    // Frees the live block at address; false when none starts there. trim gets the pages to
    // give back to the system (empty for none).
    bool release(uint32_t address, block &freed, run &trim);

    // The live block that starts at address.
    bool at(uint32_t address, block &found) const;
    // The live block with the greatest address not above address, when address lies in it or
    // at its end (an empty range there lies inside it).
    bool containing(uint32_t address, block &found) const;

    bool change_owner(uint32_t address, uint32_t from, uint32_t to);
    // Fails only when private memory runs out.
    bool set_limit(uint32_t owner, uint64_t bytes);
    usage usage_of(uint32_t owner) const;
    uint64_t limit_of(uint32_t owner) const;
    // The address of one live block of owner, or 0 when it has none.
    uint32_t any_of(uint32_t owner) const;
    usage total() const { return total_; }

   private:
    static constexpr uint32_t kNone = UINT32_MAX;
    static constexpr int kSubBits = 5;  // 32 size classes per power of two
    static constexpr int kClasses = 24;

    // A run of addresses, free or holding one block. Runs tile [begin, end) in address order.
    struct chunk {
        uint32_t start = 0;
        uint32_t span = 0;
        uint32_t prev = kNone;  // neighbours in address order
        uint32_t next = kNone;
        uint32_t link_prev = kNone;  // free: its size class's list; live: its owner's list
        uint32_t link_next = kNone;
        uint32_t size = 0;
        uint32_t owner = 0;
        uint64_t serial = 0;  // 0 while free
    };
    struct owner_state {
        usage use;
        uint64_t limit = kNoLimit;
        uint32_t head = kNone;
    };

    // One bit per granule where a live block starts, with a summary bit per 64-bit word on
    // each level above, so the nearest start below an address takes a few word operations.
    class start_marks {
       public:
        explicit start_marks(uint64_t bits);
        ~start_marks();
        start_marks(const start_marks &) = delete;
        start_marks &operator=(const start_marks &) = delete;
        bool ok() const { return words_ != nullptr; }
        void set(uint64_t i);
        void clear(uint64_t i);
        // The greatest set index not above i, or UINT64_MAX.
        uint64_t at_or_below(uint64_t i) const;

       private:
        uint64_t *words_ = nullptr;
        std::size_t bytes_ = 0;
        std::vector<uint64_t *> levels_;
    };

    // Block address -> chunk, open addressing with linear probing.
    class address_index {
       public:
        bool make_room();  // for one more entry; false when memory ran out
        void insert(uint32_t address, uint32_t chunk);
        uint32_t find(uint32_t address) const;
        void erase(uint32_t address);

       private:
        uint32_t home(uint32_t address) const;
        std::vector<uint64_t> slots_;  // address << 32 | chunk; 0 is empty
        uint32_t count_ = 0;
        int bits_ = 0;
    };

    static void class_of(uint32_t granules, int &fl, int &sl);
    uint32_t take_free(uint32_t span);
    void link_free(uint32_t c);
    void unlink_free(uint32_t c);
    void link_owner(uint32_t c, owner_state &s);
    void unlink_owner(uint32_t c, owner_state &s);
    bool have_spare();
    uint32_t take_spare();
    void recycle(uint32_t c);
    owner_state *state(uint32_t owner);
    const owner_state *state(uint32_t owner) const;
    owner_state *make_state(uint32_t owner);
    void forget_if_idle(uint32_t owner);
    void fill(const chunk &c, block &out) const;

    uint32_t begin_, end_, guard_, trim_;
    uint32_t high_water_;
    std::vector<chunk> chunks_;
    uint32_t spare_ = kNone;  // recycled chunk records, linked through next
    uint32_t heads_[kClasses][1 << kSubBits];
    uint32_t class_map_ = 0;
    uint32_t sub_maps_[kClasses] = {};
    start_marks marks_;
    address_index index_;
    owner_state self_;
    std::unordered_map<uint32_t, owner_state> others_;
    usage total_;
    uint64_t serial_ = 0;
};

}  // namespace tamsa::platform

#endif
