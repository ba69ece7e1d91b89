#pragma once
// 8-lane AVX vector traits without FMA. Internal linkage; include only from
// files built with AVX (*_avx.cpp, *_fma.cpp, *_avx2.cpp).
#include <immintrin.h>

namespace YNet {
namespace vec {
namespace {

struct Avx8 {
    using V = __m256;
    static constexpr int kLanes = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float f) { return _mm256_set1_ps(f); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
    static V max(V a, V b) { return _mm256_max_ps(a, b); }
    // a * b + c with two roundings.
    static V fmadd(V a, V b, V c) { return _mm256_add_ps(_mm256_mul_ps(a, b), c); }
    // Sum of the two halves, then pairwise within the 4 lanes.
    static float hsum(V v) {
        __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        s = _mm_add_ps(s, _mm_movehl_ps(s, s));
        s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
        return _mm_cvtss_f32(s);
    }
    // s + lane 0 + lane 1 + ..., in lane order.
    static float addLanes(float s, V v) {
        alignas(32) float l[8];
        _mm256_store_ps(l, v);
        for (float f : l) s += f;
        return s;
    }
};

}  // namespace
}  // namespace vec
}  // namespace YNet
