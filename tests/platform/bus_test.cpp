#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "platform/bus.h"
#include "platform/heap.h"
#include "platform/ppc.h"
#include "support.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAMSA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMSA_TEST_ASAN 1
#endif
#endif
#ifdef TAMSA_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

namespace heap = tamsa::platform;
using heap::block_info;
using heap::owner_usage;
using tamsa_test::LeakCheck;
using tamsa_test::snapshot;

class Bus : public LeakCheck {};

// Tests that look at the whole bus need it to themselves.
#define ASSERT_BUS_EMPTY() ASSERT_EQ(snapshot().blocks, 0u) << "another block is live"

uint32_t address_of(const void *p) {
    return tamsa_bus_address(p);
}

// A live block as the tests expect it: where, how long, whose, and the byte it is filled with.
struct held {
    uint8_t *p = nullptr;
    uint32_t size = 0;
    uint32_t owner = 0;
    uint8_t fill = 0;
    uint32_t address() const { return tamsa_bus_address(p); }
};

held make(uint32_t size, uint32_t owner, uint8_t fill) {
    held h{static_cast<uint8_t *>(heap::allocate(size, TAMSA_MEMF_ANY, owner)), size, owner, fill};
    if (h.p != nullptr) std::memset(h.p, fill, size);
    return h;
}

// The block is live as made and owned as expected, found from its first, middle and last byte.
::testing::AssertionResult found(const held &h) {
    const uint32_t a = h.address();
    for (uint32_t at : {a, a + h.size / 2, a + std::max(h.size, 1u) - 1}) {
        if (heap::find_block(at) != block_info{a, h.size, h.owner}) {
            return ::testing::AssertionFailure() << "block at " << a << " is not found at " << at;
        }
    }
    if (!heap::owns_range(h.owner, a, h.size)) {
        return ::testing::AssertionFailure() << "block at " << a << " is not its owner's";
    }
    return ::testing::AssertionSuccess();
}

