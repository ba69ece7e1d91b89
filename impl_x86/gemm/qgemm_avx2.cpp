// Quantized row-vector products, AVX2: 8-column 32-bit column sums and the
// 64-column pair kernel (16-bit activations times sign-extended weights,
// multiplied and added pairwise).
#include <immintrin.h>

#include "impl_x86/gemm/gemm_kernels.h"
#include "impl_x86/gemm/qpairs_avx2.h"

namespace YNet {
namespace gemm {
namespace {

__m256i widen(const int8_t* p) {
    return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

template <class A>
void sums8(const A* a, const int8_t* w, int32_t* out, int N, int K) {
    int n = 0;
    for (; n + 8 <= N; n += 8) {
        __m256i acc = _mm256_setzero_si256();
        for (int k = 0; k < K; ++k)
            acc = _mm256_add_epi32(
                acc, _mm256_mullo_epi32(_mm256_set1_epi32(a[k]), widen(w + size_t(k) * N + n)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n), acc);
    }
    for (; n < N; ++n) {
        int32_t s = 0;
        for (int k = 0; k < K; ++k) s += int32_t(a[k]) * w[size_t(k) * N + n];
        out[n] = s;
    }
}

}  // namespace

void qsumColumnsAvx2(const int8_t* a, const int8_t* w, int32_t* out, int N, int K) {
    sums8(a, w, out, N, K);
}
void qsumColumnsAvx2(const int16_t* a, const int8_t* w, int32_t* out, int N, int K) {
    sums8(a, w, out, N, K);
}

void qgemvPairsAvx2(const int16_t* a, const int8_t* packed, const float* scale,
                    const float* bias, float* y, int N, int K) {
    const int8_t* p = packed;
    for (int j = 0; j < N; j += 64) {
        __m256i acc[8];
        for (int q = 0; q < 8; ++q) acc[q] = _mm256_setzero_si256();
        p = qpairs::accumulateAvx2<8>(a, (K + 1) / 2, p, acc);
        for (int q = 0; q < 8; ++q) {
            const int n = j + 8 * q;
            __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(acc[q]), _mm256_loadu_ps(scale + n));
            if (bias) v = _mm256_add_ps(v, _mm256_loadu_ps(bias + n));
            _mm256_storeu_ps(y + n, v);
        }
    }
}

}  // namespace gemm
}  // namespace YNet
