// Generic float products, AVX2+FMA build.
#include <immintrin.h>

#include "impl_x86/gemm/sgemm_generic.h"
#include "ynet/layers/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {
namespace {

struct AvxOps {
    using V = __m256;
    static constexpr int W = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float f) { return _mm256_set1_ps(f); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V madd(V a, V b, V acc) { return _mm256_fmadd_ps(a, b, acc); }
    static float addLanes(float s, V v) {
        alignas(32) float l[8];
        _mm256_store_ps(l, v);
        for (float f : l) s += f;
        return s;
    }
};

}  // namespace

void matVecAvx2(const float* mat, const float* v, const float* bias, float* y, int R, int K) {
    generic::matVec<AvxOps>(mat, v, bias, y, R, K);
}
void vecMatAvx2(const float* B, const float* x, const float* bias, float* y, int N, int K) {
    generic::vecMat<AvxOps>(B, x, bias, y, N, K);
}
void gemmAvx2(const float* A, const float* B, const float* bias, float* C, int M, int N, int K) {
    generic::gemm<AvxOps>(A, B, bias, C, M, N, K);
}
void gemmTransAAvx2(const float* A, const float* B, float* C, int M, int N, int K) {
    generic::gemmTransA<AvxOps>(A, B, C, M, N, K);
}

}  // namespace gemm
}  // namespace YNet
