// Free runs sit in segregated lists by size class (a power of two cut into 32 classes), so
// finding one that fits takes a few bit scans; neighbours in address order are linked, so a
// freed run merges with free neighbours at once and free space never splinters further than
// the live blocks cut it.
#include "platform/block_map.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <new>

namespace tamsa::platform {

namespace {

constexpr uint32_t kPage = 4096;

uint32_t round_up(uint32_t value, uint32_t step) {
    return (value + step - 1) / step * step;
}

}  // namespace

// ---- start marks ----

block_map::start_marks::start_marks(uint64_t bits) {
    std::vector<uint64_t> counts;
    uint64_t total = 0;
    do {
        bits = (bits + 63) / 64;
        counts.push_back(bits);
        total += bits;
    } while (bits > 1);
    // Reserved, not committed: only words that were ever set cost memory.
    void *map = mmap(nullptr, total * 8, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) return;
    words_ = static_cast<uint64_t *>(map);
    bytes_ = total * 8;
    uint64_t *level = words_;
    for (uint64_t n : counts) {
        levels_.push_back(level);
        level += n;
    }
}

block_map::start_marks::~start_marks() {
    if (words_ != nullptr) munmap(words_, bytes_);
}

void block_map::start_marks::set(uint64_t i) {
    for (uint64_t *words : levels_) {
        const uint64_t before = words[i / 64];
        words[i / 64] = before | uint64_t(1) << (i % 64);
        if (before != 0) return;
        i /= 64;
    }
}

void block_map::start_marks::clear(uint64_t i) {
    for (uint64_t *words : levels_) {
        words[i / 64] &= ~(uint64_t(1) << (i % 64));
        if (words[i / 64] != 0) return;
        i /= 64;
    }
}

uint64_t block_map::start_marks::at_or_below(uint64_t i) const {
    size_t level = 0;
    // Up: the first level with a set bit at or below the position.
    for (;; ++level) {
        if (level == levels_.size()) return UINT64_MAX;
        const uint64_t bit = i % 64;
        const uint64_t below =
            levels_[level][i / 64] & (bit == 63 ? ~uint64_t(0) : (uint64_t(2) << bit) - 1);
        if (below != 0) {
            i = i / 64 * 64 + uint64_t(63 - std::countl_zero(below));
            break;
        }
        if (i < 64) return UINT64_MAX;
        i = i / 64 - 1;
    }
    // Down: the highest set bit of each word the summary points at.
    while (level-- > 0) i = i * 64 + uint64_t(63 - std::countl_zero(levels_[level][i]));
    return i;
}

// ---- address index ----

uint32_t block_map::address_index::home(uint32_t address) const {
    return uint32_t((uint64_t(address / kGranule) * 0x9e3779b97f4a7c15ull) >> (64 - bits_));
}

bool block_map::address_index::make_room() {
    if (uint64_t(count_ + 1) * 2 <= slots_.size()) return true;
    std::vector<uint64_t> old;
    try {
        old.swap(slots_);
        slots_.assign(old.empty() ? 1024 : old.size() * 2, 0);
    } catch (...) {
        slots_.swap(old);
        return false;
    }
    bits_ = std::countr_zero(slots_.size());
    count_ = 0;
    for (uint64_t slot : old) {
        if (slot != 0) insert(uint32_t(slot >> 32), uint32_t(slot));
    }
    return true;
}

void block_map::address_index::insert(uint32_t address, uint32_t chunk) {
    const uint32_t mask = uint32_t(slots_.size() - 1);
    uint32_t i = home(address);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = uint64_t(address) << 32 | chunk;
    ++count_;
}

uint32_t block_map::address_index::find(uint32_t address) const {
    if (slots_.empty() || address == 0) return kNone;
    const uint32_t mask = uint32_t(slots_.size() - 1);
    for (uint32_t i = home(address); slots_[i] != 0; i = (i + 1) & mask) {
        if (uint32_t(slots_[i] >> 32) == address) return uint32_t(slots_[i]);
    }
    return kNone;
}

void block_map::address_index::erase(uint32_t address) {
    const uint32_t mask = uint32_t(slots_.size() - 1);
    uint32_t i = home(address);
    while (uint32_t(slots_[i] >> 32) != address) i = (i + 1) & mask;
    // Entries after the hole that may sit in it move back, so that no probe stops short.
    for (uint32_t j = i;;) {
        j = (j + 1) & mask;
        if (slots_[j] == 0) break;
        const uint32_t h = home(uint32_t(slots_[j] >> 32));
        if (((j - h) & mask) >= ((j - i) & mask)) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = 0;
    --count_;
}

// ---- the map ----

block_map::block_map(uint32_t begin, uint32_t end, uint32_t guard, uint32_t trim)
    : begin_(begin),
      end_(end),
      guard_(guard),
      trim_(trim),
      high_water_(begin),
      marks_(uint64_t(end) / kGranule) {
    std::fill(&heads_[0][0], &heads_[0][0] + kClasses * (1 << kSubBits), kNone);
    chunks_.reserve(4096);
    chunk whole;
    whole.start = begin;
    whole.span = end - begin;
    chunks_.push_back(whole);
    link_free(0);
}

block_map::~block_map() = default;

void block_map::class_of(uint32_t granules, int &fl, int &sl) {
    if (granules < (1u << kSubBits)) {
        fl = 0;
        sl = int(granules);
        return;
    }
    const int top = 31 - std::countl_zero(granules);
    fl = top - kSubBits + 1;
    sl = int(granules >> (top - kSubBits)) - (1 << kSubBits);
}

uint32_t block_map::take_free(uint32_t span) {
    const uint32_t granules = span / kGranule;
    // Rounded up to the next class, any run of the class found is large enough.
    uint32_t wanted = granules;
    if (granules >= (1u << kSubBits)) {
        wanted += (1u << (31 - std::countl_zero(granules) - kSubBits)) - 1;
    }
    int fl = 0, sl = 0;
    class_of(wanted, fl, sl);
    if (fl < kClasses) {
        uint32_t subs = sub_maps_[fl] & (~0u << sl);
        if (subs == 0) {
            const uint32_t larger = class_map_ & (~0u << (fl + 1));
            if (larger != 0) {
                fl = std::countr_zero(larger);
                subs = sub_maps_[fl];
            }
        }
        if (subs != 0) return heads_[fl][std::countr_zero(subs)];
    }
    // Nothing in the larger classes; a run of the request's own class may still fit.
    class_of(granules, fl, sl);
    uint32_t c = heads_[fl][sl];
    for (int n = 0; c != kNone && n < 32; ++n, c = chunks_[c].link_next) {
        if (chunks_[c].span >= span) return c;
    }
    return kNone;
}

void block_map::link_free(uint32_t c) {
    int fl = 0, sl = 0;
    class_of(chunks_[c].span / kGranule, fl, sl);
    chunk &k = chunks_[c];
    k.serial = 0;
    k.link_prev = kNone;
    k.link_next = heads_[fl][sl];
    if (k.link_next != kNone) chunks_[k.link_next].link_prev = c;
    heads_[fl][sl] = c;
    sub_maps_[fl] |= 1u << sl;
    class_map_ |= 1u << fl;
}

void block_map::unlink_free(uint32_t c) {
    int fl = 0, sl = 0;
    class_of(chunks_[c].span / kGranule, fl, sl);
    const chunk &k = chunks_[c];
    if (k.link_next != kNone) chunks_[k.link_next].link_prev = k.link_prev;
    if (k.link_prev != kNone) {
        chunks_[k.link_prev].link_next = k.link_next;
    } else {
        heads_[fl][sl] = k.link_next;
        if (k.link_next == kNone) {
            sub_maps_[fl] &= ~(1u << sl);
            if (sub_maps_[fl] == 0) class_map_ &= ~(1u << fl);
        }
    }
}

void block_map::link_owner(uint32_t c, owner_state &s) {
    chunk &k = chunks_[c];
    k.link_prev = kNone;
    k.link_next = s.head;
    if (s.head != kNone) chunks_[s.head].link_prev = c;
    s.head = c;
    ++s.use.blocks;
    s.use.bytes += k.size;
}

void block_map::unlink_owner(uint32_t c, owner_state &s) {
    const chunk &k = chunks_[c];
    if (k.link_next != kNone) chunks_[k.link_next].link_prev = k.link_prev;
    if (k.link_prev != kNone) {
        chunks_[k.link_prev].link_next = k.link_next;
    } else {
        s.head = k.link_next;
    }
    --s.use.blocks;
    s.use.bytes -= k.size;
}

bool block_map::have_spare() {
    if (spare_ != kNone) return true;
    try {
        chunks_.emplace_back();
    } catch (...) {
        return false;
    }
    spare_ = uint32_t(chunks_.size() - 1);
    chunks_[spare_].next = kNone;
    return true;
}

uint32_t block_map::take_spare() {
    const uint32_t c = spare_;
    spare_ = chunks_[c].next;
    return c;
}

void block_map::recycle(uint32_t c) {
    chunks_[c] = chunk{};
    chunks_[c].next = spare_;
    spare_ = c;
}

block_map::owner_state *block_map::state(uint32_t owner) {
    if (owner == 0) return &self_;
    const auto it = others_.find(owner);
    return it == others_.end() ? nullptr : &it->second;
}

const block_map::owner_state *block_map::state(uint32_t owner) const {
    return const_cast<block_map *>(this)->state(owner);
}

block_map::owner_state *block_map::make_state(uint32_t owner) {
    if (owner == 0) return &self_;
    try {
        return &others_[owner];
    } catch (...) {
        return nullptr;
    }
}

void block_map::forget_if_idle(uint32_t owner) {
    const owner_state *s = state(owner);
    if (owner != 0 && s != nullptr && s->use.blocks == 0 && s->limit == kNoLimit) {
        others_.erase(owner);
    }
}

void block_map::fill(const chunk &c, block &out) const {
    out.address = c.start + guard_;
    out.size = c.size;
    out.owner = c.owner;
    out.serial = c.serial;
    out.span = {c.start, c.start + c.span};
}

bool block_map::allocate(uint32_t size, uint32_t owner, block &made) {
    // A block of 0 bytes still takes a granule, so that it has an address of its own.
    const uint64_t span =
        uint64_t(2) * guard_ +
        (size == 0 ? kGranule : (uint64_t(size) + kGranule - 1) / kGranule * kGranule);
    if (!ok() || span > end_ - begin_) return false;
    owner_state *s = make_state(owner);
    if (s == nullptr) return false;
    // Everything that can fail comes before the first change.
    uint32_t c = kNone;
    if (s->use.bytes + size <= s->limit && have_spare() && index_.make_room()) {
        c = take_free(uint32_t(span));
    }
    if (c == kNone) {
        forget_if_idle(owner);
        return false;
    }
    unlink_free(c);
    if (chunks_[c].span > span) {
        const uint32_t rest = take_spare();
        chunk &r = chunks_[rest];
        chunk &k = chunks_[c];
        r.start = k.start + uint32_t(span);
        r.span = k.span - uint32_t(span);
        r.prev = c;
        r.next = k.next;
        if (k.next != kNone) chunks_[k.next].prev = rest;
        k.next = rest;
        k.span = uint32_t(span);
        link_free(rest);
    }
    chunk &k = chunks_[c];
    k.size = size;
    k.owner = owner;
    k.serial = ++serial_;
    link_owner(c, *s);
    ++total_.blocks;
    total_.bytes += size;
    const uint32_t address = k.start + guard_;
    index_.insert(address, c);
    marks_.set(address / kGranule);
    high_water_ = std::max(high_water_, k.start + k.span);
    fill(k, made);
    return true;
}

bool block_map::release(uint32_t address, block &freed, run &trim) {
    trim = {};
    uint32_t c = index_.find(address);
    if (c == kNone) return false;
    fill(chunks_[c], freed);
    index_.erase(address);
    marks_.clear(address / kGranule);
    unlink_owner(c, *state(chunks_[c].owner));
    forget_if_idle(chunks_[c].owner);
    --total_.blocks;
    total_.bytes -= chunks_[c].size;

    const uint32_t next = chunks_[c].next;
    if (next != kNone && chunks_[next].serial == 0) {
        unlink_free(next);
        chunks_[c].span += chunks_[next].span;
        chunks_[c].next = chunks_[next].next;
        if (chunks_[c].next != kNone) chunks_[chunks_[c].next].prev = c;
        recycle(next);
    }
    const uint32_t prev = chunks_[c].prev;
    if (prev != kNone && chunks_[prev].serial == 0) {
        unlink_free(prev);
        chunks_[prev].span += chunks_[c].span;
        chunks_[prev].next = chunks_[c].next;
        if (chunks_[prev].next != kNone) chunks_[chunks_[prev].next].prev = prev;
        recycle(c);
        c = prev;
    }
    link_free(c);

    // Pages are given back only when the top has shrunk by a good stretch, and the first trim_
    // bytes above the live blocks stay committed: an operation that makes and frees frames of
    // a few tens of megabytes over and over does not fault their pages in anew each time.
    const chunk &k = chunks_[c];
    if (k.next == kNone) {
        const uint32_t from = round_up(k.start, kPage);
        if (high_water_ > from && high_water_ - from >= uint64_t(trim_) * 2) {
            const uint32_t kept = from + trim_;
            trim = {kept, std::min(round_up(high_water_, kPage), end_)};
            high_water_ = kept;
        }
    }
    return true;
}

bool block_map::at(uint32_t address, block &found) const {
    const uint32_t c = index_.find(address);
    if (c == kNone) return false;
    fill(chunks_[c], found);
    return true;
}

bool block_map::containing(uint32_t address, block &found) const {
    if (!ok() || address == 0) return false;
    const uint64_t mark = marks_.at_or_below(std::min(address, end_ - 1) / kGranule);
    if (mark == UINT64_MAX) return false;
    const uint32_t c = index_.find(uint32_t(mark * kGranule));
    fill(chunks_[c], found);
    return address - found.address <= found.size;
}

bool block_map::change_owner(uint32_t address, uint32_t from, uint32_t to) {
    const uint32_t c = index_.find(address);
    if (c == kNone || chunks_[c].owner != from) return false;
    if (from == to) return true;
    owner_state *s = make_state(to);
    if (s == nullptr) return false;
    if (s->use.bytes + chunks_[c].size > s->limit) {
        forget_if_idle(to);
        return false;
    }
    unlink_owner(c, *state(from));
    forget_if_idle(from);
    chunks_[c].owner = to;
    link_owner(c, *s);
    return true;
}

bool block_map::set_limit(uint32_t owner, uint64_t bytes) {
    owner_state *s = make_state(owner);
    if (s == nullptr) return false;
    s->limit = bytes;
    forget_if_idle(owner);
    return true;
}

block_map::usage block_map::usage_of(uint32_t owner) const {
    const owner_state *s = state(owner);
    return s == nullptr ? usage{} : s->use;
}

uint64_t block_map::limit_of(uint32_t owner) const {
    const owner_state *s = state(owner);
    return s == nullptr ? kNoLimit : s->limit;
}

uint32_t block_map::any_of(uint32_t owner) const {
    const owner_state *s = state(owner);
    return s == nullptr || s->head == kNone ? 0 : chunks_[s->head].start + guard_;
}

}  // namespace tamsa::platform
