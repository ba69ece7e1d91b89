#pragma once
// Depthwise (and grouped) convolution and depthwise transposed convolution
// layers on the shared convolution base. The kernels and their choice are
// the x86 library's.
#include "ynet/layers/conv/conv_base.h"

namespace YNet {
namespace core {

// Depthwise when depthwiseGroup equals the output channel count, grouped
// otherwise.
class DepthwiseConv : public Conv {
public:
    uint32_t depthwiseGroup = 1;  // record word 10, 0 stored as 1

    DepthwiseConv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
};

// Per-channel transposed convolution with dilation; weight (C, KH, KW, 1).
class DepthwiseDeConv : public Conv {
public:
    uint32_t targetH = 0, targetW = 0;  // record words 11, 12; 0, 0 = none
    uint32_t depthwiseGroup = 1;        // record word 10, 0 stored as 1

    DepthwiseDeConv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    // Transposed output rule with dilation; sets neither flops nor shapeKey.
    bool reshape() override;
};

}  // namespace core

namespace simd {

class DepthwiseConv : public core::DepthwiseConv {
public:
    using core::DepthwiseConv::DepthwiseConv;
};

// Its forward picks an x86 kernel (dw_run.cpp).
class DepthwiseDeConv : public core::DepthwiseDeConv {
public:
    using core::DepthwiseDeConv::DepthwiseDeConv;
    bool forward(core::RunEnv& env) override;
};

}  // namespace simd
}  // namespace YNet