// As found, and its bytes are as they were filled.
::testing::AssertionResult intact(const held &h) {
    if (auto result = found(h); !result) return result;
    for (uint32_t i = 0; i < h.size; ++i) {
        if (h.p[i] != h.fill) {
            return ::testing::AssertionFailure()
                   << "byte " << i << " of the block at " << h.address() << " changed";
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(Bus, BlocksAreCountedAndFreed) {
    const auto before = snapshot();
    void *a = PPCAllocVec(100, TAMSA_MEMF_ANY);
    void *b = PPCAllocVec(0, TAMSA_MEMF_ANY);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    auto during = snapshot();
    EXPECT_EQ(during.blocks, before.blocks + 2);
    EXPECT_EQ(during.bytes, before.bytes + 100);
    PPCFreeVec(a);
    PPCFreeVec(b);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(Bus, ZeroByteBlocksAreDistinctLiveBlocks) {
    void *a = PPCAllocVec(0, TAMSA_MEMF_CLEAR);
    void *b = PPCAllocVec(0, TAMSA_MEMF_ANY);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(tamsa_bus_contains_block(tamsa_bus_address(a), 0), 1);
    EXPECT_EQ(tamsa_bus_contains_block(tamsa_bus_address(a), 1), 0);
    PPCFreeVec(a);
    PPCFreeVec(b);
}

TEST_F(Bus, ClearedBlocksAreZeroEvenWhenMemoryIsReused) {
    for (int round = 0; round < 4; ++round) {
        auto *dirty = static_cast<uint8_t *>(PPCAllocVec(4096, TAMSA_MEMF_ANY));
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xff, 4096);
        PPCFreeVec(dirty);
        auto *clean = static_cast<uint8_t *>(PPCAllocVec(4096, TAMSA_MEMF_CLEAR));
        ASSERT_NE(clean, nullptr);
        for (int i = 0; i < 4096; ++i) ASSERT_EQ(clean[i], 0) << "byte " << i;
        PPCFreeVec(clean);
    }
}

// Large blocks can be cleared by giving their pages back; the bytes of the partial pages at
// either end are written. Every byte reads 0 after memory full of other bytes, in both parts.
TEST_F(Bus, LargeClearedBlocksAreZeroToTheLastByte) {
    for (heap::area where : {heap::area::shared, heap::area::server_only}) {
        heap::area_scope scope(where);
        void *offset = PPCAllocVec(100, 0);  // so that blocks start inside a page
        for (uint32_t size : {(3u << 20) + 5, (1u << 20), (2u << 20) + 4093, 5000u}) {
            auto *p = static_cast<uint8_t *>(
                heap::allocate(size, TAMSA_MEMF_CLEAR | heap::kClearByPages, heap::kThisProcess));
            ASSERT_NE(p, nullptr);
            size_t nonzero = 0;
            for (uint32_t i = 0; i < size; ++i) nonzero += p[i] != 0;
            EXPECT_EQ(nonzero, 0u) << size;
            std::memset(p, 0xab, size);
            PPCFreeVec(p);
        }
        PPCFreeVec(offset);
    }
}

TEST_F(Bus, BlocksAreAlignedForVectorLoads) {
    for (uint32_t size : {1u, 3u, 17u, 100u}) {
        void *p = PPCAllocVec(size, TAMSA_MEMF_ANY);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        PPCFreeVec(p);
    }
}

TEST_F(Bus, FailNthFailsExactlyThatAllocation) {
    EXPECT_EQ(tamsa_alloc_fail_nth(3), 0u);
    void *first = PPCAllocVec(8, 0);
    void *second = PPCAllocVec(8, 0);
    const auto before_third = snapshot();
    void *third = PPCAllocVec(8, 0);
    void *fourth = PPCAllocVec(8, 0);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    // The failed request left no trace in the counters.
    auto after = snapshot();
    EXPECT_EQ(after.blocks, before_third.blocks + 1);
    EXPECT_EQ(tamsa_alloc_fail_nth(0), 0u) << "a fired failure reports 0 left";
    PPCFreeVec(first);
    PPCFreeVec(second);
    PPCFreeVec(fourth);
}

TEST_F(Bus, FailNthReportsAllocationsStillToGo) {
    tamsa_alloc_fail_nth(5);
    void *p = PPCAllocVec(1, 0);
    EXPECT_EQ(tamsa_alloc_fail_nth(0), 4u);
    PPCFreeVec(p);
}

TEST_F(Bus, FreeIgnoresWhatIsNotALiveBlock) {
    auto *p = static_cast<uint8_t *>(PPCAllocVec(64, 0));
    ASSERT_NE(p, nullptr);
    const auto before = snapshot();
    int on_stack = 0;
    PPCFreeVec(nullptr);
    PPCFreeVec(p + 8);      // inside a block
    PPCFreeVec(&on_stack);  // outside the bus
    EXPECT_EQ(snapshot(), before);
    PPCFreeVec(p);
    PPCFreeVec(p);  // twice
    auto after = snapshot();
    EXPECT_EQ(after.blocks, before.blocks - 1);
    // The heap still works.
    void *q = PPCAllocVec(64, 0);
    EXPECT_NE(q, nullptr);
    PPCFreeVec(q);
}

TEST_F(Bus, AddressesAndPointersConvertBothWays) {
    auto *p = static_cast<uint8_t *>(PPCAllocVec(32, 0));
    ASSERT_NE(p, nullptr);
    const uint32_t a = tamsa_bus_address(p);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(tamsa_bus_pointer(a), p);
    EXPECT_EQ(tamsa_bus_address(p + 31), a + 31);
    EXPECT_EQ(tamsa_bus_pointer(a + 31), p + 31);
    int on_stack = 0;
    EXPECT_EQ(tamsa_bus_address(nullptr), 0u);
    EXPECT_EQ(tamsa_bus_address(&on_stack), 0u);
    EXPECT_EQ(tamsa_bus_pointer(0), nullptr);
    const uint64_t size = tamsa_bus_size();
    ASSERT_LE(size, uint64_t(1) << 32);
    if (size < (uint64_t(1) << 32)) {
        EXPECT_EQ(tamsa_bus_pointer(uint32_t(size)), nullptr);
    }
    EXPECT_NE(tamsa_bus_pointer(uint32_t(size - 1)), nullptr);
    PPCFreeVec(p);
}

// A client pool's slot lies above tamsa_bus_size() and is part of the bus only while a pool is
// mapped there: the accessors reach a live pool's bytes, and once its process has gone they
// answer as outside the bus instead of touching memory that is no longer there.
TEST_F(Bus, APoolsSlotIsInTheBusOnlyWhileMapped) {
    constexpr uint32_t kOwner = 4242;
    ASSERT_GT(heap::set_pool_limit(1 << 20), 0u);
    ASSERT_TRUE(heap::join_account(kOwner, 7001, heap::kNoLimit));
    const std::optional<heap::pool_view> pool = heap::open_pool(kOwner);
    ASSERT_TRUE(pool.has_value());
    const uint32_t at = pool->address;
    EXPECT_GE(at, tamsa_bus_size()) << "above the parts always mapped";
    EXPECT_EQ(tamsa_bus_contains(at, pool->size), 1);
    EXPECT_EQ(tamsa_bus_contains(at + pool->size - 4, 8), 0) << "into the next, free slot";
    EXPECT_EQ(tamsa_bus_contains(uint32_t(tamsa_bus_size() - 4), 8), 0) << "across into a slot";
    EXPECT_EQ(tamsa_bus_contains(at, UINT64_MAX), 0);
    // The top of the 32-bit space, above the last whole slot.
    EXPECT_EQ(tamsa_bus_pointer(0xfffeffffu), nullptr);
    EXPECT_EQ(tamsa_bus_contains(0xfffefff0u, 16), 0);
    void *made = heap::allocate(64, TAMSA_MEMF_CLEAR, kOwner);
    ASSERT_NE(made, nullptr);
    const uint32_t block = address_of(made);
    EXPECT_TRUE(block >= at && block + 64 <= uint64_t(at) + pool->size) << "in the pool";
    tamsa_bus_store32(block, 0x01020304);
    EXPECT_EQ(tamsa_bus_load32(block), 0x01020304u);
    EXPECT_EQ(heap::free_owner(kOwner), 1u);
    EXPECT_EQ(heap::open_pools(), 0u);
    EXPECT_EQ(tamsa_bus_pointer(block), nullptr) << "unmapped with its process";
    EXPECT_EQ(tamsa_bus_contains(block, 4), 0);
    EXPECT_EQ(tamsa_bus_load32(block), 0u);
    tamsa_bus_store32(block, 1);  // outside: does nothing, and does not fault
}

TEST_F(Bus, RangeCheckAtTheEdges) {
    const uint64_t size = tamsa_bus_size();
    ASSERT_GT(size, 16u);
    const auto last = uint32_t(size - 1);
    EXPECT_EQ(tamsa_bus_contains(0, 0), 0) << "address 0 is null";
    EXPECT_EQ(tamsa_bus_contains(0, 4), 0);
    EXPECT_EQ(tamsa_bus_contains(1, size - 1), 1);
    EXPECT_EQ(tamsa_bus_contains(1, size), 0);
    EXPECT_EQ(tamsa_bus_contains(last, 1), 1);
    EXPECT_EQ(tamsa_bus_contains(last, 2), 0);
    EXPECT_EQ(tamsa_bus_contains(last, 0), 1);
    // Lengths that would wrap a 32- or 64-bit sum.
    EXPECT_EQ(tamsa_bus_contains(last, UINT64_MAX), 0);
    EXPECT_EQ(tamsa_bus_contains(16, uint64_t(UINT32_MAX)), 0);
    EXPECT_EQ(tamsa_bus_contains(UINT32_MAX, 1), size > UINT32_MAX ? 1 : 0);
}

TEST_F(Bus, BlockRangeCheckAtTheEdges) {
    auto *p = static_cast<uint8_t *>(PPCAllocVec(16, 0));
    ASSERT_NE(p, nullptr);
    const uint32_t a = tamsa_bus_address(p);
    EXPECT_EQ(tamsa_bus_contains_block(a, 16), 1);
    EXPECT_EQ(tamsa_bus_contains_block(a, 17), 0);
    EXPECT_EQ(tamsa_bus_contains_block(a + 8, 8), 1);
    EXPECT_EQ(tamsa_bus_contains_block(a + 8, 9), 0);
    EXPECT_EQ(tamsa_bus_contains_block(a + 15, 1), 1);
    EXPECT_EQ(tamsa_bus_contains_block(a - 1, 1), 0) << "the bytes before a block are not it";
    EXPECT_EQ(tamsa_bus_contains_block(a + 4, UINT64_MAX), 0);
    EXPECT_EQ(tamsa_bus_contains_block(0, 0), 0);
    PPCFreeVec(p);
    EXPECT_EQ(tamsa_bus_contains_block(a, 1), 0) << "a freed block is no longer memory to touch";
}

TEST_F(Bus, BigEndianWordsAtBusAddresses) {
    auto *p = static_cast<uint8_t *>(PPCAllocVec(8, TAMSA_MEMF_CLEAR));
    ASSERT_NE(p, nullptr);
    const uint32_t a = tamsa_bus_address(p);
    tamsa_bus_store32(a + 1, 0x11223344u);
    EXPECT_EQ(p[0], 0x00);
    EXPECT_EQ(p[1], 0x11);
    EXPECT_EQ(p[2], 0x22);
    EXPECT_EQ(p[3], 0x33);
    EXPECT_EQ(p[4], 0x44);
    EXPECT_EQ(tamsa_bus_load32(a + 1), 0x11223344u);
    EXPECT_EQ(tamsa_bus_load32(0), 0u);
    EXPECT_EQ(tamsa_bus_load32(uint32_t(tamsa_bus_size() - 2)), 0u) << "straddles the end";
    PPCFreeVec(p);
}

// Bytes of the bus's memory in [from, to) that the system holds in memory now.
uint64_t committed(uint64_t from, uint64_t to) {
    auto *base = static_cast<uint8_t *>(tamsa_bus_pointer(16)) - 16;
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    from = from / page * page;
    std::vector<unsigned char> in((to - from + page - 1) / page);
    EXPECT_EQ(mincore(base + from, to - from, in.data()), 0) << std::strerror(errno);
    return uint64_t(std::count_if(in.begin(), in.end(), [](unsigned char c) { return c & 1; })) *
           page;
}

uint64_t committed_shared() {
    return committed(0, heap::shared_bytes());
}

// The bus is this process's own memory: a forked child works on a copy of it, and neither sees
// the other's writes, as with the rest of their memory.
TEST_F(Bus, AForkedChildHasItsOwnCopy) {
    auto *p = static_cast<uint8_t *>(PPCAllocVec(64, 0));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5a, 64);
    int ready[2], back[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(back), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child's block holds what the parent wrote before the fork; it writes its own.
        const bool inherited = std::all_of(p, p + 64, [](uint8_t b) { return b == 0x5a; });
        std::memset(p, 0xc3, 64);
        char go = 0;
        (void)!write(ready[1], &go, 1);
        (void)!read(back[0], &go, 1);
        _exit(inherited && std::all_of(p, p + 64, [](uint8_t b) { return b == 0xc3; }) ? 0 : 1);
    }
    char go = 0;
    ASSERT_EQ(read(ready[0], &go, 1), 1);
    EXPECT_TRUE(std::all_of(p, p + 64, [](uint8_t b) { return b == 0x5a; }))
        << "the child's writes reached the parent";
    std::memset(p, 0x11, 64);
    ASSERT_EQ(write(back[1], &go, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child did not see its own bytes, or the parent's writes reached it";
    for (int fd : {ready[0], ready[1], back[0], back[1]}) close(fd);
    PPCFreeVec(p);
}

TEST_F(Bus, ReservedNotCommitted) {
    void *p = PPCAllocVec(1 << 20, TAMSA_MEMF_CLEAR);
    ASSERT_NE(p, nullptr);
    // Only what was touched is backed by memory: far less than the region's size.
    EXPECT_LT(committed(0, tamsa_bus_size()), heap::shared_bytes() / 16);
    PPCFreeVec(p);
}

// One write to each page, unseen by AddressSanitizer: its checks would fault its own shadow's
// pages in.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
void touch_pages(uint8_t *p, uint32_t size) {
    for (uint32_t at = 0; at < size; at += 4096) static_cast<volatile uint8_t *>(p)[at] = 1;
}

// Whether memory of this process that asks for huge pages may get them, by the system's account
// of a mapping made for the question (an emulator that passes the request by says no).
bool system_gives_huge_pages() {
    constexpr size_t kSize = size_t(4) << 20;
    void *probe = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) return false;
    bool eligible = false;
    if (madvise(probe, kSize, MADV_HUGEPAGE) == 0) {
        std::FILE *smaps = std::fopen("/proc/self/smaps", "r");
        char line[512];
        bool inside = false;
        while (smaps != nullptr && std::fgets(line, sizeof line, smaps) != nullptr) {
            unsigned long begin = 0, end = 0;
            if (std::sscanf(line, "%lx-%lx ", &begin, &end) == 2 &&
                std::strchr(line, ':') != nullptr &&
                std::strchr(line, '-') < std::strchr(line, ' ')) {
                inside = begin <= reinterpret_cast<uintptr_t>(probe) &&
                         reinterpret_cast<uintptr_t>(probe) < end;
            } else if (inside && std::strncmp(line, "THPeligible:", 12) == 0) {
                eligible = std::strtol(line + 12, nullptr, 10) == 1;
                break;
            }
        }
        if (smaps != nullptr) std::fclose(smaps);
    }
    munmap(probe, kSize);
    return eligible;
}

// A picture's fresh memory comes in huge pages where the system gives them for memory that asks
// for them: one fault per 2 MiB, not per 4 KiB.
TEST_F(Bus, FreshMemoryComesInHugePagesWhereTheSystemGivesThem) {
    if (!system_gives_huge_pages()) GTEST_SKIP() << "the system gives no huge pages here";
#if defined(__SANITIZE_THREAD__)
    // Seen under ThreadSanitizer: the bus's fresh pages still come 4 KiB at a time there.
    GTEST_SKIP() << "ThreadSanitizer's runtime faults fresh memory in small pages";
#endif
    constexpr uint32_t kMiB = 1 << 20, kHuge = 2 * kMiB;
    auto *frame = static_cast<uint8_t *>(PPCAllocVec(16 * kMiB, TAMSA_MEMF_ANY));
    ASSERT_NE(frame, nullptr);
    // The huge pages' stretches wholly inside the block, emptied first: earlier tests of this
    // process may have left pages there, or read zeros there, which small pages then back.
    auto *first = reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(frame) + kHuge - 1) &
                                              ~uintptr_t(kHuge - 1));
    const uint32_t stretches = uint32_t(frame + 16 * kMiB - first) / kHuge;
    ASSERT_EQ(madvise(first, size_t(stretches) * kHuge, MADV_DONTNEED), 0);
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    touch_pages(first, stretches * kHuge);
    getrusage(RUSAGE_THREAD, &after);
    const long faults = after.ru_minflt - before.ru_minflt;
    PPCFreeVec(frame);
    // Small pages take 512 faults a stretch; a little slack for a huge page the system could
    // not give at once.
    EXPECT_LE(faults, long(stretches) * 16) << faults << " faults for " << stretches << " x 2 MiB";
}

// Frames of some tens of megabytes made and freed over and over keep their pages; a large
// stretch freed at the top goes back to the system.
TEST_F(Bus, FreedPagesAtTheTopAreKeptUpToAReserve) {
    constexpr uint32_t kMiB = 1 << 20;
    const uint64_t before = committed_shared();
    void *frame = PPCAllocVec(48 * kMiB, TAMSA_MEMF_CLEAR);
    ASSERT_NE(frame, nullptr);
    std::memset(frame, 1, 48 * kMiB);
    // What earlier tests of this process left committed may lie under the frame.
    const uint64_t touched = committed_shared();
    PPCFreeVec(frame);
    EXPECT_GE(committed_shared(), touched - kMiB) << "a 48 MiB frame's pages were given back";
    // Past twice the reserve (192 MiB), what lies beyond it goes back.
    void *large = PPCAllocVec(420 * kMiB, TAMSA_MEMF_ANY);
    ASSERT_NE(large, nullptr);
    std::memset(large, 1, 420 * kMiB);
    PPCFreeVec(large);
    // The reserve, and the huge pages at its edges.
    EXPECT_LE(committed_shared(), before + 196 * kMiB)
        << "420 MiB freed at the top stayed committed";
    EXPECT_GE(committed_shared(), touched - kMiB) << "the reserve was given back too";
}

TEST_F(Bus, ThreadsAllocateWithoutOverlap) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            tamsa_test::Rng rng{uint64_t(t)};
            std::vector<std::pair<uint8_t *, uint32_t>> held;
            for (int i = 0; i < kRounds; ++i) {
                if (held.size() < 16 && rng.below(3) != 0) {
                    const uint32_t n = 1 + rng.below(300);
                    auto *p = static_cast<uint8_t *>(PPCAllocVec(n, 0));
                    if (p == nullptr) {
                        ++failures[t];
                        continue;
                    }
                    std::memset(p, t + 1, n);
                    held.emplace_back(p, n);
                } else if (!held.empty()) {
                    auto [p, n] = held.back();
                    held.pop_back();
                    for (uint32_t k = 0; k < n; ++k) {
                        if (p[k] != t + 1) ++failures[t];
                    }
                    PPCFreeVec(p);
                }
            }
            for (auto [p, n] : held) PPCFreeVec(p);
        });
    }
    for (auto &t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// Junk over [p, p + size), as careless code could write it: unseen by
// AddressSanitizer, whose red zones around the blocks lie in that range.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
void scribble(uint8_t *p, uint64_t size) {
    uint64_t i = 0;
    for (; i < size && (reinterpret_cast<uintptr_t>(p + i) & 7) != 0; ++i)
        static_cast<volatile uint8_t *>(p)[i] = 0x5a;
    for (; i + 8 <= size; i += 8)
        *reinterpret_cast<volatile uint64_t *>(p + i) = 0x5a5a5a5a5a5a5a5aull;
    for (; i < size; ++i) static_cast<volatile uint8_t *>(p)[i] = 0x5a;
}

// Nothing the allocator keeps is in the bus: junk written over every byte outside the live
// blocks, as a careless or hostile client with the bus mapped could write it, changes nothing
// that the allocator reports or does.
TEST_F(Bus, WritesOutsideBlocksCannotHurtTheAllocator) {
    ASSERT_BUS_EMPTY();
    const uint32_t sizes[] = {0, 1, 15, 16, 17, 100, 4096, 65539, 1u << 20};
    std::vector<held> live;
    std::vector<uint8_t *> freed;
    uint8_t fill = 1;
    for (uint32_t owner : {0u, 7u, 8u}) {
        for (uint32_t size : sizes) {
            live.push_back(make(size, owner, fill++));
            ASSERT_NE(live.back().p, nullptr);
        }
    }
    // Free runs between live blocks too.
    for (size_t i = 1; i < live.size(); i += 3) {
        freed.push_back(live[i].p);
        PPCFreeVec(live[i].p);
        live[i].p = nullptr;
    }
    std::erase_if(live, [](const held &h) { return h.p == nullptr; });
    std::sort(live.begin(), live.end(),
              [](const held &x, const held &y) { return x.address() < y.address(); });
    const auto before = snapshot();

    const uint64_t bus_size = heap::shared_bytes();
    auto *view = static_cast<uint8_t *>(tamsa_bus_pointer(16)) - 16;
    uint64_t from = 0;
    for (const held &h : live) {
        scribble(view + from, h.address() - from);
        from = h.address() + h.size;
    }
    scribble(view + from, bus_size - from);
    // The scribble cost a gigabyte of memory; give back what lies above the last block.
    const uint64_t top = (from + 4095) / 4096 * 4096;
    EXPECT_EQ(madvise(view + top, bus_size - top, MADV_DONTNEED), 0);

    EXPECT_EQ(snapshot(), before);
    for (const held &h : live) EXPECT_TRUE(intact(h));
    EXPECT_EQ(heap::usage_of(7).blocks, 6u);
    for (uint8_t *p : freed) PPCFreeVec(p);  // no longer blocks: ignored
    EXPECT_EQ(snapshot(), before);

    // New blocks land clear of the old ones, and everything still frees and merges.
    std::vector<held> more;
    for (uint32_t size : sizes) {
        more.push_back(make(size, 9, 0xee));
        ASSERT_NE(more.back().p, nullptr);
    }
    for (const held &h : live) EXPECT_TRUE(intact(h));
    for (const held &h : more) EXPECT_TRUE(intact(h));
    for (const held &h : live) PPCFreeVec(h.p);
    EXPECT_EQ(heap::free_owner(9), std::size(sizes));
    EXPECT_EQ(snapshot().blocks, 0u);
    void *whole = PPCAllocVec(uint32_t(bus_size - (1u << 20)), TAMSA_MEMF_ANY);
    EXPECT_NE(whole, nullptr);
    PPCFreeVec(whole);
}

TEST_F(Bus, OwnerComesFromTheArgumentOrTheThreadsScope) {
    std::vector<std::pair<void *, uint32_t>> made;  // block, the owner it must have
    made.emplace_back(PPCAllocVec(8, 0), heap::kThisProcess);
    {
        heap::owner_scope outer(5);
        made.emplace_back(PPCAllocVec(8, 0), 5);
        {
            heap::owner_scope inner(6);
            made.emplace_back(PPCAllocVec(8, 0), 6);
            made.emplace_back(heap::allocate(8, 0, 9), 9);
            EXPECT_EQ(heap::current_owner(), 6u);
        }
        made.emplace_back(PPCAllocVec(8, 0), 5);
        std::thread([&made] { made.emplace_back(PPCAllocVec(8, 0), heap::kThisProcess); }).join();
    }
    made.emplace_back(PPCAllocVec(8, 0), heap::kThisProcess);
    EXPECT_EQ(heap::current_owner(), heap::kThisProcess);
    for (size_t i = 0; i < made.size(); ++i) {
        ASSERT_NE(made[i].first, nullptr);
        const auto found = heap::find_block(address_of(made[i].first));
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->owner, made[i].second) << "block " << i;
    }
    EXPECT_EQ(heap::usage_of(5), (owner_usage{2, 16}));
    EXPECT_EQ(heap::usage_of(6), (owner_usage{1, 8}));
    EXPECT_EQ(heap::usage_of(9), (owner_usage{1, 8}));
    for (auto [p, owner] : made) PPCFreeVec(p);
    for (uint32_t owner : {5u, 6u, 9u}) EXPECT_EQ(heap::usage_of(owner), owner_usage{});
}

