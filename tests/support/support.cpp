#include "support.h"

#include <cstdio>
#include <cstring>

namespace tamsa_test {

namespace {

// Names, before a program's tests, the vector targets each_kernel forces on this CPU, so that a
// run's log shows which ones the kernel checks covered.
class vector_targets_named : public ::testing::Environment {
   public:
    void SetUp() override {
        std::string names;
        for (int64_t target : tamsa::vector_targets()) {
            names += std::string(" ") + tamsa::vector_target_name(target);
        }
        std::printf("[ kernels  ] vector targets:%s\n", names.empty() ? " none" : names.c_str());
    }
};

[[maybe_unused]] ::testing::Environment *const named =
    ::testing::AddGlobalTestEnvironment(new vector_targets_named);

}  // namespace

BusBuffer::BusBuffer(uint32_t size, uint8_t fill) : size_(size) {
    block_ = static_cast<uint8_t *>(PPCAllocVec(size + 2 * kGuard, TAMSA_MEMF_ANY));
    if (block_ == nullptr) throw std::bad_alloc();
    std::memset(block_, kGuardByte, kGuard);
    data_ = block_ + kGuard;
    std::memset(data_, fill, size);
    std::memset(data_ + size, kGuardByte, kGuard);
}

bool BusBuffer::guards_intact() const {
    for (uint32_t i = 0; i < kGuard; ++i) {
        if (block_[i] != kGuardByte || data_[size_ + i] != kGuardByte) return false;
    }
    return true;
}

BusBuffer::~BusBuffer() {
    EXPECT_TRUE(guards_intact()) << "a write went past a buffer of " << size_ << " bytes";
    PPCFreeVec(block_);
}

BitmapPtr random_bitmap(int32_t width, int32_t height, int32_t bytesperpixel, uint64_t seed) {
    BitmapPtr b(kv_allocrawbitmap(width, height, bytesperpixel));
    if (b == nullptr) throw std::bad_alloc();
    Rng rng(seed);
    rng.fill(b->data, size_t(tamsa::bitmap_bytes(b.get())));
    return b;
}

}  // namespace tamsa_test
