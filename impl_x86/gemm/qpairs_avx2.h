#pragma once
// Inner loop of the AVX2 quantized pair products, shared by the matrix
// product and the GRU. Include only from files built with AVX2.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace YNet {
namespace qpairs {

// acc[q] (8 lanes, 8 outputs each) += a[2p]*w[2p][n] + a[2p+1]*w[2p+1][n]
// for p < pairs. The packed weights hold, per pair p, the 8*Q outputs' two
// bytes one output after another (16*Q bytes); the 8-bit weights are
// sign-extended to 16 bits and multiplied and added pairwise. Returns the
// weights past the last pair.
template <int Q>
inline const int8_t* accumulateAvx2(const int16_t* a, int pairs, const int8_t* w, __m256i* acc) {
    for (int p = 0; p < pairs; ++p, w += 16 * Q) {
        int32_t pair;
        std::memcpy(&pair, a + 2 * p, sizeof pair);  // (a[2p], a[2p+1]) in every lane
        const __m256i av = _mm256_set1_epi32(pair);
        for (int q = 0; q < Q; ++q) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 16 * q));
            acc[q] = _mm256_add_epi32(acc[q], _mm256_madd_epi16(av, _mm256_cvtepi8_epi16(bytes)));
        }
    }
    return w;
}

}  // namespace qpairs
}  // namespace YNet
