#pragma once
// x86 convolution layers: forward picks a kernel from the layer shape and
// the processor features on every call (conv_select.h) and runs it.
#include "impl_x86/conv/conv_select.h"
#include "ynet/layers/conv/conv_simd.h"

namespace YNet {
namespace x86 {

// What a forward needs besides the layer's tensors, kept from frame to frame
// so that a forward does not allocate: the bias padded to whole channel
// blocks, the float copy of an 8-bit input and the kernel's scratch. Each
// grows when a shape needs more.
struct ConvBuffers {
    Tensor biasCopy, inputCopy, scratch;
};

class Conv : public simd::Conv {
public:
    using simd::Conv::Conv;
    bool forward(core::RunEnv& env) override;
    // The kernel forward would run now (for tools and tests).
    conv::KernelId selectKernel(const core::RunEnv& env) const;

private:
    ConvBuffers buffers;
};

class DeConv : public simd::DeConv {
public:
    using simd::DeConv::DeConv;
    bool forward(core::RunEnv& env) override;
    conv::KernelId selectKernel(const core::RunEnv& env) const;

private:
    ConvBuffers buffers;
};

}  // namespace x86
}  // namespace YNet
