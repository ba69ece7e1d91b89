#pragma once
// x86 depthwise / grouped convolution: forward picks a kernel from the
// layer shape and the processor features on every call and runs it.
#include "impl_x86/depthwise/dw_select.h"
#include "ynet/layers/depthwise/depthwise_conv.h"

namespace YNet {
namespace x86 {

class DepthwiseConv : public simd::DepthwiseConv {
public:
    using simd::DepthwiseConv::DepthwiseConv;
    bool forward(core::RunEnv& env) override;
    // The kernel forward would run now (for tools and tests).
    dw::Choice selectKernel(const core::RunEnv& env) const;
};

}  // namespace x86
}  // namespace YNet
