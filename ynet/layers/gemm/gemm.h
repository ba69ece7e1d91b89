#pragma once
// Matrix product layer: the first input read as a matrix A times the weight
// matrix B, plus an optional bias. Tensors are viewed as rows x cols
// row-major: NCHW tensors as h x w, every other layout as w x c.
#include <cstdint>

#include "ynet/layer.h"
#include "ynet/run_env.h"

namespace YNet {

namespace gemm {
uint32_t rows(const Tensor& t);
uint32_t cols(const Tensor& t);
}  // namespace gemm

namespace core {

class Gemm : public Layer {
public:
    float alpha = 1.f;  // stored, never applied
    float beta = 1.f;   // stored, never applied
    uint32_t transA = 0;
    uint32_t transB = 0;
    uint32_t floatOutput = 0;  // quantized product: nonzero = float output
    Tensor* weight = nullptr;
    Tensor* bias = nullptr;
    Tensor* inputScale = nullptr;
    Tensor* outputScale = nullptr;
    Tensor* weightScale = nullptr;  // one scale per column of B

    Gemm(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);

    bool reshape() override;
    bool prepare(RunEnv& env) override;

    // Product sizes from A, B and the transposes.
    int sizeM() const;
    int sizeN() const;
    int sizeK() const;

private:
    void expandQuantizedWeight(const RunEnv& env);
};

}  // namespace core

namespace simd {

// Generic float products; the forward, which picks the AVX2+FMA or SSE
// family, is the x86 library's (gemm_simd.cpp).
class Gemm : public core::Gemm {
public:
    uint32_t packed = 0;
    void* packedWeights = nullptr;  // layer-owned repacked B (alignedAlloc)

    Gemm(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    ~Gemm() override;

    bool forward(core::RunEnv& env) override;
};

}  // namespace simd

}  // namespace YNet
