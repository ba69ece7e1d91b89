#pragma once
// 4-lane SSE2 vector traits shared by the kernel families' templates.
// Internal linkage: a translation unit built with wider ISA flags keeps its
// own copy instead of handing it to baseline callers.
#include <emmintrin.h>

namespace YNet {
namespace vec {
namespace {

struct Sse4 {
    using V = __m128;
    static constexpr int kLanes = 4;
    static V zero() { return _mm_setzero_ps(); }
    static V set1(float f) { return _mm_set1_ps(f); }
    static V load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, V v) { _mm_storeu_ps(p, v); }
    static V add(V a, V b) { return _mm_add_ps(a, b); }
    static V sub(V a, V b) { return _mm_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    static V min(V a, V b) { return _mm_min_ps(a, b); }
    static V max(V a, V b) { return _mm_max_ps(a, b); }
    // a * b + c with two roundings.
    static V fmadd(V a, V b, V c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    // Pairwise (tree) sum of the lanes.
    static float hsum(V v) {
        V s = _mm_add_ps(v, _mm_movehl_ps(v, v));
        s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
        return _mm_cvtss_f32(s);
    }
    // s + lane 0 + lane 1 + ..., in lane order.
    static float addLanes(float s, V v) {
        alignas(16) float l[4];
        _mm_store_ps(l, v);
        return s + l[0] + l[1] + l[2] + l[3];
    }
};

}  // namespace
}  // namespace vec
}  // namespace YNet
