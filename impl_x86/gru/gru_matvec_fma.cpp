// Packed row-block matrix-vector products. Only AVX and FMA instructions are
// used: the selector runs them on any processor with AVX and FMA.
#include <immintrin.h>

// Products and sums outside the fused accumulators stay separate roundings.
#pragma GCC optimize("fp-contract=off")

#include "impl_x86/gru/gru_kernels.h"
#include "impl_x86/simd/streams.h"

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

// Reduces the ROWS accumulators of one block, adds the bias and the tail
// columns (w points at the block's tail, v at the first tail column).
template <int ROWS>
void finishBlock(const __m256* acc, const float* v, const float* w, const float* bias, float* out,
                 int tail) {
    alignas(32) float sums[ROWS];
    for (int q = 0; q < ROWS / 4; ++q) _mm_store_ps(sums + 4 * q, reduce4(acc + 4 * q));
    for (int r = 0; r < ROWS; ++r) sums[r] += bias[r];
    for (int k = 0; k < tail; ++k)
        for (int r = 0; r < ROWS; ++r) sums[r] += w[r * tail + k] * v[k];
    for (int r = 0; r < ROWS; ++r) out[r] = sums[r];
}

// STREAMS blocks of ROWS rows at once (block s is block[s] of the format):
// chunks of CHUNK columns, ROWS accumulators per block of CHUNK/8 fused
// multiply-adds each. Each row's sum is the same as with one block at a time.
template <int ROWS, int CHUNK, int STREAMS>
void packedBlocks(const float* v, const float* w, const float* bias, float* out, const int* block,
                  int K) {
    constexpr int kVecs = CHUNK / 8;
    __m256 acc[STREAMS][ROWS];
    for (auto& s : acc)
        for (auto& a : s) a = _mm256_setzero_ps();
    const float* ws[STREAMS];
    for (int s = 0; s < STREAMS; ++s) ws[s] = w + size_t(block[s]) * ROWS * K;
    const int chunks = K / CHUNK;
    for (int c = 0; c < chunks; ++c) {
        __m256 x[kVecs];
        for (int i = 0; i < kVecs; ++i) x[i] = _mm256_loadu_ps(v + c * CHUNK + 8 * i);
        const size_t at = size_t(c) * ROWS * CHUNK;
        for (int s = 0; s < STREAMS; ++s)
            for (int r = 0; r < ROWS; ++r)
                for (int i = 0; i < kVecs; ++i)
                    acc[s][r] = _mm256_fmadd_ps(_mm256_loadu_ps(ws[s] + at + r * CHUNK + 8 * i),
                                                x[i], acc[s][r]);
    }
    const int done = chunks * CHUNK;
    for (int s = 0; s < STREAMS; ++s) {
        const int row = block[s] * ROWS;
        finishBlock<ROWS>(acc[s], v + done, ws[s] + size_t(done) * ROWS, bias + row, out + row,
                          K - done);
    }
}

// Two blocks half the matrix apart per chunk loop (two weight streams).
template <int ROWS, int CHUNK>
void matVecPacked(const float* v, const float* w, const float* bias, float* out, int K,
                  int rows) {
    vec::visitInTwoStreams(rows / ROWS, [&](auto streams, const int* b) {
        packedBlocks<ROWS, CHUNK, decltype(streams)::value>(v, w, bias, out, b, K);
    });
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
