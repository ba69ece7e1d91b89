// Quantized GRU matrix-vector product, SSE4.1: 4 rows per 32-bit
// accumulator, blockRows / 4 accumulators per row block.
#include <smmintrin.h>

#include <cstring>

#include "impl_x86/gru/gru_qkernels.h"

namespace YNet {
namespace gru {
namespace {

template <int Q>
const int8_t* accumulate(const int16_t* v, int pairs, const int8_t* w, __m128i* acc) {
    for (int p = 0; p < pairs; ++p, w += 8 * Q) {
        int32_t pair;
        std::memcpy(&pair, v + 2 * p, sizeof pair);
        const __m128i av = _mm_set1_epi32(pair);
        for (int q = 0; q < Q; ++q) {
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(w + 8 * q));
            acc[q] = _mm_add_epi32(acc[q], _mm_madd_epi16(av, _mm_cvtepi8_epi16(bytes)));
        }
    }
    return w;
}

template <int Q>
void blocks(const int16_t* v, const int8_t* w, const float* scales, float inScale,
            const float* bias, float* out, const QuantLayout& l, int rows) {
    const __m128 sx = _mm_set1_ps(inScale);
    const int pairs = l.paddedRun / 2;
    for (int b = 0; b < rows; b += 4 * Q) {
        __m128 sum[Q];
        for (auto& s : sum) s = _mm_setzero_ps();
        for (int g = 0; g < l.groups; ++g, scales += 4 * Q) {
            __m128i acc[Q];
            for (auto& a : acc) a = _mm_setzero_si128();
            w = accumulate<Q>(v + g * l.paddedRun, pairs, w, acc);
            for (int q = 0; q < Q; ++q) {
                const __m128 part = _mm_mul_ps(_mm_mul_ps(_mm_cvtepi32_ps(acc[q]), sx),
                                               _mm_loadu_ps(scales + 4 * q));
                sum[q] = _mm_add_ps(sum[q], part);
            }
        }
        for (int q = 0; q < Q; ++q)
            _mm_storeu_ps(out + b + 4 * q, _mm_add_ps(sum[q], _mm_loadu_ps(bias + b + 4 * q)));
    }
}

}  // namespace

void quantMatVecSse41(const int16_t* v, const int8_t* w, const float* scales, float inScale,
                      const float* bias, float* out, const QuantLayout& l, int rows,
                      int blockRows) {
    if (blockRows == 32)
        blocks<8>(v, w, scales, inScale, bias, out, l, rows);
    else
        blocks<4>(v, w, scales, inScale, bias, out, l, rows);
}

}  // namespace gru
}  // namespace YNet
