// Partial loads and stores of byte vectors for the kernels written with AVX-512 intrinsics: the
// bytes past a row's end are neither read nor written. Only for files built with AVX-512 BW.
// Not installed.
#ifndef TAMSA_KERNELS_AVX512_BYTES_H
#define TAMSA_KERNELS_AVX512_BYTES_H

#include <immintrin.h>

#include <cstdint>

namespace tamsa::avx512 {

// The first n bytes of a vector (n below 64).
inline __mmask64 first_bytes(uint64_t n) {
    return _cvtu64_mask64((uint64_t{1} << n) - 1);
}

// n bytes from p (all 64 from n = 64 on); masked-off bytes are not read.
inline __m512i load_bytes(const uint8_t *p, uint64_t n) {
    if (n >= 64) return _mm512_loadu_si512(p);
    return _mm512_maskz_loadu_epi8(first_bytes(n), p);
}

// The first n bytes of v to p (all 64 from n = 64 on).
inline void store_bytes(uint8_t *p, uint64_t n, __m512i v) {
    if (n >= 64) {
        _mm512_storeu_si512(p, v);
    } else {
        _mm512_mask_storeu_epi8(p, first_bytes(n), v);
    }
}

}  // namespace tamsa::avx512

#endif