TEST_F(Bus, LimitsHandOversAndOwnedFrees) {
    constexpr uint32_t kClient = 21, kOther = 22;
    ASSERT_TRUE(heap::set_owner_limit(kClient, 100));
    void *a = heap::allocate(60, 0, kClient);
    EXPECT_EQ(heap::allocate(41, 0, kClient), nullptr) << "past the limit";
    void *b = heap::allocate(40, 0, kClient);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(heap::usage_of(kClient), (owner_usage{2, 100}));
    void *mine = PPCAllocVec(1, 0);
    ASSERT_NE(mine, nullptr);
    const uint32_t m = address_of(mine), ma = address_of(a);

    const struct {
        const char *what;
        uint32_t address, from, to;
        bool done;
        uint32_t owner_after;
    } steps[] = {
        {"from the wrong owner", m, kClient, kOther, false, 0},
        {"past the limit", m, 0, kClient, false, 0},
        {"inside a block", m + 1, 0, kOther, false, 0},
        {"handed over", m, 0, kOther, true, kOther},
        {"handed back", m, kOther, 0, true, 0},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(heap::give_block(step.address, step.from, step.to), step.done) << step.what;
        EXPECT_EQ(heap::find_block(m)->owner, step.owner_after) << step.what;
        EXPECT_EQ(heap::usage_of(kOther).blocks, step.owner_after == kOther ? 1u : 0u);
    }

    EXPECT_FALSE(heap::free_block(ma, kOther)) << "not its block";
    EXPECT_FALSE(heap::free_block(ma + 16, kClient)) << "not a block's start";
    EXPECT_EQ(heap::usage_of(kClient), (owner_usage{2, 100}));
    EXPECT_TRUE(heap::free_block(ma, kClient));
    EXPECT_FALSE(heap::free_block(ma, kClient)) << "twice";
    EXPECT_EQ(heap::usage_of(kClient), (owner_usage{1, 40}));
    PPCFreeVec(b);
    PPCFreeVec(mine);
    EXPECT_TRUE(heap::set_owner_limit(kClient, heap::kNoLimit));
}

