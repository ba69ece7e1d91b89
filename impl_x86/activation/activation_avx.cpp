// AVX activation kernels: 8 lanes, the SSE exponential algorithm (no FMA);
// AVX has no 256-bit integer shift, so 2^k is assembled in two halves.
#include <immintrin.h>

#include "impl_x86/activation/activation_loop.h"
#include "impl_x86/activation/exp_sse.h"
#include "impl_x86/simd/vec_avx.h"

namespace YNet {
namespace act {
namespace {

struct Avx8 : vec::Avx8 {
    using Half = Sse4;
    template <bool kExact>
    static V recip(V v) {
        return kExact ? _mm256_div_ps(_mm256_set1_ps(1.0f), v) : _mm256_rcp_ps(v);
    }
    static V pow2(V k) {
        const __m256i ki = _mm256_cvttps_epi32(k);
        const __m128i bias = _mm_set1_epi32(127);
        const __m128i lo = _mm_slli_epi32(_mm_add_epi32(_mm256_castsi256_si128(ki), bias), 23);
        const __m128i hi = _mm_slli_epi32(_mm_add_epi32(_mm256_extractf128_si256(ki, 1), bias), 23);
        return _mm256_castsi256_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
    }
    static V exp(V t) {
        t = min(max(t, set1(-kExpHi)), set1(kExpHi));
        const V f = add(mul(t, set1(kLog2e)), set1(0.5f));
        V k = _mm256_cvtepi32_ps(_mm256_cvttps_epi32(f));
        k = sub(k, _mm256_and_ps(_mm256_cmp_ps(k, f, _CMP_GT_OQ), set1(1.0f)));
        const V r = sub(sub(t, mul(k, set1(kLn2Hi))), mul(k, set1(kLn2Lo)));
        V p = set1(kExpPoly[0]);
        for (int i = 1; i < 6; ++i) p = add(mul(p, r), set1(kExpPoly[i]));
        const V y = add(add(mul(p, mul(r, r)), r), set1(1.0f));
        return mul(y, pow2(k));
    }
};

}  // namespace

void applyAvx(uint32_t kind, float param, const float* x, float* y, size_t n) {
    applyRange<Avx8>(kind, param, x, y, n);
}

void expAvx(const float* t, float* out, size_t n) { expRange<Avx8>(t, out, n); }

}  // namespace act
}  // namespace YNet
