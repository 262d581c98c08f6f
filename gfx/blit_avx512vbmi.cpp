// The alpha blit's kernel for AVX-512 with VBMI, whose byte permutes across a whole vector take
// three-byte pixels apart and put them back together in two steps each; Highway has no such
// permute. Compiled with its own flags, picked only when the vector target is HWY_AVX3_DL.
#include <immintrin.h>

#include <array>

#include "gfx/blit_row.h"

namespace tamsa::gfx {
namespace {

using table = std::array<uint8_t, 64>;

// Channel c of pixels half * 32 + p, for p from 0 to 31, from two vectors of pixel bytes that
// start at byte 64 * half: byte 2p of the result, read from byte 3 * (half * 32 + p) + c.
constexpr table take_apart(int c, int half) {
    table t{};
    for (int p = 0; p < 32; ++p) t[size_t(2 * p)] = uint8_t(3 * (half * 32 + p) + c - 64 * half);
    return t;
}

// The even bytes of two vectors of 16-bit lanes, in order: 64 bytes of one channel.
constexpr table pack_even() {
    table t{};
    for (int i = 0; i < 64; ++i) t[size_t(i)] = uint8_t(2 * i);
    return t;
}

// Byte j of output vector k is channel (64k + j) % 3 of pixel (64k + j) / 3: the first two
// channels from one permute of two vectors, the third laid over them.
constexpr table put_together(int k, bool third) {
    table t{};
    for (int j = 0; j < 64; ++j) {
        const int b = 64 * k + j, p = b / 3, c = b % 3;
        t[size_t(j)] = uint8_t(third ? p : p + 64 * (c == 1));
    }
    return t;
}

constexpr uint64_t third_channel(int k) {
    uint64_t m = 0;
    for (int j = 0; j < 64; ++j) m |= uint64_t((64 * k + j) % 3 == 2) << j;
    return m;
}

alignas(64) constexpr table kApart[3][2] = {{take_apart(0, 0), take_apart(0, 1)},
                                            {take_apart(1, 0), take_apart(1, 1)},
                                            {take_apart(2, 0), take_apart(2, 1)}};
alignas(64) constexpr table kPack = pack_even();
alignas(64) constexpr table kTogether[3][2] = {{put_together(0, false), put_together(0, true)},
                                               {put_together(1, false), put_together(1, true)},
                                               {put_together(2, false), put_together(2, true)}};
constexpr uint64_t kThird[3] = {third_channel(0), third_channel(1), third_channel(2)};
constexpr __mmask64 kEven = 0x5555555555555555ull;

inline __m512i load(const table &t) {
    return _mm512_load_si512(t.data());
}

}  // namespace

// 64 pixels a step. Each channel of each half of the step's pixels lands in 16-bit lanes, where
// the weight and the blend are computed as the portable kernels do: sum / 3 is the high half of
// sum * 21846, x / 255 is (x * 32897) >> 23, both exact over every 16-bit x. The rest of the row
// takes the Highway kernel, which narrows its vectors for it.
void alpha_row_avx512vbmi(uint8_t *d, const uint8_t *s, uint64_t pixels, int32_t offset) {
    const __m512i top = _mm512_set1_epi16(int16_t(255 + offset));
    const __m512i full = _mm512_set1_epi16(255);
    const __m512i third = _mm512_set1_epi16(int16_t(21846));
    const __m512i by255 = _mm512_set1_epi16(int16_t(32897));
    uint64_t i = 0;
    for (; i + 64 <= pixels; i += 64) {
        const uint8_t *sp = s + 3 * i;
        uint8_t *dp = d + 3 * i;
        const __m512i sv[3] = {_mm512_loadu_si512(sp), _mm512_loadu_si512(sp + 64),
                               _mm512_loadu_si512(sp + 128)};
        const __m512i dv[3] = {_mm512_loadu_si512(dp), _mm512_loadu_si512(dp + 64),
                               _mm512_loadu_si512(dp + 128)};
        __m512i result[3][2];
#pragma GCC unroll 4
        for (int half = 0; half < 2; ++half) {
            __m512i sc[3], dc[3];
#pragma GCC unroll 4
            for (int c = 0; c < 3; ++c) {
                const __m512i idx = load(kApart[c][half]);
                sc[c] = _mm512_maskz_permutex2var_epi8(kEven, sv[half], idx, sv[half + 1]);
                dc[c] = _mm512_maskz_permutex2var_epi8(kEven, dv[half], idx, dv[half + 1]);
            }
            const __m512i sum = _mm512_add_epi16(_mm512_add_epi16(sc[0], sc[1]), sc[2]);
            const __m512i a =
                _mm512_min_epu16(_mm512_sub_epi16(top, _mm512_mulhi_epu16(sum, third)), full);
            const __m512i wa = _mm512_sub_epi16(full, a);
#pragma GCC unroll 4
            for (int c = 0; c < 3; ++c) {
                const __m512i x =
                    _mm512_add_epi16(_mm512_mullo_epi16(dc[c], a), _mm512_mullo_epi16(sc[c], wa));
                result[c][half] = _mm512_srli_epi16(_mm512_mulhi_epu16(x, by255), 7);
            }
        }
        __m512i channel[3];
#pragma GCC unroll 4
        for (int c = 0; c < 3; ++c) {
            channel[c] = _mm512_permutex2var_epi8(result[c][0], load(kPack), result[c][1]);
        }
#pragma GCC unroll 4
        for (int k = 0; k < 3; ++k) {
            const __m512i two =
                _mm512_permutex2var_epi8(channel[0], load(kTogether[k][0]), channel[1]);
            const __m512i out =
                _mm512_mask_permutexvar_epi8(two, kThird[k], load(kTogether[k][1]), channel[2]);
            _mm512_storeu_si512(dp + 64 * k, out);
        }
    }
    alpha_row_hwy()(d + 3 * i, s + 3 * i, pixels - i, offset);
}

}  // namespace tamsa::gfx
