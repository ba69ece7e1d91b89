#pragma once
// Gated recurrent unit. Blobs (X, Y, S): X is the input sequence, Y the
// output sequence, S the hidden state, which is both an output and an input
// and keeps its buffer between runs so the state carries from frame to frame.
// W is 3H x I, R is 3H x H, both row-major with gate blocks z, r, n; B holds
// the input biases (z, r, n) followed by the recurrent biases (z, r, n).
#include <cstdint>

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
}  // namespace YNet
