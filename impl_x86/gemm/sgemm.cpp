// Generic float products, SSE build (baseline x86-64: SSE2 only).
#include <emmintrin.h>

#include "impl_x86/gemm/sgemm_generic.h"
#include "ynet/layers/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {
namespace {

struct SseOps {
    using V = __m128;
    static constexpr int W = 4;
    static V zero() { return _mm_setzero_ps(); }
    static V set1(float f) { return _mm_set1_ps(f); }
    static V load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, V v) { _mm_storeu_ps(p, v); }
    static V madd(V a, V b, V acc) { return _mm_add_ps(acc, _mm_mul_ps(a, b)); }
    static float addLanes(float s, V v) {
        alignas(16) float l[4];
        _mm_store_ps(l, v);
        return s + l[0] + l[1] + l[2] + l[3];
    }
};

}  // namespace

void matVecSse(const float* mat, const float* v, const float* bias, float* y, int R, int K) {
    generic::matVec<SseOps>(mat, v, bias, y, R, K);
}
void vecMatSse(const float* B, const float* x, const float* bias, float* y, int N, int K) {
    generic::vecMat<SseOps>(B, x, bias, y, N, K);
}
void gemmSse(const float* A, const float* B, const float* bias, float* C, int M, int N, int K) {
    generic::gemm<SseOps>(A, B, bias, C, M, N, K);
}
void gemmTransASse(const float* A, const float* B, float* C, int M, int N, int K) {
    generic::gemmTransA<SseOps>(A, B, C, M, N, K);
}

}  // namespace gemm
}  // namespace YNet
