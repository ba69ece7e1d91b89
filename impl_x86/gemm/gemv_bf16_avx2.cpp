// bfloat16 row-vector product over the wide format: 64 output columns stay
// in eight 8-wide accumulators for the whole k loop.
#include <immintrin.h>

#include "impl_x86/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {
namespace {

// STREAMS blocks of 64 columns at once, block s at p[s] for the columns from
// j[s]. The weights come from outer caches every frame (they do not stay
// near the core), and blocks far apart in the buffer keep several read
// streams in flight; each column's sum is the same as with one block.
template <int STREAMS>
void blocks64(const float* x, const uint16_t* const* p, const float* bias, float* y, const int* j,
              int K) {
    const __m256i zero = _mm256_setzero_si256();
    __m256 acc[STREAMS][8];
    for (int s = 0; s < STREAMS; ++s)
        for (int a = 0; a < 8; ++a)
            acc[s][a] = bias ? _mm256_loadu_ps(bias + j[s] + 8 * a) : _mm256_setzero_ps();
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
        for (int a = 0; a < 8; ++a) _mm256_storeu_ps(y + j[s] + 8 * a, acc[s][a]);
}

}  // namespace

// Block b runs beside block b + half; an odd last block runs alone.
void rowVectorBf16Avx2(const float* x, const uint16_t* packed, const float* bias, float* y,
                       int N, int K) {
    const int blocks = N / 64, half = blocks / 2;
    auto at = [&](int col) { return packed + size_t(col) * K; };
    for (int b = 0; b < half; ++b) {
        const int j[2] = {64 * b, 64 * (b + half)};
        const uint16_t* p[2] = {at(j[0]), at(j[1])};
        blocks64<2>(x, p, bias, y, j, K);
    }
    if (blocks % 2) {
        const int j[1] = {64 * (blocks - 1)};
        const uint16_t* p[1] = {at(j[0])};
        blocks64<1>(x, p, bias, y, j, K);
    }
    for (int n = 64 * blocks; n < N; ++n) y[n] = bf16Dot(x, at(n), K, bias ? bias[n] : 0.f);
}

}  // namespace gemm
}  // namespace YNet
