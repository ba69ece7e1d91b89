// fp32 row-vector product over the once-packed B (4 columns x 16 rows per
// step). Uses only AVX and FMA instructions.
#include <immintrin.h>

#include "impl_x86/gemm/gemm_kernels.h"
#include "impl_x86/simd/streams.h"

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

// Streams runs of Cols consecutive packed columns, run s starting at column
// n[s]; each block of 16 k is stored column after column (Cols*16 floats).
template <int Cols, int Streams>
void columns(const float* x, const float* packed, const float* bias, float* y, const int* n,
             int blocks) {
    __m256 acc[Streams][Cols];
    for (auto& s : acc)
        for (auto& a : s) a = _mm256_setzero_ps();
    const float* q[Streams];
    for (int s = 0; s < Streams; ++s) q[s] = packed + size_t(n[s]) * 16 * blocks;
    for (int b = 0; b < blocks; ++b) {
        const __m256 x0 = _mm256_loadu_ps(x + 16 * b);
        const __m256 x1 = _mm256_loadu_ps(x + 16 * b + 8);
        for (int s = 0; s < Streams; ++s)
            for (int c = 0; c < Cols; ++c) {
                acc[s][c] = _mm256_fmadd_ps(_mm256_loadu_ps(q[s]), x0, acc[s][c]);
                acc[s][c] = _mm256_fmadd_ps(_mm256_loadu_ps(q[s] + 8), x1, acc[s][c]);
                q[s] += 16;
            }
    }
    for (int s = 0; s < Streams; ++s)
        for (int c = 0; c < Cols; ++c)
            y[n[s] + c] = reduce(acc[s][c]) + (bias ? bias[n[s] + c] : 0.f);
}

}  // namespace

// Groups of 4 columns, two groups half the buffer apart per step (two
// weight streams).
void rowVectorFp32Fma(const float* x, const float* packed, const float* bias, float* y, int N,
                      int K) {
    const int blocks = K / 16, count = N / 4;
    vec::visitInTwoStreams(count, [&](auto streams, const int* g) {
        constexpr int kStreams = decltype(streams)::value;
        int n[kStreams];
        for (int s = 0; s < kStreams; ++s) n[s] = 4 * g[s];
        columns<4, kStreams>(x, packed, bias, y, n, blocks);
    });
    for (int n = 4 * count; n < N; ++n) columns<1, 1>(x, packed, bias, y, &n, blocks);
}

}  // namespace gemm
}  // namespace YNet
