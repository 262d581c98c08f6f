// What the video tests share: the conversion written out from its rule, and a run of a check
// under the plain and every fast kernel.
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

// The fixture of every video test; the leak check also puts the best kernels back.
class VideoTest : public tamsa_test::LeakCheck {
   protected:
    // Runs check with the plain kernels and with the fast ones on every target.
    template <class Check>
    static void both_kernels(Check check) {
        tamsa_test::each_kernel(check);
    }
};

}  // namespace video_test

#endif
