#include "ynet/layers/conv/conv_base.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ynet/log.h"
#include "ynet/net.h"

namespace YNet {
namespace core {

namespace {

Tensor* firstOrNull(const std::vector<Tensor*>& list) { return list.empty() ? nullptr : list[0]; }

// The net fills the shared zero tensor; a layer built outside a net (tools,
// tests) finds it empty and fills it the same way.
Tensor* sharedZeroBias(TensorMap& weights) {
    Tensor& zero = lookup(weights, Net::kZeroTensorName);
    if (zero.count == 0) {
        zero.name = Net::kZeroTensorName;
        zero.set(1, 1, 1, Conv::kZeroBiasCount, kNHWC);
        zero.floatData();
    }
    return &zero;
}

// Replaces a single-element buffer of representation `rep` bound to the
// model image by an owned buffer holding the value once per output channel.
void widenQuantParam(Tensor* t, int rep, uint32_t oc, size_t elemBytes) {
    if (!t || oc < 2 || !t->data[rep] || t->count != 1 || !t->notOwned[rep]) return;
    uint32_t value;
    std::memcpy(&value, t->data[rep], sizeof value);
    t->data[rep] = nullptr;
    t->notOwned[rep] = false;
    t->c = oc;
    t->count = t->n * t->h * t->w * oc;
    size_t elems = t->capacity ? t->capacity : size_t(t->n) * t->h * t->w * oc;
    auto* buf = static_cast<uint8_t*>(alignedAlloc(elems * elemBytes));
    for (uint32_t i = 0; i < oc; ++i) std::memcpy(buf + i * elemBytes, &value, elemBytes);
    t->data[rep] = buf;
}

// Larger kernels, strides, pads, dilations or output sides than any model
// here uses mean a corrupt record.
constexpr int32_t kMaxGeometry = 1 << 12;

bool inRange(int32_t v, int32_t low) { return v >= low && v <= kMaxGeometry; }

// One output side from int64 arithmetic, 0 when it is not a sensible size.
uint32_t convSide(int32_t in, int32_t padA, int32_t padB, int32_t dilation, int32_t kernel, int32_t stride) {
    const int64_t span = int64_t(in) + padA + padB - int64_t(dilation) * (kernel - 1) - 1;
    const int64_t side = span < 0 ? 0 : span / stride + 1;
    return side <= kMaxGeometry ? uint32_t(side) : 0u;
}

}  // namespace

Conv::Conv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) : Layer("Unknown") {
    init(record, blobs, weights, -1, 1, true, 0, 1, true);
    const int32_t* p = record.words;
    kernelW = p[0];
    kernelH = p[1];
    padLeft = p[2];
    padRight = p[3];
    padTop = p[4];
    padBottom = p[5];
    strideW = p[6];
    strideH = p[7];
    dilationW = p[8] < 1 ? 1 : p[8];
    dilationH = p[9] < 1 ? 1 : p[9];
    group = p[10] == 0 ? 1u : uint32_t(p[10]);
    weight = firstOrNull(this->weights);
    bias = this->weights.size() >= 2 ? this->weights[1] : sharedZeroBias(weights);
    if (quantMode >= 1) {
        inputQuantParam = firstOrNull(inputQuant);
        outputQuantParam = firstOrNull(outputQuant);
        weightQuantParam = firstOrNull(weightQuant);
    }
    if (quantMode == 2) {
        inputQuantParam2 = firstOrNull(inputQuant2);
        outputQuantParam2 = firstOrNull(outputQuant2);
        weightQuantParam2 = firstOrNull(weightQuant2);
    }
}

bool Conv::validGeometry() const {
    const bool words = inRange(kernelW, 1) && inRange(kernelH, 1) && inRange(strideW, 1) && inRange(strideH, 1) &&
                       inRange(padLeft, 0) && inRange(padRight, 0) && inRange(padTop, 0) &&
                       inRange(padBottom, 0) && inRange(dilationW, 1) && inRange(dilationH, 1) &&
                       group <= uint32_t(kMaxGeometry);
    const Tensor* in = inputs.empty() ? nullptr : inputs[0];
    const bool shaped = in && !outputs.empty() && in->h >= 1 && in->w >= 1 && in->c >= 1 &&
                        in->h <= uint32_t(kMaxGeometry) && in->w <= uint32_t(kMaxGeometry);
    const bool kernel = weight && weight->count > 0 && weight->h == uint32_t(kernelH) && weight->w == uint32_t(kernelW);
    if (words && shaped && kernel) return true;
    printLog("%s: %s\n", name.c_str(), !words ? "geometry words out of range" : !shaped ? "input not shaped"
                                                                                      : "weight does not match the kernel");
    return false;
}

bool Conv::reshape() {
    if (!validGeometry()) return false;
    const Tensor& in = *inputs[0];
    Tensor& out = *outputs[0];
    const uint32_t oh = convSide(int32_t(in.h), padTop, padBottom, dilationH, kernelH, strideH);
    const uint32_t ow = convSide(int32_t(in.w), padLeft, padRight, dilationW, kernelW, strideW);
    if (oh == 0 || ow == 0) {
        printLog("%s: no output for a %u x %u input\n", name.c_str(), in.h, in.w);
        return false;
    }
    out.n = in.n;
    out.h = oh;
    out.w = ow;
    out.c = weight->n;
    out.layout = in.layout;
    out.count = out.n * out.h * out.w * out.c;
    setFlopsAndKey();
    return true;
}

bool Conv::shapesAgree(Kind kind, uint32_t groups) const {
    if (inputs.empty() || outputs.empty() || !weight || !bias) return false;
    const Tensor& in = *inputs[0];
    const Tensor& out = *outputs[0];
    // Packed transposed, the weight has its n and c exchanged.
    const uint32_t wn = weight->transposed ? weight->c : weight->n, wc = weight->transposed ? weight->n : weight->c;
    if (kind == Kind::Forward) {
        return in.n >= 1 && in.c == uint64_t(wc) * groups && out.c == wn && out.n == in.n &&
               out.h == convSide(int32_t(in.h), padTop, padBottom, dilationH, kernelH, strideH) &&
               out.w == convSide(int32_t(in.w), padLeft, padRight, dilationW, kernelW, strideW);
    }
    const bool dilated = kind == Kind::DepthwiseTransposed;
    const int64_t spanH = (int64_t(in.h) - 1) * strideH + int64_t(kernelH - 1) * (dilated ? dilationH : 1) + 1;
    const int64_t spanW = (int64_t(in.w) - 1) * strideW + int64_t(kernelW - 1) * (dilated ? dilationW : 1) + 1;
    const bool channels = dilated ? out.c == wn && in.c == out.c : in.c == wn;
    return in.n == 1 && channels && int64_t(out.h) == spanH - padTop - padBottom &&
           int64_t(out.w) == spanW - padLeft - padRight;
}

void Conv::setFlopsAndKey() {
    const Tensor& out = *outputs[0];
    uint32_t wdims = weight->n * weight->h * weight->w * weight->c;
    flops = uint64_t(wdims) * (uint64_t(out.h) * out.w) * 2;
    char key[96];
    int oc = int(out.c), oh = int(out.h), ow = int(out.w), ic = int(inputs[0]->c);
    if (kernelH == 1 && kernelW == 1)
        std::snprintf(key, sizeof key, "%dx%d_%dx%dx%dx%d", kernelH, kernelH, oc, oh, ow, ic);
    else
        std::snprintf(key, sizeof key, "%dx%d_s%dx%d_%dx%dx%dx%d", kernelH, kernelW, strideW,
                      strideH, oc, oh, ow, ic);
    shapeKey = key;
}

void Conv::reshapeTransposed(uint32_t targetH, uint32_t targetW, int32_t oc, bool dilated) {
    const Tensor& in = *inputs[0];
    Tensor& out = *outputs[0];
    int32_t ih = int32_t(in.h), iw = int32_t(in.w);
    int32_t dh = dilated ? dilationH : 1, dw = dilated ? dilationW : 1;
    int32_t spanH = (ih - 1) * strideH + (kernelH - 1) * dh + 1;
    int32_t spanW = (iw - 1) * strideW + (kernelW - 1) * dw + 1;
    int32_t oh, ow;
    if (targetH != 0 || targetW != targetH) {
        oh = int32_t(targetH);
        ow = int32_t(targetW);
        int32_t totalH = spanH - oh, totalW = spanW - ow;
        padTop = totalH / 2;
        padBottom = totalH - padTop;
        padLeft = totalW / 2;
        padRight = totalW - padLeft;
    } else {
        oh = spanH - padBottom - padTop;
        ow = spanW - padRight - padLeft;
    }
    out.n = 1;
    out.h = uint32_t(oh);
    out.w = uint32_t(ow);
    out.c = uint32_t(oc);
    out.layout = in.layout;
    out.count = out.h * out.w * out.c;
}

bool Conv::prepare(RunEnv& env) {
    if (!Layer::prepare(env)) return false;
    uint32_t oc = outputs[0]->c;
    if (quantMode >= 1) widenQuantParam(weightQuantParam, kFloat, oc, sizeof(float));
    if (quantMode == 2) widenQuantParam(weightQuantParam2, kS32, oc, sizeof(int32_t));
    return true;
}

DeConv::DeConv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights)
    : Conv(record, blobs, weights) {
    targetH = uint32_t(record.words[11]);
    targetW = uint32_t(record.words[12]);
}

bool DeConv::reshape() {
    if (!validGeometry()) return false;
    // After the kernels packed the weight transposed its n and c are swapped.
    const uint32_t perGroup = weight->transposed ? weight->n : weight->c;
    reshapeTransposed(targetH, targetW, int32_t(perGroup * group), false);
    setFlopsAndKey();
    return true;
}

}  // namespace core
}  // namespace YNet