// Owners in one account share its limit, whatever they already held, through allocations and
// hand-overs; every owner with an account counts towards the cap; an owner freed leaves it.
TEST_F(Bus, AccountsShareALimitUnderACap) {
    constexpr uint32_t kOne = 41, kTwo = 42, kThird = 43;
    void *before = heap::allocate(30, 0, kOne);
    ASSERT_NE(before, nullptr);
    ASSERT_TRUE(heap::join_account(kOne, 7, 100));
    EXPECT_FALSE(heap::join_account(kOne, 8, 100)) << "in an account already";
    ASSERT_TRUE(heap::join_account(kTwo, 7, 100));
    ASSERT_TRUE(heap::join_account(kThird, 9, 1000));
    EXPECT_TRUE(heap::over_limit(kTwo, 71)) << "what kOne held before counts";
    EXPECT_EQ(heap::allocate(71, 0, kTwo), nullptr);
    void *two = heap::allocate(70, 0, kTwo);
    ASSERT_NE(two, nullptr);
    void *mine = PPCAllocVec(10, 0);
    ASSERT_NE(mine, nullptr);
    EXPECT_FALSE(heap::give_block(address_of(mine), 0, kOne)) << "the account is full";
    EXPECT_TRUE(heap::give_block(address_of(two), kTwo, kOne)) << "within the account";
    EXPECT_TRUE(heap::give_block(address_of(mine), 0, kThird));

    heap::set_clients_cap(150);
    EXPECT_TRUE(heap::over_limit(kThird, 41)) << "110 held by all, 41 more pass the cap";
    EXPECT_FALSE(heap::over_limit(kThird, 40));
    EXPECT_FALSE(heap::over_limit(heap::kThisProcess, 1000)) << "no account, no cap";
    heap::set_clients_cap(heap::kNoLimit);

    EXPECT_EQ(heap::free_owner(kOne), 2u);
    EXPECT_FALSE(heap::over_limit(kTwo, 100)) << "its blocks left the account";
    EXPECT_EQ(heap::free_owner(kTwo), 0u);
    EXPECT_EQ(heap::free_owner(kThird), 1u);
    void *free_again = heap::allocate(500, 0, kOne);
    EXPECT_NE(free_again, nullptr) << "the account went with its owners";
    PPCFreeVec(free_again);
}

