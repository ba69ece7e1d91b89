// Quantized GRU matrix-vector product, AVX2: 8 rows per 32-bit accumulator,
// blockRows / 8 accumulators per row block.
#include <immintrin.h>

#pragma GCC optimize("fp-contract=off")

#include "impl_x86/gemm/qpairs_avx2.h"
#include "impl_x86/gru/gru_qkernels.h"

namespace YNet {
namespace gru {
namespace {

template <int Q>
void blocks(const int16_t* v, const int8_t* w, const float* scales, float inScale,
            const float* bias, float* out, const QuantLayout& l, int rows) {
    const __m256 sx = _mm256_set1_ps(inScale);
    const int pairs = l.paddedRun / 2;
    for (int b = 0; b < rows; b += 8 * Q) {
        __m256 sum[Q];
        for (auto& s : sum) s = _mm256_setzero_ps();
        for (int g = 0; g < l.groups; ++g, scales += 8 * Q) {
            __m256i acc[Q];
            for (auto& a : acc) a = _mm256_setzero_si256();
            w = qpairs::accumulateAvx2<Q>(v + g * l.paddedRun, pairs, w, acc);
            for (int q = 0; q < Q; ++q) {
                const __m256 part = _mm256_mul_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(acc[q]), sx),
                                                  _mm256_loadu_ps(scales + 8 * q));
                sum[q] = _mm256_add_ps(sum[q], part);
            }
        }
        for (int q = 0; q < Q; ++q)
            _mm256_storeu_ps(out + b + 8 * q,
                             _mm256_add_ps(sum[q], _mm256_loadu_ps(bias + b + 8 * q)));
    }
}

}  // namespace

void quantMatVecAvx2(const int16_t* v, const int8_t* w, const float* scales, float inScale,
                     const float* bias, float* out, const QuantLayout& l, int rows,
                     int blockRows) {
    if (blockRows == 32)
        blocks<4>(v, w, scales, inScale, bias, out, l, rows);
    else
        blocks<2>(v, w, scales, inScale, bias, out, l, rows);
}

}  // namespace gru
}  // namespace YNet
