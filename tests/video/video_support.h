// What the video tests share: the conversion written out from its rule, and a run of a check
// under both the plain and the fast kernels.
#ifndef TAMSA_TESTS_VIDEO_SUPPORT_H
#define TAMSA_TESTS_VIDEO_SUPPORT_H

#include <array>
#include <cmath>
#include <cstdint>
#include <new>

#include "support.h"

namespace video_test {

// A term of the integer conversion: the byte's distance from its zero point times the
// constant, truncated toward zero.
inline int32_t term(int32_t offset, double constant) {
    return int32_t(std::trunc(offset * constant));
}

inline uint8_t clamp(int64_t v) {
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

using bgr = std::array<uint8_t, 3>;

// One pixel of the integer conversion: every term truncated on its own, then summed.
inline bgr integer_pixel(uint8_t y, uint8_t u, uint8_t v) {
    const int32_t luma = term(y - 16, 1.164);
    return {clamp(luma + term(u - 128, 2.018)),
            clamp(luma - (term(u - 128, 0.391) + term(v - 128, 0.813))),
            clamp(luma + term(v - 128, 1.596))};
}

// An input plane in a bus block of exactly its size, so that under AddressSanitizer a read past
// it is caught (the guard bytes of a BusBuffer catch writes only).
class Plane {
   public:
    explicit Plane(uint32_t size)
        : p_(static_cast<uint8_t *>(PPCAllocVec(size, TAMSA_MEMF_ANY))), size_(size) {
        if (p_ == nullptr) throw std::bad_alloc();
    }
    ~Plane() { PPCFreeVec(p_); }
    Plane(const Plane &) = delete;
    Plane &operator=(const Plane &) = delete;
    uint8_t *data() const { return p_; }
    uint32_t size() const { return size_; }
    uint8_t &operator[](size_t i) const { return p_[i]; }

   private:
    uint8_t *p_;
    uint32_t size_;
};

// The fixture of every video test: the fast kernels are back on after each test.
class VideoTest : public tamsa_test::LeakCheck {
   protected:
    void TearDown() override {
        tamsa::use_plain_kernels(false);
        LeakCheck::TearDown();
    }
    // Runs check once with the plain kernels and once with the fast ones.
    template <class Check>
    static void both_kernels(Check check) {
        for (bool plain : {true, false}) {
            SCOPED_TRACE(plain ? "plain kernels" : "fast kernels");
            tamsa::use_plain_kernels(plain);
            check();
        }
        tamsa::use_plain_kernels(false);
    }
};

}  // namespace video_test

#endif
