// Quantized row-vector products, SSE4.1: 4-column 32-bit column sums.
#include <smmintrin.h>

#include <cstring>

#include "impl_x86/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {
namespace {

__m128i widen(const int8_t* p) {
    int32_t word;
    std::memcpy(&word, p, 4);
    return _mm_cvtepi8_epi32(_mm_cvtsi32_si128(word));
}

template <class A>
void sums4(const A* a, const int8_t* w, int32_t* out, int N, int K) {
    int n = 0;
    for (; n + 4 <= N; n += 4) {
        __m128i acc = _mm_setzero_si128();
        for (int k = 0; k < K; ++k)
            acc = _mm_add_epi32(
                acc, _mm_mullo_epi32(_mm_set1_epi32(a[k]), widen(w + size_t(k) * N + n)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), acc);
    }
    for (; n < N; ++n) {
        int32_t s = 0;
        for (int k = 0; k < K; ++k) s += int32_t(a[k]) * w[size_t(k) * N + n];
        out[n] = s;
    }
}

}  // namespace

void qsumColumnsSse41(const int8_t* a, const int8_t* w, int32_t* out, int N, int K) {
    sums4(a, w, out, N, K);
}
void qsumColumnsSse41(const int16_t* a, const int8_t* w, int32_t* out, int N, int K) {
    sums4(a, w, out, N, K);
}

}  // namespace gemm
}  // namespace YNet
