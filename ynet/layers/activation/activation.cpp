#include "ynet/layers/activation/activation.h"

#include <algorithm>
#include <cstring>

#include "ynet/layers/activation/activation_kinds.h"

namespace YNet {
namespace {

void appendOnce(std::vector<Layer*>& list, Layer* layer) {
    if (std::find(list.begin(), list.end(), layer) == list.end()) list.push_back(layer);
}

}  // namespace

namespace core {

Activation::Activation(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    kind = uint32_t(record.words[0]);
    alpha = record.wordAsFloat(16);
    beta = alpha;
    init(record, blobs, weights, -1, 1, false, 0, 0, false);
    if (inputs.empty() || outputs.empty()) return;
    Tensor* in = inputs[0];
    Tensor* out = outputs[0];
    if (in == out) {
        if (in->producer) appendOnce(in->producer->followers, this);
    } else {
        in->consumers.push_back(this);
        out->producer = this;
    }
    if (!this->weights.empty()) slope = this->weights[0];
}

}  // namespace core

namespace simd {

bool Activation::consumeSkip() {
    if (inputs[0] != outputs[0] || !skip) return false;
    skip = false;
    return true;
}

bool Activation::buffers(const float*& x, float*& y, size_t& n) {
    Tensor& in = *inputs[0];
    x = in.floatData(0, false, false, false);
    if (outputs[0]->floatCapacity() < in.floatCapacity()) return false;
    y = outputs[0]->floatData(0, false, false, false);
    n = in.floatCapacity();
    return x && y;
}

}  // namespace simd

namespace act {

Fused takeFollower(Layer& producer, uint32_t kindMask, bool markRemoved) {
    Fused f;
    if (producer.followers.empty()) return f;
    auto* a = dynamic_cast<simd::Activation*>(producer.followers[0]);
    if (!a || a->kind >= 32 || !(kindMask & kindBit(a->kind))) return f;
    (markRemoved ? a->removed : a->skip) = true;
    f.kind = a->kind;
    f.param = a->kind == kClip ? a->alpha : a->beta;
    return f;
}

}  // namespace act
}  // namespace YNet
