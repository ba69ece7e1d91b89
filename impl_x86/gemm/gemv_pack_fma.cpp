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

// Streams runs of Cols consecutive packed columns, run s starting at column
// n[s]; each block of 16 k is stored column after column (Cols*16 floats).
// Several runs far apart in the buffer keep several weight streams in flight.
template <int Cols, int Streams>
void columns(const float* x, const float* const* p, const float* bias, float* y, const int* n,
             int blocks) {
    __m256 acc[Streams][Cols];
    for (auto& s : acc)
        for (auto& a : s) a = _mm256_setzero_ps();
    const float* q[Streams];
    for (int s = 0; s < Streams; ++s) q[s] = p[s];
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

// Groups of 4 columns from `first` on, Streams groups at a time, the
// streams a span of groups apart; returns the first group not done.
template <int Streams>
int groupsInStreams(const float* x, const float* packed, const float* bias, float* y, int first,
                    int groups, int blocks) {
    const int span = (groups - first) / Streams;
    for (int g = first; g < first + span; ++g) {
        int n[Streams];
        const float* p[Streams];
        for (int s = 0; s < Streams; ++s) {
            n[s] = 4 * (g + s * span);
            p[s] = packed + size_t(n[s]) * 16 * blocks;
        }
        columns<4, Streams>(x, p, bias, y, n, blocks);
    }
    return first + Streams * span;
}

}  // namespace

void rowVectorFp32Fma(const float* x, const float* packed, const float* bias, float* y, int N,
                      int K) {
    const int blocks = K / 16, groups = N / 4;
    const int done = groupsInStreams<2>(x, packed, bias, y, 0, groups, blocks);
    groupsInStreams<1>(x, packed, bias, y, done, groups, blocks);
    for (int n = 4 * groups; n < N; ++n) {
        const float* p[1] = {packed + size_t(n) * 16 * blocks};
        columns<1, 1>(x, p, bias, y, &n, blocks);
    }
}

}  // namespace gemm
}  // namespace YNet
