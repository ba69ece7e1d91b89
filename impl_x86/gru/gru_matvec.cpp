// Row-major SSE matrix-vector product and the row-block packing.
#include <emmintrin.h>

#include "impl_x86/gru/gru_dot_tail.h"
#include "impl_x86/gru/gru_kernels.h"

namespace YNet {
namespace gru {

namespace {

float dotRowSse(const float* v, const float* row, float bias, int K) {
    __m128 acc0 = _mm_setzero_ps();
    __m128 acc1 = _mm_setzero_ps();
    int k = 0;
    for (; k + 8 <= K; k += 8) {
        acc0 = _mm_add_ps(acc0, _mm_mul_ps(_mm_loadu_ps(row + k), _mm_loadu_ps(v + k)));
        acc1 = _mm_add_ps(acc1, _mm_mul_ps(_mm_loadu_ps(row + k + 4), _mm_loadu_ps(v + k + 4)));
    }
    alignas(16) float lanes[8];
    _mm_store_ps(lanes, acc0);
    _mm_store_ps(lanes + 4, acc1);
    float sum = bias;
    for (float lane : lanes) sum += lane;
    return addTail(sum, row, v, k, K);
}

}  // namespace

void matVecSse(const float* v, const float* w, const float* bias, float* out, int K, int rows) {
    for (int j = 0; j < rows; ++j) out[j] = dotRowSse(v, w + size_t(j) * K, bias[j], K);
}

void packRows(const float* src, int rows, int K, int blockRows, int chunk, float* dst) {
    const int chunks = K / chunk;
    const int tail = K % chunk;
    for (int b = 0; b < rows / blockRows; ++b) {
        const float* block = src + size_t(b) * blockRows * K;
        for (int c = 0; c < chunks; ++c)
            for (int r = 0; r < blockRows; ++r)
                for (int k = 0; k < chunk; ++k) *dst++ = block[size_t(r) * K + c * chunk + k];
        for (int r = 0; r < blockRows; ++r)
            for (int k = 0; k < tail; ++k) *dst++ = block[size_t(r) * K + chunks * chunk + k];
    }
}

}  // namespace gru
}  // namespace YNet
