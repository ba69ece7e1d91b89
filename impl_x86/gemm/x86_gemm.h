#pragma once
// x86 matrix product: once-packed row-vector kernels and the quantized
// products, falling back to the generic family.
#include "impl_x86/gemm/gemm_kernels.h"
#include "ynet/layers/gemm/gemm.h"

namespace YNet {
namespace x86 {

class Gemm : public simd::Gemm {
public:
    int32_t requantMultiplier = 1;
    int32_t requantShift = 0;

    Gemm(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);

    bool forward(core::RunEnv& env) override;

private:
    bool requantReady = false;
    // N of the fp32 row-vector path, kept because packing rebinds the weight
    // tensor to (1, 1, N, K) and only NCHW weights would give N back.
    int packedColumns = 0;

    int columnsN() const { return packedColumns ? packedColumns : sizeN(); }

    bool rowVectorFp32(int n, int k);
    bool rowVectorBf16(bool wide, int n, int k);
    bool quantized();
    bool quantizedAvx2(const Tensor& a, int n, int k);
    bool quantizedSse41(const Tensor& a, int n, int k);
    bool int8Output(const Tensor& a, int n, int k, bool avx2);
    void floatFromSums(const Tensor& a, int n, int k, bool avx2);
    bool pairKernel(const Tensor& a, int n, int k);
    gemm::Requant requant();
};

}  // namespace x86
}  // namespace YNet