TEST_F(Bus, FreeingAnOwnerFreesOnlyItsBlocksAndForgetsItsLimit) {
    constexpr uint32_t kGone = 31, kStays = 32;
    ASSERT_TRUE(heap::set_owner_limit(kGone, 10000));
    std::vector<held> stay;
    for (uint32_t i = 0; i < 30; ++i) {
        const uint32_t owner = i % 3 == 0 ? kGone : i % 3 == 1 ? kStays : heap::kThisProcess;
        held h = make(1 + i * 37, owner, uint8_t(i + 1));
        ASSERT_NE(h.p, nullptr);
        if (owner != kGone) stay.push_back(h);
    }
    EXPECT_EQ(heap::free_owner(kGone), 10u);
    EXPECT_EQ(heap::usage_of(kGone), owner_usage{});
    for (const held &h : stay) EXPECT_TRUE(intact(h));
    held big = make(20000, kGone, 1);
    EXPECT_NE(big.p, nullptr) << "the limit went with the owner";
    EXPECT_EQ(heap::free_owner(kGone), 1u);
    EXPECT_EQ(heap::free_owner(kStays), 10u);
    EXPECT_EQ(heap::free_owner(kStays), 0u);
    for (const held &h : stay) {
        if (h.owner == heap::kThisProcess) PPCFreeVec(h.p);
    }
}

