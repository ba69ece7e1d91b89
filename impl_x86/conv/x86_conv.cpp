#include "impl_x86/conv/x86_conv.h"

#include <algorithm>
#include <cstring>

#include "ynet/layer_registry.h"
#include "ynet/layers/activation/activation_kernels.h"

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

// Float input; an input holding only 8-bit data is dequantized into
// `scratch` (value = (q - zeroPoint) * scale).
const float* inputFloats(Tensor& in, float*& scratch) {
    if (in.f32() || !in.u8()) return in.floatData();
    const size_t count = size_t(in.n) * in.h * in.w * in.c;
    scratch = static_cast<float*>(alignedAlloc(count * sizeof(float)));
    for (size_t i = 0; i < count; ++i)
        scratch[i] = (float(in.u8()[i]) - in.zeroPoint[0]) * in.scale[0];
    return scratch;
}

bool runKernel(core::Conv& l, conv::KernelId id, const conv::Shape& s, bool transposedWeight) {
    const conv::KernelInfo& k = conv::kernelInfo(id);
    const float* w = l.weight->floatData(k.weightCode, transposedWeight);
    const float* src = l.bias->floatData();
    float* out = l.outputs[0]->floatData();
    if (!w || !src || !out) return false;
    float* scratch = nullptr;
    const float* in = inputFloats(*l.inputs[0], scratch);
    if (!in) return false;
    const int oc = s.g.oc;
    float* bias = static_cast<float*>(alignedAlloc(size_t(oc + kMaxBlock) * sizeof(float)));
    std::memcpy(bias, src, std::min(size_t(oc), l.bias->floatCapacity()) * sizeof(float));
    const act::Fused f = takeActivation(l, k.fusion);
    k.run({s.g, in, w, bias, out, f.kind, f.param});
    alignedFree(scratch);
    alignedFree(bias);
    return true;
}

}  // namespace

conv::KernelId Conv::selectKernel(const core::RunEnv& env) const {
    return conv::selectConv(shapeOf(*this, 1), CpuInfo::get(), env.halfPrecision);
}

bool Conv::forward(core::RunEnv& env) {
    if (!shapesAgree(Kind::Forward)) return false;
    const conv::KernelId id = selectKernel(env);
    return id != conv::KernelId::None && runKernel(*this, id, shapeOf(*this, 1), false);
}

YNET_REGISTER_LAYER(3, "Conv", Conv);

conv::KernelId DeConv::selectKernel(const core::RunEnv& env) const {
    return conv::selectDeconv(shapeOf(*this, int(group)), CpuInfo::get(), env.halfPrecision);
}

bool DeConv::forward(core::RunEnv& env) {
    if (!shapesAgree(Kind::Transposed)) return false;
    return runKernel(*this, selectKernel(env), shapeOf(*this, int(group)), true);
}

YNET_REGISTER_LAYER(3, "ConvTranspose", DeConv);

}  // namespace x86
}  // namespace YNet
