// Row-major generic matrix-vector product with one 8-wide fused
// multiply-add accumulator; the selector runs it on AVX2 and FMA.
#include <immintrin.h>

// Products and sums outside the fused accumulator stay separate roundings.
#pragma GCC optimize("fp-contract=off")

#include "impl_x86/gru/gru_dot_tail.h"
#include "impl_x86/gru/gru_kernels.h"

namespace YNet {
namespace gru {

namespace {

float dotRowFma(const float* v, const float* row, float bias, int K) {
    __m256 acc = _mm256_setzero_ps();
    int k = 0;
    for (; k + 8 <= K; k += 8)
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(row + k), _mm256_loadu_ps(v + k), acc);
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, acc);
    float sum = bias;
    for (float lane : lanes) sum += lane;
    return addTail(sum, row, v, k, K);
}

}  // namespace

void matVecAvx2(const float* v, const float* w, const float* bias, float* out, int K, int rows) {
    for (int j = 0; j < rows; ++j) out[j] = dotRowFma(v, w + size_t(j) * K, bias[j], K);
}

}  // namespace gru
}  // namespace YNet
