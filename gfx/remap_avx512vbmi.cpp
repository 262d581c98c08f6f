// Byte tables and the colour cube with AVX-512 VBMI: a 256-entry table is four registers, and a
// two-table byte permute (vpermt2b) looks 64 bytes up in half of it at once, which Highway 1.0.3
// does not offer. Built with its own flags; picked only where the CPU runs it.
#include <immintrin.h>

#include <cstring>

#include "gfx/remap_row.h"
#include "kernels/avx512_bytes.h"

namespace tamsa::gfx {
namespace {

using avx512::load_bytes;
using avx512::store_bytes;

// A 256-entry table in four registers; bit 7 of a byte picks the upper two, bits 0..6 an entry.
struct table256 {
    __m512i q0, q1, q2, q3;
    explicit table256(const uint8_t *t)
        : q0(_mm512_loadu_si512(t)),
          q1(_mm512_loadu_si512(t + 64)),
          q2(_mm512_loadu_si512(t + 128)),
          q3(_mm512_loadu_si512(t + 192)) {}
    __m512i operator()(__m512i x) const {
        const __m512i low = _mm512_permutex2var_epi8(q0, x, q1);
        const __m512i high = _mm512_permutex2var_epi8(q2, x, q3);
        return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
    }
};

// ---- the colour cube ----

constexpr uint32_t cube_level(uint32_t value) {
    const int32_t level = int32_t(value + 20) / 42 - 1;
    return level < 0 ? 0 : uint32_t(level);
}

// Every level boundary (64, 106, 148, 190, 232) is even, so a value and its half give the level:
// entry i holds weight * level(2i), a 128-entry table of one channel's share of the index.
struct share_table {
    alignas(64) uint8_t entries[128];
};
constexpr share_table make_shares(uint32_t weight) {
    share_table t{};
    for (uint32_t i = 0; i < 128; ++i) t.entries[i] = uint8_t(weight * cube_level(2 * i));
    return t;
}
constexpr share_table kShares[3] = {make_shares(36), make_shares(6), make_shares(1)};

// Where channel c of pixel q lies in 64 pixels' 192 bytes: byte 3q + c. The first 128 bytes are
// reached by a two-table permute of the first two vectors; the rest by a permute of the third,
// merged in where `from_third` is set.
struct channel_split {
    alignas(64) uint8_t first[64];
    alignas(64) uint8_t third[64];
    uint64_t from_third;
};
constexpr channel_split make_split(uint32_t c) {
    channel_split s{};
    for (uint32_t q = 0; q < 64; ++q) {
        const uint32_t p = 3 * q + c;
        if (p < 128) {
            s.first[q] = uint8_t(p);
        } else {
            s.third[q] = uint8_t(p - 128);
            s.from_third |= uint64_t{1} << q;
        }
    }
    return s;
}
constexpr channel_split kSplits[3] = {make_split(0), make_split(1), make_split(2)};

// One channel's share of the cube index of 64 pixels: the channel split out of their 192 bytes
// (v0, v1, v2) and looked up by its value halved (in 16-bit lanes, bit 7 of a low byte takes a
// bit of its neighbour, and the permute reads bits 0..6 only).
struct channel_share {
    __m512i first, third, low, high;
    __mmask64 from_third;
    explicit channel_share(int c)
        : first(_mm512_load_si512(kSplits[c].first)),
          third(_mm512_load_si512(kSplits[c].third)),
          low(_mm512_load_si512(kShares[c].entries)),
          high(_mm512_load_si512(kShares[c].entries + 64)),
          from_third(_cvtu64_mask64(kSplits[c].from_third)) {}
    __m512i operator()(__m512i v0, __m512i v1, __m512i v2) const {
        const __m512i channel = _mm512_mask_permutexvar_epi8(
            _mm512_permutex2var_epi8(v0, first, v1), from_third, third, v2);
        return _mm512_permutex2var_epi8(low, _mm512_srli_epi16(channel, 1), high);
    }
};

}  // namespace

void lookup_row_avx512vbmi(uint8_t *bytes, uint64_t count, const uint8_t *table) {
    const table256 t(table);
    uint64_t i = 0;
    for (; i + 128 <= count; i += 128) {
        const __m512i a = _mm512_loadu_si512(bytes + i);
        const __m512i b = _mm512_loadu_si512(bytes + i + 64);
        _mm512_storeu_si512(bytes + i, t(a));
        _mm512_storeu_si512(bytes + i + 64, t(b));
    }
    for (; i < count; i += 64) {
        const uint64_t n = count - i;
        store_bytes(bytes + i, n, t(load_bytes(bytes + i, n)));
    }
}

// Blocks of 64 pixels: all 192 source bytes are read before the 64 output bytes are written at
// or below them, so a run remapped onto itself comes out in order.
void remap24_row_avx512vbmi(const uint8_t *source, uint8_t *destination, const uint8_t *pens,
                            uint64_t pixels) {
    const channel_share red(0), green(1), blue(2);
    alignas(64) uint8_t pen_copy[256] = {};
    if (pens != nullptr) std::memcpy(pen_copy, pens, 216);
    const table256 pen_table(pen_copy);
    const auto index_of = [&](__m512i v0, __m512i v1, __m512i v2) {
        const __m512i index =
            _mm512_add_epi8(_mm512_add_epi8(red(v0, v1, v2), green(v0, v1, v2)), blue(v0, v1, v2));
        return pens != nullptr ? pen_table(index) : index;
    };
    uint64_t i = 0;
    // Two blocks at a time, their loads ahead of their stores; the source a few blocks ahead is
    // asked for early, since the frame is read at three times the rate it is written.
    constexpr uint64_t kAhead = 2048;
    const uint8_t *end = source + 3 * pixels;
    for (; i + 128 <= pixels; i += 128, source += 384) {
        if (uint64_t(end - source) >= kAhead + 384) {
            for (int k = 0; k < 384; k += 64) {
                _mm_prefetch(reinterpret_cast<const char *>(source + kAhead + k), _MM_HINT_T0);
            }
        }
        const __m512i a0 = _mm512_loadu_si512(source), a1 = _mm512_loadu_si512(source + 64),
                      a2 = _mm512_loadu_si512(source + 128);
        const __m512i b0 = _mm512_loadu_si512(source + 192), b1 = _mm512_loadu_si512(source + 256),
                      b2 = _mm512_loadu_si512(source + 320);
        const __m512i a = index_of(a0, a1, a2), b = index_of(b0, b1, b2);
        _mm512_storeu_si512(destination + i, a);
        _mm512_storeu_si512(destination + i + 64, b);
    }
    for (; i < pixels; i += 64, source += 192) {
        const uint64_t n = pixels - i;
        const uint64_t bytes = 3 * n;
        const __m512i v0 = load_bytes(source, bytes);
        const __m512i v1 =
            bytes > 64 ? load_bytes(source + 64, bytes - 64) : _mm512_setzero_si512();
        const __m512i v2 =
            bytes > 128 ? load_bytes(source + 128, bytes - 128) : _mm512_setzero_si512();
        store_bytes(destination + i, n, index_of(v0, v1, v2));
    }
}

}  // namespace tamsa::gfx
