#pragma once
// 8-lane AVX2 + FMA activation traits with the exponential that rounds k and
// reduces in one fused step. Internal linkage; include only from *_avx2.cpp.
#include <immintrin.h>

#include "impl_x86/activation/exp_sse.h"
#include "impl_x86/simd/vec_avx2.h"

namespace YNet {
namespace act {
namespace {

struct Avx2Fma : vec::Avx8Fma {
    using Half = Sse4;
    template <bool kExact>
    static V recip(V v) {
        return kExact ? _mm256_div_ps(_mm256_set1_ps(1.0f), v) : _mm256_rcp_ps(v);
    }
    static V exp(V t) {
        t = min(max(t, set1(-kExpHi)), set1(kExpHi));
        const V k = _mm256_round_ps(mul(t, set1(kLog2e)),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const V r = fmadd(k, set1(kLn2Neg), t);
        V p = set1(kExpPoly[0]);
        for (int i = 1; i < 6; ++i) p = fmadd(p, r, set1(kExpPoly[i]));
        const V y = fmadd(fmadd(p, r, set1(1.0f)), r, set1(1.0f));
        const __m256i e = _mm256_slli_epi32(
            _mm256_add_epi32(_mm256_cvtps_epi32(k), _mm256_set1_epi32(127)), 23);
        return mul(y, _mm256_castsi256_ps(e));
    }
};

}  // namespace

}  // namespace act
}  // namespace YNet
