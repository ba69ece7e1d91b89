// Packing of B for the fp32 row-vector product (layout in gemm_kernels.h).
#include "impl_x86/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {

void packRowVectorFp32(const float* B, int K, int N, float* packed) {
    const int blocks = K / 16;
    const int groups = N / 4;
    float* out = packed;
    for (int g = 0; g < groups; ++g)
        for (int b = 0; b < blocks; ++b)
            for (int col = 0; col < 4; ++col)
                for (int i = 0; i < 16; ++i)
                    *out++ = B[size_t(16 * b + i) * N + 4 * g + col];
    for (int n = 4 * groups; n < N; ++n)
        for (int k = 0; k < 16 * blocks; ++k) *out++ = B[size_t(k) * N + n];
}

}  // namespace gemm
}  // namespace YNet
