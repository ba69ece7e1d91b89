// bfloat16 row-vector product over the wide format: 64 output columns stay
// in eight 8-wide accumulators for the whole k loop.
#include <immintrin.h>

#include "impl_x86/gemm/gemm_kernels.h"
#include "impl_x86/simd/streams.h"

namespace YNet {
namespace gemm {
namespace {

// STREAMS blocks of 64 columns at once (block s is block[s] of the format).
// Each column's sum is the same as with one block at a time.
template <int STREAMS>
void blocks64(const float* x, const uint16_t* packed, const float* bias, float* y,
              const int* block, int K) {
    const __m256i zero = _mm256_setzero_si256();
    const uint16_t* p[STREAMS];
    __m256 acc[STREAMS][8];
    for (int s = 0; s < STREAMS; ++s) {
        p[s] = packed + size_t(64) * block[s] * K;
        for (int a = 0; a < 8; ++a)
            acc[s][a] =
                bias ? _mm256_loadu_ps(bias + 64 * block[s] + 8 * a) : _mm256_setzero_ps();
    }
    for (int k = 0; k < K; ++k) {
        const __m256 xv = _mm256_set1_ps(x[k]);
        for (int s = 0; s < STREAMS; ++s)
            for (int q = 0; q < 4; ++q) {
                // Per-lane interleave with zero words puts each value in the
                // upper half of a float: columns 16q..16q+7, then +8..+15.
                const __m256i v = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i*>(p[s] + size_t(64) * k + 16 * q));
                const __m256 lo = _mm256_castsi256_ps(_mm256_unpacklo_epi16(zero, v));
                const __m256 hi = _mm256_castsi256_ps(_mm256_unpackhi_epi16(zero, v));
                acc[s][2 * q] = _mm256_fmadd_ps(lo, xv, acc[s][2 * q]);
                acc[s][2 * q + 1] = _mm256_fmadd_ps(hi, xv, acc[s][2 * q + 1]);
            }
    }
    for (int s = 0; s < STREAMS; ++s)
        for (int a = 0; a < 8; ++a) _mm256_storeu_ps(y + 64 * block[s] + 8 * a, acc[s][a]);
}

}  // namespace

// Two blocks half the matrix apart per k loop (two weight streams).
void rowVectorBf16Avx2(const float* x, const uint16_t* packed, const float* bias, float* y,
                       int N, int K) {
    const int blocks = N / 64;
    vec::visitInTwoStreams(blocks, [&](auto streams, const int* b) {
        blocks64<decltype(streams)::value>(x, packed, bias, y, b, K);
    });
    for (int n = 64 * blocks; n < N; ++n)
        y[n] = bf16Dot(x, packed + size_t(n) * K, K, bias ? bias[n] : 0.f);
}

}  // namespace gemm
}  // namespace YNet