// What a server needs after serving a client: exactly the blocks that one operation made and
// left live, never a block made by someone else, even at an address the operation once had.
TEST_F(Bus, AllocationLogKeepsExactlyWhatAnOperationLeftLive) {
    constexpr uint32_t kClient = 41;
    void *before = PPCAllocVec(32, 0);
    void *meanwhile = nullptr, *nested = nullptr;
    std::vector<void *> reusers;
    uint32_t reused = 0;
    std::vector<block_info> left, inner_left;
    block_info record, pixels;
    {
        heap::owner_scope scope(kClient);
        heap::allocation_log log;
        void *scratch = PPCAllocVec(64, 0);
        auto *r = static_cast<uint8_t *>(PPCAllocVec(16, 0));
        void *p = heap::allocate(300, TAMSA_MEMF_CLEAR, kClient);
        ASSERT_TRUE(scratch != nullptr && r != nullptr && p != nullptr);
        record = {address_of(r), 16, kClient};
        pixels = {address_of(p), 300, kClient};
        std::thread([&meanwhile] { meanwhile = PPCAllocVec(16, 0); }).join();
        const uint32_t scratch_at = address_of(scratch);
        PPCFreeVec(scratch);
        std::thread([&] {
            for (int i = 0; i < 256 && reused == 0; ++i) {
                reusers.push_back(PPCAllocVec(64, 0));
                if (address_of(reusers.back()) == scratch_at) reused = scratch_at;
            }
        }).join();
        {
            heap::allocation_log inner;
            nested = PPCAllocVec(8, 0);
            inner_left = inner.live();
            PPCFreeVec(nested);
        }
        left = log.live();
    }
    ASSERT_NE(reused, 0u) << "no block was made where the freed one had been";
    EXPECT_EQ(left, (std::vector<block_info>{record, pixels}));
    ASSERT_EQ(inner_left.size(), 1u);
    EXPECT_EQ(inner_left[0].address, address_of(nested));
    PPCFreeVec(before);
    PPCFreeVec(meanwhile);
    for (void *p : reusers) PPCFreeVec(p);
    EXPECT_EQ(heap::free_owner(kClient), 2u);
}

