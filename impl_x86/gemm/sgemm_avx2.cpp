// Generic float products, AVX2+FMA build.
#include "impl_x86/gemm/gemm_kernels.h"
#include "impl_x86/gemm/sgemm_generic.h"
#include "impl_x86/simd/vec_avx2.h"

namespace YNet {
namespace gemm {
namespace {

using AvxOps = vec::Avx8Fma;

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
