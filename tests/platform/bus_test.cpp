#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/bus.h"
#include "platform/ppc.h"
#include "support.h"

namespace {

using tamsa_test::LeakCheck;
using tamsa_test::snapshot;

class Bus : public LeakCheck {};

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

TEST_F(Bus, SecondMappingSeesTheSameBytes) {
    auto *p = static_cast<uint8_t *>(PPCAllocVec(64, 0));
    ASSERT_NE(p, nullptr);
    const int fd = tamsa::platform::bus_fd();
    ASSERT_GE(fd, 0);
    const uint64_t size = tamsa_bus_size();
    void *other = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
    ASSERT_NE(other, MAP_FAILED);
    auto *view = static_cast<uint8_t *>(other) + tamsa_bus_address(p);
    view[0] = 0x5a;
    p[1] = 0xc3;
    EXPECT_EQ(p[0], 0x5a);
    EXPECT_EQ(view[1], 0xc3);
    munmap(other, size);
    PPCFreeVec(p);
}

TEST_F(Bus, ReservedNotCommitted) {
    void *p = PPCAllocVec(1 << 20, TAMSA_MEMF_CLEAR);
    ASSERT_NE(p, nullptr);
    struct stat st {};
    ASSERT_EQ(fstat(tamsa::platform::bus_fd(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), tamsa_bus_size());
    // Only what was touched is backed by memory: far less than the region's size.
    EXPECT_LT(uint64_t(st.st_blocks) * 512, tamsa_bus_size() / 16);
    PPCFreeVec(p);
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

}  // namespace