// What an operation allocates while it serves another process comes from the part no other
// process maps; ownership, limits and frees work the same across both parts.
TEST_F(Bus, TheServersOwnPartLiesBeyondWhatOthersMap) {
    constexpr uint32_t kClient = 45;
    const uint64_t shared = heap::shared_bytes();
    ASSERT_LT(shared, tamsa_bus_size());
    ASSERT_TRUE(heap::set_owner_limit(kClient, 120));
    held own, own_too, back_out;
    bool limited = false;
    {
        heap::owner_scope scope(kClient);
        heap::area_scope where(heap::area::server_only);
        EXPECT_EQ(heap::current_area(), heap::area::server_only);
        heap::allocation_log log;
        own = make(100, kClient, 3);
        own_too = make(20, kClient, 4);
        EXPECT_EQ(heap::allocate(1, 0, kClient), nullptr) << "past the limit in this part";
        limited = log.refused_by_limit();
        {
            heap::area_scope out(heap::area::shared);
            back_out = make(100, kClient, 5);
        }
    }
    EXPECT_EQ(heap::current_area(), heap::area::shared);
    EXPECT_TRUE(limited);
    for (const held &h : {own, own_too}) {
        ASSERT_NE(h.p, nullptr);
        EXPECT_GE(h.address(), shared);
        EXPECT_LT(uint64_t(h.address()) + h.size, tamsa_bus_size());
        EXPECT_TRUE(intact(h));
    }
    ASSERT_NE(back_out.p, nullptr);
    EXPECT_LT(uint64_t(back_out.address()) + back_out.size, shared);
    EXPECT_EQ(heap::usage_of(kClient), (owner_usage{3, 220}));
    EXPECT_FALSE(heap::owns_range(kClient, own.address() + 90, 20)) << "past the block's end";
    EXPECT_EQ(heap::free_owner(kClient), 3u);
    EXPECT_EQ(heap::find_block(own.address()), std::nullopt);
}

// The log tells a refusal by the owner's limit from any other failed allocation.
TEST_F(Bus, AllocationLogTellsARefusalByTheLimit) {
    constexpr uint32_t kClient = 46;
    ASSERT_TRUE(heap::set_owner_limit(kClient, 64));
    const struct {
        const char *what;
        uint32_t size;
        uint32_t fail_nth;
        bool made, limited;
    } rows[] = {
        {"within the limit", 64, 0, true, false},
        {"past the limit", 65, 0, false, true},
        {"an injected failure", 8, 1, false, false},
    };
    for (const auto &row : rows) {
        heap::allocation_log log;
        tamsa_alloc_fail_nth(row.fail_nth);
        void *p = heap::allocate(row.size, 0, kClient);
        tamsa_alloc_fail_nth(0);
        EXPECT_EQ(p != nullptr, row.made) << row.what;
        EXPECT_EQ(log.refused_by_limit(), row.limited) << row.what;
        PPCFreeVec(p);
    }
    EXPECT_TRUE(heap::set_owner_limit(kClient, heap::kNoLimit));
}

TEST_F(Bus, FailNthCountsAllocationsOfEveryOwner) {
    constexpr uint32_t kClient = 51;
    std::vector<block_info> left;
    // An operation served for a client: its result, server scratch, and the result's pixels.
    const uint32_t allocations = tamsa_test::sweep_alloc_failures([&left] {
        heap::owner_scope scope(kClient);
        heap::allocation_log log;
        void *record = PPCAllocVec(10, 0);
        void *scratch = heap::allocate(20, 0, heap::kThisProcess);
        void *pixels = record != nullptr && scratch != nullptr ? PPCAllocVec(30, 0) : nullptr;
        PPCFreeVec(scratch);
        if (pixels == nullptr) {
            PPCFreeVec(record);
            EXPECT_TRUE(log.live().empty());
            EXPECT_EQ(heap::usage_of(kClient), owner_usage{});
            return false;
        }
        left = log.live();
        PPCFreeVec(record);
        PPCFreeVec(pixels);
        return true;
    });
    EXPECT_EQ(allocations, 3u);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].owner, kClient);
    EXPECT_EQ(left[1].size, 30u);
}

TEST_F(Bus, FreedSpaceMergesBackIntoOneRun) {
    ASSERT_BUS_EMPTY();
    const auto nearly_all = uint32_t(heap::shared_bytes() - (1u << 20));
    tamsa_test::Rng rng{3};
    for (int round = 0; round < 3; ++round) {
        std::vector<void *> blocks;
        for (int i = 0; i < 3000; ++i) {
            blocks.push_back(PPCAllocVec(rng.below(50) == 0 ? 1u << 20 : rng.below(5000), 0));
            ASSERT_NE(blocks.back(), nullptr);
        }
        EXPECT_EQ(PPCAllocVec(nearly_all, 0), nullptr) << "the bus is not that empty yet";
        while (!blocks.empty()) {
            const size_t k = rng.below(uint32_t(blocks.size()));
            PPCFreeVec(blocks[k]);
            blocks[k] = blocks.back();
            blocks.pop_back();
        }
        held whole{static_cast<uint8_t *>(PPCAllocVec(nearly_all, 0)), nearly_all};
        ASSERT_NE(whole.p, nullptr) << "round " << round;
        // Found from anywhere inside, across the marks the freed blocks left.
        EXPECT_TRUE(found(whole));
        PPCFreeVec(whole.p);
    }
}

