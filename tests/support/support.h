// Shared test support: a fixture that proves nothing is left allocated, seeded random input,
// guarded bus buffers, owners for library results, and the allocation-failure sweep.
#ifndef TAMSA_TESTS_SUPPORT_H
#define TAMSA_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/test_hooks.h"
#include "tamsa/internal/sizes.h"
#include "tamsa/internal/testing.h"
#include "tamsa/tamsa.h"

namespace tamsa_test {

struct alloc_snapshot {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    bool operator==(const alloc_snapshot &) const = default;
};

inline alloc_snapshot snapshot() {
    alloc_snapshot s;
    tamsa_alloc_stats(&s.blocks, &s.bytes);
    return s;
}

// Every test of the library derives from this: whatever a test allocates in the bus, it must
// have given back by the end.
class LeakCheck : public ::testing::Test {
   protected:
    void SetUp() override { before_ = snapshot(); }
    void TearDown() override {
        tamsa_alloc_fail_nth(0);
        tamsa::use_plain_kernels(false);
        tamsa::force_vector_target(0);
        const alloc_snapshot after = snapshot();
        EXPECT_EQ(after.blocks, before_.blocks) << "blocks left allocated";
        EXPECT_EQ(after.bytes, before_.bytes) << "bytes left allocated";
    }

   private:
    alloc_snapshot before_;
};

// A small deterministic generator; each test seeds its own and reports the seed on failure.
class Rng {
   public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9e3779b97f4a7c15ull + 1) {}
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return uint32_t(state_ >> 16);
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : next() % n; }
    uint8_t byte() { return uint8_t(next()); }
    void fill(uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; ++i) p[i] = byte();
    }

   private:
    uint64_t state_;
};

// A block in the bus with guard bytes on both sides, checked when it goes away, so that a write
// past either end fails the test even without AddressSanitizer.
class BusBuffer {
   public:
    static constexpr uint32_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xa5;

    explicit BusBuffer(uint32_t size, uint8_t fill = 0);
    ~BusBuffer();
    BusBuffer(const BusBuffer &) = delete;
    BusBuffer &operator=(const BusBuffer &) = delete;

    uint8_t *data() const { return data_; }
    uint32_t size() const { return size_; }
    uint32_t address() const { return tamsa_bus_address(data_); }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(data_, data_ + size_); }
    uint8_t &operator[](size_t i) const { return data_[i]; }
    bool guards_intact() const;

   private:
    uint8_t *block_ = nullptr;
    uint8_t *data_ = nullptr;
    uint32_t size_ = 0;
};

// Runs check once with the plain kernels, then with the fast ones on every vector target this
// CPU offers (once, when the library has no vector kernels); the best kernels run again after.
template <class Check>
void each_kernel(Check check) {
    {
        SCOPED_TRACE("plain kernels");
        tamsa::use_plain_kernels(true);
        check();
        tamsa::use_plain_kernels(false);
    }
    const std::vector<int64_t> targets = tamsa::vector_targets();
    if (targets.empty()) {
        SCOPED_TRACE("fast kernels");
        check();
    }
    for (int64_t target : targets) {
        SCOPED_TRACE(std::string("vector kernels for ") + tamsa::vector_target_name(target));
        tamsa::force_vector_target(target);
        check();
    }
    tamsa::force_vector_target(0);
}

struct bitmap_deleter {
    void operator()(kv_bitmap *b) const { kv_freebitmap(b); }
};
using BitmapPtr = std::unique_ptr<kv_bitmap, bitmap_deleter>;

// A bitmap filled with seeded random bytes.
BitmapPtr random_bitmap(int32_t width, int32_t height, int32_t bytesperpixel, uint64_t seed);

inline std::vector<uint8_t> pixels(const kv_bitmap &b) {
    const int64_t n = tamsa::bitmap_bytes(&b);
    return n <= 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(b.data, b.data + n);
}

// Runs op once for every allocation it makes, failing that one allocation. op returns whether
// it succeeded and frees whatever it made. Each failing run must report failure and leave the
// allocator as it found it; the sweep ends with the first run that makes all its allocations,
// which must succeed. Returns the number of allocations op makes.
template <class Op>
uint32_t sweep_alloc_failures(Op op) {
    for (uint32_t n = 1; n < 1000; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        const alloc_snapshot before = snapshot();
        tamsa_alloc_fail_nth(n);
        const bool ok = op();
        const bool fired = tamsa_alloc_fail_nth(0) == 0;
        if (!fired) {
            EXPECT_TRUE(ok) << "run without an injected failure failed";
            return n - 1;
        }
        EXPECT_FALSE(ok) << "an allocation failure was reported as success";
        EXPECT_EQ(snapshot(), before) << "a failure left memory allocated";
    }
    ADD_FAILURE() << "op never finished its allocations";
    return 0;
}

}  // namespace tamsa_test

#endif
