#pragma once
// Gated recurrent unit. Blobs (X, Y, S): X is the input sequence, Y the
// output sequence, S the hidden state, which is both an output and an input
// and keeps its buffer between runs so the state carries from frame to frame.
// W is 3H x I, R is 3H x H, both row-major with gate blocks z, r, n; B holds
// the input biases (z, r, n) followed by the recurrent biases (z, r, n).
#include <cstdint>
#include <vector>

#include "impl_x86/gru/gru_kernels.h"
#include "impl_x86/gru/gru_qkernels.h"
#include "ynet/layer.h"

namespace YNet {

namespace core {

class GRU : public Layer {
public:
    int32_t hiddenSize = 0;
    int32_t sequenceOutput = 0;
    int32_t hardSigmoid = 0;
    int32_t linearBeforeReset = 0;
    int32_t quantGroup = 0;
    Tensor* W = nullptr;
    Tensor* R = nullptr;
    Tensor* B = nullptr;
    // Quantized weight lists only: x and h quantization, W and R row scales.
    Tensor* xQuant = nullptr;
    Tensor* hQuant = nullptr;
    Tensor* wScales = nullptr;
    Tensor* rScales = nullptr;
    float* gx = nullptr;
    float* gh = nullptr;
    float* gates = nullptr;

    GRU(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    ~GRU() override;

    bool reshape() override;

protected:
    // Time steps of the current input: the first of X.n, X.h, X.w that is
    // at least 2, else 1.
    uint32_t steps() const;

private:
    void assignWeights();
};

}  // namespace core

namespace simd {
class GRU : public core::GRU {
public:
    using core::GRU::GRU;
};
}  // namespace simd

namespace x86 {

class GRU : public simd::GRU {
public:
    bool packed = false;
    // Float variants: packed float rows. Quantized variants: packed 8-bit
    // rows in packedW / packedR and the packed W group scales in packedQuant.
    void* packedW = nullptr;
    float* packedQuant = nullptr;
    void* packedR = nullptr;

    GRU(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    ~GRU() override;

    bool forward(core::RunEnv& env) override;

private:
    enum class Variant { Packed8, Packed4, GenericFma, GenericSse };
    Variant choose(const core::RunEnv& env) const;
    int packedBlockRows = 0;  // float: 8 or 4; quantized: 32 or 16 once packed
    uint32_t packedInputs = 0;  // input width the packed rows were made for
    std::vector<int16_t> wideX, wideH;  // widened quantized vectors

    bool pack(int blockRows, int chunk);
    bool runFloat(const core::RunEnv& env, Variant variant);
    bool runSequence(const gru::StepArgs& args, float* state);

    // Quantized variants (gru_x86_quant.cpp).
    int quantBlockRows() const;  // 32 (AVX2), 16 (SSE4.1) or 0: not runnable
    bool quantInputsReady() const;
    bool packQuant(int blockRows);
    bool runQuant(const core::RunEnv& env);
};

// Points a weight tensor's float data at a packed copy the layer owns, as a
// (1, 1, rows, cols) tensor; an owned previous buffer is freed.
void rebindPacked(Tensor& t, float* buffer, uint32_t rows, uint32_t cols);

}  // namespace x86

}  // namespace YNet