TEST_F(Bus, OwnedRangeCheckAtTheEdges) {
    constexpr uint32_t kClient = 71;
    void *p = heap::allocate(16, 0, kClient);
    void *next = PPCAllocVec(16, 0);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(next, nullptr);
    const uint32_t a = address_of(p);
    const struct {
        int32_t offset;
        uint64_t length;
        uint32_t owner;
        bool inside;
    } rows[] = {
        {0, 16, kClient, true}, {0, 17, kClient, false},     {8, 8, kClient, true},
        {15, 1, kClient, true}, {0, 0, kClient, true},       {-1, 1, kClient, false},
        {0, 16, 0, false},      {0, 16, kClient + 1, false}, {4, UINT64_MAX, kClient, false},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(heap::owns_range(row.owner, uint32_t(a + row.offset), row.length), row.inside)
            << "offset " << row.offset << " length " << row.length << " owner " << row.owner;
    }
    EXPECT_EQ(heap::find_block(a + 15), (block_info{a, 16, kClient}));
    EXPECT_EQ(heap::find_block(0), std::nullopt);
    PPCFreeVec(p);
    EXPECT_EQ(heap::find_block(a + 8), std::nullopt);
    EXPECT_FALSE(heap::owns_range(kClient, a, 1));
    PPCFreeVec(next);
}

TEST_F(Bus, GapsAroundBlocksArePoisonedUnderTheSanitizer) {
#ifndef TAMSA_TEST_ASAN
    GTEST_SKIP() << "only AddressSanitizer builds have red zones";
#else
    for (uint32_t size : {0u, 1u, 16u, 100u}) {
        auto *p = static_cast<uint8_t *>(PPCAllocVec(size, 0));
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(__asan_address_is_poisoned(p - 1)) << size;
        EXPECT_TRUE(__asan_address_is_poisoned(p + size)) << size;
        EXPECT_EQ(__asan_region_is_poisoned(p, size), nullptr) << size;
        PPCFreeVec(p);
        EXPECT_FALSE(__asan_address_is_poisoned(p - 1)) << size;
        EXPECT_FALSE(__asan_address_is_poisoned(p + size)) << size;
    }
#endif
}

// Random allocations, frees and hand-overs against a model of what must be live: no two blocks
// overlap, no block's bytes change under the others, and the counts agree throughout.
class BusModel : public LeakCheck, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(BusModel, RandomTrafficAgreesWithAModel) {
    SCOPED_TRACE("seed " + std::to_string(GetParam()));
    tamsa_test::Rng rng{GetParam()};
    const uint32_t owners[] = {heap::kThisProcess, 61, 62};
    const auto base = snapshot();
    const owner_usage base_self = heap::usage_of(heap::kThisProcess);
    std::map<uint32_t, held> model;
    const auto check_counts = [&] {
        std::map<uint32_t, owner_usage> expected{{0, base_self}, {61, {}}, {62, {}}};
        tamsa_test::alloc_snapshot total = base;
        for (const auto &[address, h] : model) {
            ++expected[h.owner].blocks;
            expected[h.owner].bytes += h.size;
            ++total.blocks;
            total.bytes += h.size;
        }
        for (const auto &[owner, use] : expected) {
            if (heap::usage_of(owner) != use) return false;
        }
        return snapshot() == total;
    };
    for (int step = 0; step < 4000; ++step) {
        const uint32_t action = rng.below(20);
        if (model.empty() || action < 11) {
            const uint32_t size = rng.below(8) == 0 ? rng.below(1u << 17) : rng.below(600);
            held h = make(size, owners[rng.below(3)], uint8_t(1 + rng.below(255)));
            ASSERT_NE(h.p, nullptr) << "step " << step;
            const uint32_t a = h.address();
            ASSERT_EQ(a % 16, 0u);
            const auto after = model.lower_bound(a);
            if (after != model.end()) {
                ASSERT_LE(uint64_t(a) + std::max(size, 1u), after->first);
            }
            if (after != model.begin()) {
                const held &before = std::prev(after)->second;
                ASSERT_LE(uint64_t(before.address()) + std::max(before.size, 1u), a);
            }
            model[a] = h;
        } else {
            const auto it = std::next(model.begin(), rng.below(uint32_t(model.size())));
            held &h = it->second;
            const uint32_t stranger = owners[(rng.below(2) + 1 + h.owner % 3) % 3];
            ASSERT_NE(stranger, h.owner);
            if (action < 18) {
                const uint32_t a = it->first;
                if (action < 15) {
                    PPCFreeVec(h.p);
                } else {
                    ASSERT_FALSE(heap::free_block(a, stranger));
                    ASSERT_TRUE(heap::free_block(a, h.owner));
                }
                model.erase(it);
                ASSERT_EQ(heap::find_block(a), std::nullopt) << "step " << step;
            } else {
                ASSERT_FALSE(heap::give_block(it->first, stranger, h.owner));
                ASSERT_TRUE(heap::give_block(it->first, h.owner, stranger));
                h.owner = stranger;
            }
        }
        ASSERT_TRUE(check_counts()) << "step " << step;
        if (step % 250 == 0) {
            for (const auto &[address, h] : model) ASSERT_TRUE(intact(h)) << "step " << step;
        }
    }
    for (const auto &[address, h] : model) ASSERT_TRUE(intact(h));
    for (const auto &[address, h] : model) {
        if (h.owner == heap::kThisProcess) PPCFreeVec(h.p);
    }
    heap::free_owner(61);
    heap::free_owner(62);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BusModel, ::testing::Values(1, 2, 3));

}  // namespace
