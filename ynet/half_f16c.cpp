#include "ynet/half_f16c.h"

#include <immintrin.h>

namespace YNet {

size_t halfToFloatF16c(size_t count, const uint16_t* src, float* dst) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
    }
    return i;
}

size_t floatToHalfF16c(size_t count, const float* src, uint16_t* dst) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
    }
    return i;
}

}  // namespace YNet
