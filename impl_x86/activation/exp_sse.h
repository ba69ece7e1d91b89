#pragma once
// 4-lane SSE2 activation traits: the shared vector traits plus the
// reciprocal and the range-reduced polynomial exponential.
// Internal linkage: included by translation units of several ISAs.
#include <emmintrin.h>

#include "impl_x86/simd/vec_sse.h"

namespace YNet {
namespace act {
namespace {

// Constants of the exponential (clamp, log2(e), split ln 2, polynomial).
constexpr float kExpHi = 0x1.61814ap+6f;       // 88.37626
constexpr float kLog2e = 0x1.715476p+0f;       // 1.442695
constexpr float kLn2Hi = 0x1.63p-1f;           // 0.693359375
constexpr float kLn2Lo = -0x1.bd0106p-13f;     // -2.1219444e-4
constexpr float kLn2Neg = -0x1.62e430p-1f;     // -0.6931472 (single-step reduction)
constexpr float kExpPoly[6] = {0x1.a0d2cep-13f, 0x1.6e879cp-10f, 0x1.111210p-7f,
                               0x1.555382p-5f,  0x1.555554p-3f,  0x1.0p-1f};

struct Sse4 : vec::Sse4 {
    template <bool kExact>
    static V recip(V v) {
        return kExact ? _mm_div_ps(_mm_set1_ps(1.0f), v) : _mm_rcp_ps(v);
    }
    static V exp(V t) {
        t = _mm_min_ps(_mm_max_ps(t, set1(-kExpHi)), set1(kExpHi));
        const V f = _mm_add_ps(_mm_mul_ps(t, set1(kLog2e)), set1(0.5f));
        // floor(f): truncate, then step down where truncation went up.
        V k = _mm_cvtepi32_ps(_mm_cvttps_epi32(f));
        k = _mm_sub_ps(k, _mm_and_ps(_mm_cmpgt_ps(k, f), set1(1.0f)));
        const V r = _mm_sub_ps(_mm_sub_ps(t, _mm_mul_ps(k, set1(kLn2Hi))),
                               _mm_mul_ps(k, set1(kLn2Lo)));
        V p = set1(kExpPoly[0]);
        for (int i = 1; i < 6; ++i) p = _mm_add_ps(_mm_mul_ps(p, r), set1(kExpPoly[i]));
        const V y = _mm_add_ps(_mm_add_ps(_mm_mul_ps(p, _mm_mul_ps(r, r)), r), set1(1.0f));
        const __m128i e =
            _mm_slli_epi32(_mm_add_epi32(_mm_cvttps_epi32(k), _mm_set1_epi32(127)), 23);
        return _mm_mul_ps(y, _mm_castsi128_ps(e));
    }
};

}  // namespace
}  // namespace act
}  // namespace YNet
