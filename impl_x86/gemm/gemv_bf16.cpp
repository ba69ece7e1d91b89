// bfloat16 packings (both formats) and the SSE row-vector kernel over the
// narrow format. SSE2 only.
#include <emmintrin.h>

#include <cstring>

#include "impl_x86/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {

namespace {

uint32_t bits(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return u;
}
float fromBits(uint32_t u) {
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}

// Value of row k (B's rows, then B2's) at column n.
struct Source {
    const float *B, *B2;
    int K, N;
    float at(int k, int n) const {
        return k < K ? B[size_t(k) * N + n] : B2[size_t(k - K) * N + n];
    }
};

// Stored position p of a 16-column group of the wide format holds column
// kWideOrder[p] of the group.
constexpr int kWideOrder[16] = {0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15};

template <class Encode>
void pack(const Source& s, int rows, int block, const int* order, Encode enc, uint16_t* out) {
    const int full = s.N / block * block;
    for (int j = 0; j < full; j += block)
        for (int k = 0; k < rows; ++k)
            for (int i = 0; i < block; ++i) {
                const int col = order ? i / 16 * 16 + order[i % 16] : i;
                *out++ = enc(s.at(k, j + col));
            }
    for (int n = full; n < s.N; ++n)
        for (int k = 0; k < rows; ++k) *out++ = enc(s.at(k, n));
}

}  // namespace

uint16_t bf16Truncate(float v) { return uint16_t(bits(v) >> 16); }

uint16_t bf16RoundNearest(float v) {
    const uint32_t u = bits(v);
    const float x1 = fromBits(u & 0xFFFF8000u);
    const float x0 = fromBits(u & 0xFFFF0000u);
    return uint16_t(bits((x1 - x0) + v) >> 16);
}

float bf16ToFloat(uint16_t v) { return fromBits(uint32_t(v) << 16); }

float bf16Dot(const float* x, const uint16_t* column, int K, float s) {
    int k = 0;
    for (; k + 4 <= K; k += 4)
        s += bf16ToFloat(column[k]) * x[k] + bf16ToFloat(column[k + 1]) * x[k + 1] +
             bf16ToFloat(column[k + 2]) * x[k + 2] + bf16ToFloat(column[k + 3]) * x[k + 3];
    for (; k < K; ++k) s += bf16ToFloat(column[k]) * x[k];
    return s;
}

void packBf16Wide(const float* B, const float* B2, int K, int K2, int N, uint16_t* packed) {
    pack(Source{B, B2, K, N}, K + K2, 64, kWideOrder, bf16Truncate, packed);
}

void packBf16Narrow(const float* B, const float* B2, int K, int K2, int N, uint16_t* packed) {
    pack(Source{B, B2, K, N}, K + K2, 32, nullptr, bf16RoundNearest, packed);
}

void rowVectorBf16Sse(const float* x, const uint16_t* packed, const float* bias, float* y, int N,
                      int K) {
    const int full = N / 32 * 32;
    const __m128i zero = _mm_setzero_si128();
    const uint16_t* p = packed;
    for (int j = 0; j < full; j += 32) {
        __m128 acc[8];
        for (int a = 0; a < 8; ++a)
            acc[a] = bias ? _mm_loadu_ps(bias + j + 4 * a) : _mm_setzero_ps();
        for (int k = 0; k < K; ++k, p += 32) {
            const __m128 xv = _mm_set1_ps(x[k]);
            for (int q = 0; q < 4; ++q) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8 * q));
                const __m128 lo = _mm_castsi128_ps(_mm_unpacklo_epi16(zero, v));
                const __m128 hi = _mm_castsi128_ps(_mm_unpackhi_epi16(zero, v));
                acc[2 * q] = _mm_add_ps(acc[2 * q], _mm_mul_ps(lo, xv));
                acc[2 * q + 1] = _mm_add_ps(acc[2 * q + 1], _mm_mul_ps(hi, xv));
            }
        }
        for (int a = 0; a < 8; ++a) _mm_storeu_ps(y + j + 4 * a, acc[a]);
    }
    for (int n = full; n < N; ++n, p += K) y[n] = bf16Dot(x, p, K, bias ? bias[n] : 0.f);
}

}  // namespace gemm
}  // namespace YNet
