// bfloat16 row-vector product over the wide format: 64 output columns stay
// in eight 8-wide accumulators for the whole k loop.
#include <immintrin.h>

#include "impl_x86/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {

void rowVectorBf16Avx2(const float* x, const uint16_t* packed, const float* bias, float* y,
                       int N, int K) {
    const int full = N / 64 * 64;
    const __m256i zero = _mm256_setzero_si256();
    const uint16_t* p = packed;
    for (int j = 0; j < full; j += 64) {
        __m256 acc[8];
        for (int a = 0; a < 8; ++a)
            acc[a] = bias ? _mm256_loadu_ps(bias + j + 8 * a) : _mm256_setzero_ps();
        for (int k = 0; k < K; ++k, p += 64) {
            const __m256 xv = _mm256_set1_ps(x[k]);
            for (int q = 0; q < 4; ++q) {
                // Per-lane interleave with zero words puts each value in the
                // upper half of a float: columns 16q..16q+7, then +8..+15.
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16 * q));
                const __m256 lo = _mm256_castsi256_ps(_mm256_unpacklo_epi16(zero, v));
                const __m256 hi = _mm256_castsi256_ps(_mm256_unpackhi_epi16(zero, v));
                acc[2 * q] = _mm256_fmadd_ps(lo, xv, acc[2 * q]);
                acc[2 * q + 1] = _mm256_fmadd_ps(hi, xv, acc[2 * q + 1]);
            }
        }
        for (int a = 0; a < 8; ++a) _mm256_storeu_ps(y + j + 8 * a, acc[a]);
    }
    for (int n = full; n < N; ++n, p += K) y[n] = bf16Dot(x, p, K, bias ? bias[n] : 0.f);
}

}  // namespace gemm
}  // namespace YNet
