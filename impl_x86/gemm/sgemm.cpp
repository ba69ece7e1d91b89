// Generic float products, SSE build (baseline x86-64: SSE2 only).
#include "impl_x86/gemm/gemm_kernels.h"
#include "impl_x86/gemm/sgemm_generic.h"
#include "impl_x86/simd/vec_sse.h"

namespace YNet {
namespace gemm {
namespace {

using SseOps = vec::Sse4;

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
