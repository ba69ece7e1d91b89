#include "impl_x86/conv/x86_conv.h"

#include <algorithm>
#include <cstring>

#include "impl_x86/activation/activation_kernels.h"
#include "ynet/layer_registry.h"

namespace YNet {
namespace x86 {

namespace {

// Widest channel block of any kernel: the bias copy is padded by it.
constexpr int kMaxBlock = 32;

conv::Shape shapeOf(const core::Conv& l, int group) {
    const Tensor& in = *l.inputs[0];
    const Tensor& out = *l.outputs[0];
    conv::Shape s;
    s.g = {int(in.h),  int(in.w),  int(in.c),    int(out.h),  int(out.w),
           int(out.c), l.kernelH,  l.kernelW,    l.strideH,   l.strideW,
           l.dilationH, l.dilationW, l.padTop,   l.padLeft,   group};
    s.padRight = l.padRight;
    s.padBottom = l.padBottom;
    s.inputHasFloat = in.f32() != nullptr;
    s.weightFitsCode36 = l.weight->layout == kNCHW || l.weight->layout == kOuterInnermostCFirst;
    return s;
}

act::Fused takeActivation(Layer& l, conv::Fusion fusion) {
    switch (fusion) {
        case conv::Fusion::ReluSkip: return act::takeFollower(l, act::kindBit(act::kRelu), false);
        case conv::Fusion::RectifiersSkip: return act::takeFollower(l, act::kReluClipLeaky, false);
        case conv::Fusion::RectifiersRemoved:
            return act::takeFollower(l, act::kReluClipLeaky, true);
        default: return {};
    }
}

// `floats` floats of a buffer the layer keeps; null when it cannot grow.
float* reserve(Tensor& buffer, size_t floats) {
    buffer.set(1, 1, 1, uint32_t(std::max<size_t>(floats, 1)), kNHWC);
    return buffer.floatData();
}

// Float input; an input holding only 8-bit data is dequantized into
// `copy` (value = (q - zeroPoint) * scale).
const float* inputFloats(Tensor& in, Tensor& copy) {
    if (in.f32() || !in.u8()) return in.floatData();
    const size_t count = size_t(in.n) * in.h * in.w * in.c;
    float* floats = reserve(copy, count);
    if (!floats) return nullptr;
    for (size_t i = 0; i < count; ++i)
        floats[i] = (float(in.u8()[i]) - in.zeroPoint[0]) * in.scale[0];
    return floats;
}

// The bias (`have` values at `src`) with zeros past OC up to a whole block
// of any kernel.
const float* paddedBias(const float* src, size_t have, Tensor& copy, int oc) {
    const size_t size = size_t(oc + kMaxBlock);
    have = std::min(size_t(oc), have);
    float* bias = reserve(copy, size);
    if (!bias) return nullptr;
    std::memcpy(bias, src, have * sizeof(float));
    std::fill(bias + have, bias + size, 0.0f);
    return bias;
}

bool runKernel(core::Conv& l, ConvBuffers& b, conv::KernelId id, const conv::Shape& s,
               bool transposedWeight) {
    const conv::KernelInfo& k = conv::kernelInfo(id);
    const float* w = l.weight->floatData(k.weightCode, transposedWeight);
    const float* src = l.bias->floatData();
    float* out = l.outputs[0]->floatData();
    if (!w || !src || !out) return false;
    const float* in = inputFloats(*l.inputs[0], b.inputCopy);
    const float* bias = paddedBias(src, l.bias->floatCapacity(), b.biasCopy, s.g.oc);
    float* scratch = reserve(b.scratch, conv::scratchFloats(id, s.g));
    if (!in || !bias || !scratch) return false;
    const act::Fused f = takeActivation(l, k.fusion);
    k.run({s.g, in, w, bias, out, f.kind, f.param, scratch});
    return true;
}

}  // namespace

conv::KernelId Conv::selectKernel(const core::RunEnv& env) const {
    return conv::selectConv(shapeOf(*this, 1), CpuInfo::get(), env.halfPrecision);
}

bool Conv::forward(core::RunEnv& env) {
    if (!shapesAgree(Kind::Forward)) return false;
    const conv::KernelId id = selectKernel(env);
    return id != conv::KernelId::None && runKernel(*this, buffers, id, shapeOf(*this, 1), false);
}

YNET_REGISTER_LAYER(3, "Conv", Conv);

conv::KernelId DeConv::selectKernel(const core::RunEnv& env) const {
    return conv::selectDeconv(shapeOf(*this, int(group)), CpuInfo::get(), env.halfPrecision);
}

bool DeConv::forward(core::RunEnv& env) {
    if (!shapesAgree(Kind::Transposed)) return false;
    return runKernel(*this, buffers, selectKernel(env), shapeOf(*this, int(group)), true);
}

YNET_REGISTER_LAYER(3, "ConvTranspose", DeConv);

}  // namespace x86
}  // namespace YNet
