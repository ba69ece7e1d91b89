// fp32 row-vector product over the once-packed B (4 columns x 16 rows per
// step). Uses only AVX and FMA instructions.
#include <immintrin.h>

#include "impl_x86/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {
namespace {

// Halves exchanged and added, then two pairwise horizontal additions.
float reduce(__m256 v) {
    __m256 s = _mm256_add_ps(v, _mm256_permute2f128_ps(v, v, 1));
    s = _mm256_hadd_ps(s, s);
    s = _mm256_hadd_ps(s, s);
    return _mm256_cvtss_f32(s);
}

// Cols consecutive packed columns, each block of 16 k stored column after
// column (Cols*16 floats per block).
template <int Cols>
void columns(const float* x, const float* p, const float* bias, float* y, int n, int blocks) {
    __m256 acc[Cols];
    for (int c = 0; c < Cols; ++c) acc[c] = _mm256_setzero_ps();
    for (int b = 0; b < blocks; ++b) {
        const __m256 x0 = _mm256_loadu_ps(x + 16 * b);
        const __m256 x1 = _mm256_loadu_ps(x + 16 * b + 8);
        for (int c = 0; c < Cols; ++c) {
            acc[c] = _mm256_fmadd_ps(_mm256_loadu_ps(p), x0, acc[c]);
            acc[c] = _mm256_fmadd_ps(_mm256_loadu_ps(p + 8), x1, acc[c]);
            p += 16;
        }
    }
    for (int c = 0; c < Cols; ++c) y[n + c] = reduce(acc[c]) + (bias ? bias[n + c] : 0.f);
}

}  // namespace

void rowVectorFp32Fma(const float* x, const float* packed, const float* bias, float* y, int N,
                      int K) {
    const int blocks = K / 16;
    const size_t perColumn = size_t(blocks) * 16;
    int n = 0;
    for (; n + 4 <= N; n += 4) columns<4>(x, packed + size_t(n) * perColumn, bias, y, n, blocks);
    for (; n < N; ++n) columns<1>(x, packed + size_t(n) * perColumn, bias, y, n, blocks);
}

}  // namespace gemm
}  // namespace YNet
