#pragma once
// Point-wise activation layer. The kind number (record word 0), not the type
// name, selects the function; see activation_kinds.h for the kinds.
#include "ynet/layer.h"
#include "ynet/run_env.h"

namespace YNet {
namespace core {

class Activation : public Layer {
public:
    uint32_t kind = 0;
    float alpha = 0.0f;  // clip bound (word 16 as a float)
    float beta = 0.0f;   // leaky slope (the same word)
    Tensor* slope = nullptr;  // per-channel slopes when the record names a weight

    Activation(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
};

}  // namespace core

namespace simd {

// Kinds 5 and 6 on the FMA or SSE path; the other kinds through the shared
// range kernels (identity for kinds without a function). The forward, which
// picks among the x86 kernels, is the x86 library's (activation_simd.cpp).
class Activation : public core::Activation {
public:
    using core::Activation::Activation;
    bool forward(core::RunEnv& env) override;

protected:
    // Clears `skip` of an in-place layer whose producer already applied it;
    // true when the layer has nothing left to do this run.
    bool consumeSkip();
    // Float buffers of input and output (allocated when missing), and the
    // flat element count; false when a buffer cannot be had.
    bool buffers(const float*& x, float*& y, size_t& n);
};

}  // namespace simd

}  // namespace YNet
