// Byte runs: RGB pixels reduced to the colour cube, bytes translated through a table, and the
// small run operations (xor, repeat, take every n-th byte). They allocate nothing and report
// nothing; a null run with bytes to touch is left alone.
#include <array>
#include <cstring>

#include "tamsa/internal/testing.h"

namespace {

// The cube level of one channel value: 0..63 is level 0, then a level every 42 values.
constexpr uint32_t cube_level(uint32_t value) {
    const int32_t level = int32_t(value + 20) / 42 - 1;
    return level < 0 ? 0 : uint32_t(level);
}

void remap24_row(const uint8_t *source, uint8_t *destination, const uint8_t *pen_table,
                 size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, source += 3) {
        // All three bytes are read before the output byte is written: the run may be remapped
        // onto itself.
        const uint32_t index =
            cube_level(source[0]) * 36 + cube_level(source[1]) * 6 + cube_level(source[2]);
        destination[i] = pen_table != nullptr ? pen_table[index] : uint8_t(index);
    }
}

// Each channel's share of the cube index, per value.
constexpr std::array<uint8_t, 256> level_table(uint32_t weight) {
    std::array<uint8_t, 256> table{};
    for (uint32_t v = 0; v < 256; ++v) table[v] = uint8_t(cube_level(v) * weight);
    return table;
}
constexpr auto kRedShare = level_table(36);
constexpr auto kGreenShare = level_table(6);
constexpr auto kBlueShare = level_table(1);

template <bool Pens>
void remap24_row_fast(const uint8_t *source, uint8_t *destination, const uint8_t *pen_table,
                      size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, source += 3) {
        const uint8_t index =
            uint8_t(kRedShare[source[0]] + kGreenShare[source[1]] + kBlueShare[source[2]]);
        destination[i] = Pens ? pen_table[index] : index;
    }
}

}  // namespace

extern "C" {

void kv_remap24(const uint8_t *source, uint8_t *destination, const uint8_t *pen_table,
                uint32_t count) {
    // A trailing partial pixel is not read.
    const size_t pixels = count / 3;
    if (pixels == 0 || source == nullptr || destination == nullptr) return;
    if (tamsa::plain_kernels()) {
        remap24_row(source, destination, pen_table, pixels);
    } else if (pen_table != nullptr) {
        remap24_row_fast<true>(source, destination, pen_table, pixels);
    } else {
        remap24_row_fast<false>(source, destination, nullptr, pixels);
    }
}

void kv_remap8(uint8_t *buffer, const uint8_t *table, uint32_t count) {
    if (count == 0 || buffer == nullptr || table == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) buffer[i] = table[buffer[i]];
}

void kv_xor(uint8_t *buffer, uint32_t count, int32_t value) {
    if (count == 0 || buffer == nullptr) return;
    const auto mask = uint8_t(value & 0xff);
    for (uint32_t i = 0; i < count; ++i) buffer[i] ^= mask;
}

void kv_multchunky(const uint8_t *source, uint8_t *destination, uint32_t count, uint32_t factor) {
    if (count == 0 || factor == 0 || source == nullptr || destination == nullptr) return;
    // The destination is written in one sweep, so no 32-bit index can wrap back over it.
    for (uint32_t i = 0; i < count; ++i, destination += factor) {
        std::memset(destination, source[i], factor);
    }
}

void kv_divchunky(const uint8_t *source, uint8_t *destination, uint32_t count, uint32_t step) {
    // A step of 0 would never reach the end of the run.
    if (count == 0 || step == 0 || source == nullptr || destination == nullptr) return;
    // The source index is 64-bit: a 32-bit one could wrap below count and never finish.
    for (uint64_t k = 0; k < count; k += step) *destination++ = source[k];
}

}  // extern "C"
