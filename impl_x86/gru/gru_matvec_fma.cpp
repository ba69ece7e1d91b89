// Packed row-block matrix-vector products. Only AVX and FMA instructions are
// used: the selector runs them on any processor with AVX and FMA.
#include <immintrin.h>

// Products and sums outside the fused accumulators stay separate roundings.
#pragma GCC optimize("fp-contract=off")

#include "impl_x86/gru/gru_kernels.h"

namespace YNet {
namespace gru {

namespace {

// Swaps the 128-bit halves and adds, so both halves hold the four pair sums.
__m256 foldHalves(__m256 a) { return _mm256_add_ps(a, _mm256_permute2f128_ps(a, a, 1)); }

// Lane r of the result is the full horizontal sum of acc[r] (r < 4).
__m128 reduce4(const __m256* acc) {
    const __m256 h01 = _mm256_hadd_ps(foldHalves(acc[0]), foldHalves(acc[1]));
    const __m256 h23 = _mm256_hadd_ps(foldHalves(acc[2]), foldHalves(acc[3]));
    return _mm256_castps256_ps128(_mm256_hadd_ps(h01, h23));
}

// One block of ROWS rows: chunks of CHUNK columns, ROWS accumulators of
// CHUNK/8 fused multiply-adds each.
template <int ROWS, int CHUNK>
void packedBlock(const float* v, const float* w, const float* bias, float* out, int K) {
    constexpr int kVecs = CHUNK / 8;
    __m256 acc[ROWS];
    for (auto& a : acc) a = _mm256_setzero_ps();
    const int chunks = K / CHUNK;
    for (int c = 0; c < chunks; ++c, w += ROWS * CHUNK) {
        __m256 x[kVecs];
        for (int i = 0; i < kVecs; ++i) x[i] = _mm256_loadu_ps(v + c * CHUNK + 8 * i);
        for (int r = 0; r < ROWS; ++r)
            for (int i = 0; i < kVecs; ++i)
                acc[r] = _mm256_fmadd_ps(_mm256_loadu_ps(w + r * CHUNK + 8 * i), x[i], acc[r]);
    }
    alignas(32) float sums[ROWS];
    for (int q = 0; q < ROWS / 4; ++q) _mm_store_ps(sums + 4 * q, reduce4(acc + 4 * q));
    for (int r = 0; r < ROWS; ++r) sums[r] += bias[r];
    const int tail = K - chunks * CHUNK;
    for (int k = 0; k < tail; ++k) {
        const float vk = v[chunks * CHUNK + k];
        for (int r = 0; r < ROWS; ++r) sums[r] += w[r * tail + k] * vk;
    }
    for (int r = 0; r < ROWS; ++r) out[r] = sums[r];
}

template <int ROWS, int CHUNK>
void matVecPacked(const float* v, const float* w, const float* bias, float* out, int K,
                  int rows) {
    for (int b = 0; b < rows; b += ROWS)
        packedBlock<ROWS, CHUNK>(v, w + size_t(b) * K, bias + b, out + b, K);
}

}  // namespace

void matVecPacked8Fma(const float* v, const float* w, const float* bias, float* out, int K,
                      int rows) {
    matVecPacked<8, 32>(v, w, bias, out, K, rows);
}

void matVecPacked4Fma(const float* v, const float* w, const float* bias, float* out, int K,
                      int rows) {
    matVecPacked<4, 16>(v, w, bias, out, K, rows);
}

}  // namespace gru
}  // namespace YNet
