#include "impl_x86/depthwise/dw_run.h"

#include "ynet/layer_registry.h"
#include "ynet/layers/activation/activation_kinds.h"
#include "ynet/layers/depthwise/depthwise_conv.h"

namespace YNet {
namespace {

act::Fused takeActivation(Layer& l, dw::Fusion fusion) {
    switch (fusion) {
        case dw::Fusion::ReluSkip: return act::takeFollower(l, act::kindBit(act::kRelu), false);
        case dw::Fusion::RectifiersRemoved: return act::takeFollower(l, act::kReluClipLeaky, true);
        default: return {};
    }
}

}  // namespace

dw::Geometry depthwiseGeometry(const core::Conv& l, int group) {
    const Tensor& in = *l.inputs[0];
    const Tensor& out = *l.outputs[0];
    dw::Geometry g;
    g.inH = int(in.h);
    g.inW = int(in.w);
    g.inC = int(in.c);
    g.outH = int(out.h);
    g.outW = int(out.w);
    g.outC = int(out.c);
    g.kernelH = l.kernelH;
    g.kernelW = l.kernelW;
    g.strideH = l.strideH;
    g.strideW = l.strideW;
    g.dilationH = l.dilationH;
    g.dilationW = l.dilationW;
    g.padTop = l.padTop;
    g.padLeft = l.padLeft;
    g.group = group;
    return g;
}

bool dw::runChoice(core::Conv& l, const Choice& c, const Geometry& g) {
    if (c.path == Path::None) return false;
    const float* w = l.weight->floatData(c.weightCode, c.transposedWeight);
    const float* bias = l.bias->floatData();
    const float* in = l.inputs[0]->floatData();
    float* out = l.outputs[0]->floatData();
    if (!w || !bias || !in || !out) return false;
    const act::Fused f = takeActivation(l, c.fusion);
    const Operands ops{in, w, bias, out};
    const Activation a{f.kind, f.param};
    switch (c.path) {
        case Path::Vector: c.kernel(g, ops, a); break;
        case Path::Generic: genericDepthwise(g, ops); break;
        case Path::Dilated: dilatedDepthwise(g, ops); break;
        default: genericDepthwiseDeconv(g, ops, a); break;
    }
    return true;
}

namespace simd {

bool DepthwiseDeConv::forward(core::RunEnv& env) {
    if (!shapesAgree(Kind::DepthwiseTransposed)) return false;
    const dw::Geometry g = depthwiseGeometry(*this, int(group));
    return dw::runChoice(*this, dw::selectDepthwiseDeconv(g, CpuInfo::get(), env.halfPrecision), g);
}

YNET_REGISTER_LAYER(3, "DepthwiseDeConv", DepthwiseDeConv);

}  // namespace simd
}  // namespace YNet
