// One step of a cross-fade: two frames blended into a third at a level.
#include <cstring>

#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/sizes.h"
#include "video/fade_row.h"

namespace tamsa::video {

// The blend in 32 bits as the recorder does it. Levels outside 0..255 make the weights
// negative or large; the sum wraps as two's complement rather than overflow, the quotient
// truncates toward zero, and its low 8 bits are stored. Each byte of both sources is read
// before the target byte of the same index is written.
void fade_row(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
              int32_t level) {
    const auto second_weight = uint32_t(level);
    const uint32_t first_weight = 255u - uint32_t(level);
    for (uint64_t i = 0; i < count; ++i) {
        const auto sum = int32_t(second[i] * second_weight + first[i] * first_weight);
        target[i] = uint8_t(sum / 255);
    }
}

// For levels 0..255 every sum fits in 16 bits and is never negative, so the blend runs in
// unsigned 16-bit lanes. Whole blocks of a fixed size go through a local buffer, which lets the
// compiler vectorise them and lets a target that is one of the sources see each source byte
// before it is overwritten; the last part block takes the plain kernel.
void fade_row_fast(const uint8_t *first, const uint8_t *second, uint8_t *target, uint64_t count,
                   int32_t level) {
    const auto second_weight = uint16_t(level);
    const auto first_weight = uint16_t(255 - level);
    constexpr uint64_t kBlock = 256;
    uint8_t block[kBlock];
    uint64_t done = 0;
    for (; count - done >= kBlock; done += kBlock) {
        const uint8_t *a = first + done;
        const uint8_t *b = second + done;
        for (uint64_t i = 0; i < kBlock; ++i) {
            const auto sum = uint16_t(b[i] * second_weight + a[i] * first_weight);
            block[i] = uint8_t(sum / 255);
        }
        std::memcpy(target + done, block, kBlock);
    }
    fade_row(first + done, second + done, target + done, count - done, level);
}

namespace {

// True when target and source are the same buffer or do not meet at all.
bool same_or_apart(const uint8_t *target, const uint8_t *source, uint64_t count) {
    return target == source || !overlaps(target, count, source, count);
}

}  // namespace

bool fade_row_fast_ok(const uint8_t *first, const uint8_t *second, const uint8_t *target,
                      uint64_t count, int32_t level) {
    return level >= 0 && level <= 255 && same_or_apart(target, first, count) &&
           same_or_apart(target, second, count);
}

}  // namespace tamsa::video

extern "C" {

void tamsa_fadeover_ll(const uint8_t *first, const uint8_t *second, uint8_t *target, int32_t level,
                       int32_t factor_a, int32_t factor_b, int32_t factor_c) {
    const int64_t count = tamsa::fade_bytes(factor_a, factor_b, factor_c);
    if (count == 0 || first == nullptr || second == nullptr || target == nullptr) return;
    const bool fast = tamsa::video::fade_row_fast_ok(first, second, target, uint64_t(count), level);
    const tamsa::video::fade_row_fn row =
        tamsa::kernels::pick(tamsa::video::fade_row_kernels, fast);
    // A target that meets a source elsewhere than byte for byte needs the rule's order.
    const bool apart = tamsa::video::fade_row_fast_ok(first, second, target, uint64_t(count), 0);
    if (!apart) return row(first, second, target, uint64_t(count), level);
    tamsa::bands::split(count, 2, tamsa::bands::kLine, [&](int64_t from, int64_t to) {
        row(first + from, second + from, target + from, uint64_t(to - from), level);
    });
}

}  // extern "C"
