// Byte runs: RGB pixels reduced to the colour cube, bytes translated through a table, and the
// small run operations (xor, repeat, take every n-th byte). They allocate nothing and report
// nothing; a null run with bytes to touch is left alone.
#include <array>
#include <cstring>

#include "gfx/remap_row.h"
#include "kernels/bands.h"
#include "kernels/choice.h"
#include "tamsa/internal/sizes.h"

namespace tamsa::gfx {

namespace {

// The cube level of one channel value: 0..63 is level 0, then a level every 42 values.
constexpr uint32_t cube_level(uint32_t value) {
    const int32_t level = int32_t(value + 20) / 42 - 1;
    return level < 0 ? 0 : uint32_t(level);
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
void remap24_shares(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                    uint64_t pixels) {
    for (uint64_t i = 0; i < pixels; ++i, source += 3) {
        const auto index =
            uint8_t(kRedShare[source[0]] + kGreenShare[source[1]] + kBlueShare[source[2]]);
        destination[i] = Pens ? pens[index] : index;
    }
}

// True when a destination is the source itself or meets it nowhere.
bool same_or_apart(const void *destination, uint64_t destination_bytes, const void *source,
                   uint64_t source_bytes) {
    return destination == source || !overlaps(destination, destination_bytes, source, source_bytes);
}

}  // namespace

// ---- byte table ----

void lookup_row(uint8_t *bytes, uint64_t count, const uint8_t *table) {
    for (uint64_t i = 0; i < count; ++i) bytes[i] = table[bytes[i]];
}

bool lookup_row_fast_ok(const uint8_t *bytes, uint64_t count, const uint8_t *table) {
    return !overlaps(bytes, count, table, 256);
}

void lookup(uint8_t *bytes, uint64_t count, const uint8_t *table) {
    const bool apart = lookup_row_fast_ok(bytes, count, table);
    const lookup_row_fn row = kernels::pick(lookup_row_kernels, apart);
    // A table inside the run changes as the run does: in order, on one thread.
    if (!apart) return row(bytes, count, table);
    bands::split(int64_t(count), 1, bands::kLine, [&](int64_t first, int64_t last) {
        row(bytes + first, uint64_t(last - first), table);
    });
}

// ---- colour cube ----

void remap24_row(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                 uint64_t pixels) {
    for (uint64_t i = 0; i < pixels; ++i, source += 3) {
        // All three bytes are read before the output byte is written: the run may be remapped
        // onto itself.
        const uint32_t index =
            cube_level(source[0]) * 36 + cube_level(source[1]) * 6 + cube_level(source[2]);
        destination[i] = pens != nullptr ? pens[index] : uint8_t(index);
    }
}

void remap24_row_fast(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                      uint64_t pixels) {
    if (pens != nullptr) {
        remap24_shares<true>(source, destination, pens, pixels);
    } else {
        remap24_shares<false>(source, destination, nullptr, pixels);
    }
}

kernels::level remap24_row_reach(const uint8_t *source, const uint8_t *destination,
                                 const uint8_t *pens, uint64_t pixels) {
    if (!same_or_apart(destination, pixels, source, 3 * pixels)) return kernels::level::plain;
    if (pens != nullptr && overlaps(destination, pixels, pens, 216)) return kernels::level::fast;
    return kernels::level::avx512vbmi;
}

// ---- xor ----

void xor_row(uint8_t *bytes, uint64_t count, uint8_t mask) {
    for (uint64_t i = 0; i < count; ++i) bytes[i] ^= mask;
}

// ---- repeat and thin ----

void repeat_row(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t factor) {
    // The destination is written in one sweep, so no 32-bit index can wrap back over it.
    for (uint64_t i = 0; i < count; ++i, destination += factor) {
        std::memset(destination, source[i], factor);
    }
}

bool repeat_row_fast_ok(const uint8_t *source, const uint8_t *destination, uint64_t count,
                        uint32_t factor) {
    return factor == 2 && !overlaps(destination, 2 * count, source, count);
}

void thin_row(const uint8_t *source, uint8_t *destination, uint64_t count, uint32_t step) {
    // The source index is 64-bit: a 32-bit one could wrap below count and never finish.
    for (uint64_t k = 0; k < count; k += step) *destination++ = source[k];
}

// In place, byte j is written after source bytes up to 2j + 1 are read, also in blocks.
bool thin_row_fast_ok(const uint8_t *source, const uint8_t *destination, uint64_t count,
                      uint32_t step) {
    return step == 2 && same_or_apart(destination, (count + 1) / 2, source, count);
}

void swap13_row(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    for (uint64_t i = 0; i < pixels * 3; i += 3) {
        const uint8_t first = source[i];
        destination[i] = source[i + 2];
        destination[i + 1] = source[i + 1];
        destination[i + 2] = first;
    }
}

void swap13(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    kernels::pick(swap13_row_kernels)(source, destination, pixels);
}

void pad4_row(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    for (uint64_t i = 0; i < pixels; ++i, source += 3, destination += 4) {
        destination[0] = source[0];
        destination[1] = source[1];
        destination[2] = source[2];
        destination[3] = 0;
    }
}

void pad4(const uint8_t *source, uint8_t *destination, uint64_t pixels) {
    kernels::pick(pad4_row_kernels)(source, destination, pixels);
}

}  // namespace tamsa::gfx

extern "C" {

void kv_remap24(const uint8_t *source, uint8_t *destination, const uint8_t *pen_table,
                uint32_t count) {
    // A trailing partial pixel is not read.
    const uint64_t pixels = count / 3;
    if (pixels == 0 || source == nullptr || destination == nullptr) return;
    const tamsa::kernels::level reach =
        tamsa::gfx::remap24_row_reach(source, destination, pen_table, pixels);
    const tamsa::gfx::remap24_row_fn row =
        tamsa::kernels::pick(tamsa::gfx::remap24_row_kernels, reach);
    // In place, a band's output would overwrite pixels an earlier band has still to read: only
    // runs apart from their output, and pens apart from it, go in bands.
    if (destination == source || reach != tamsa::kernels::level::avx512vbmi) {
        return row(source, destination, pen_table, pixels);
    }
    tamsa::bands::split(int64_t(pixels), 3, tamsa::bands::kLine, [&](int64_t first, int64_t last) {
        row(source + 3 * first, destination + first, pen_table, uint64_t(last - first));
    });
}

void kv_remap8(uint8_t *buffer, const uint8_t *table, uint32_t count) {
    if (count == 0 || buffer == nullptr || table == nullptr) return;
    tamsa::gfx::lookup(buffer, count, table);
}

void kv_xor(uint8_t *buffer, uint32_t count, int32_t value) {
    if (count == 0 || buffer == nullptr) return;
    const tamsa::gfx::xor_row_fn row = tamsa::kernels::pick(tamsa::gfx::xor_row_kernels);
    tamsa::bands::split(count, 1, tamsa::bands::kLine, [&](int64_t first, int64_t last) {
        row(buffer + first, uint64_t(last - first), uint8_t(value & 0xff));
    });
}

void kv_multchunky(const uint8_t *source, uint8_t *destination, uint32_t count, uint32_t factor) {
    if (count == 0 || factor == 0 || source == nullptr || destination == nullptr) return;
    // The destination holds count * factor bytes; a product beyond 32 bits is no buffer a
    // 32-bit count can describe.
    const uint64_t bytes = uint64_t(count) * factor;
    if (bytes > UINT32_MAX) return;
    const tamsa::gfx::repeat_row_fn row =
        tamsa::kernels::pick(tamsa::gfx::repeat_row_kernels,
                             tamsa::gfx::repeat_row_fast_ok(source, destination, count, factor));
    row(source, destination, count, factor);
}

void kv_divchunky(const uint8_t *source, uint8_t *destination, uint32_t count, uint32_t step) {
    // A step of 0 would never reach the end of the run.
    if (count == 0 || step == 0 || source == nullptr || destination == nullptr) return;
    const tamsa::gfx::thin_row_fn row =
        tamsa::kernels::pick(tamsa::gfx::thin_row_kernels,
                             tamsa::gfx::thin_row_fast_ok(source, destination, count, step));
    row(source, destination, count, step);
}

}  // extern "C"
