#include "ynet/layers/binary_op/binary_op.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace YNet {
namespace {

float combine(uint32_t op, float a, float b) {
    return op == 0 ? a + b : op == 1 ? a - b : a * b;
}

size_t elements(const Tensor& t) { return t.floatCapacity(); }

}  // namespace

namespace core {

BinaryOp::BinaryOp(const LayerRecord& record, TensorMap& blobs, TensorMap& weightMap) {
    init(record, blobs, weightMap, -1, 1, true, 0, 0, true);
    op = uint32_t(record.words[0]);
    if (type == "Mul") op = 2;
    if (type == "Sub") op = 1;
    for (Tensor* w : weights) inputs.push_back(w);
    fuseRelu = uint32_t(record.words[1]);
}

bool BinaryOp::reshape() {
    if (inputs.size() < 2 || outputs.empty()) return false;
    const Tensor& a = *inputs[0];
    const Tensor& b = *inputs[1];
    outputs[0]->set(a.n, std::max(a.h, b.h), std::max(a.w, b.w), std::max(a.c, b.c), a.layout);
    return true;
}

bool BinaryOp::sameShape() const {
    const Tensor& a = *inputs[0];
    const Tensor& b = *inputs[1];
    return a.h == b.h && a.w == b.w && a.c == b.c;
}

}  // namespace core

namespace ref {

bool BinaryOp::forward(core::RunEnv&) {
    if (inputs.size() < 2 || outputs.empty()) return false;
    if (!sameShape()) return broadcast();
    if (quantMode == 0) return sameShapeLoop();
    if (quantMode == 2 && !outputQuant2.empty() && outputQuant2[0]->s32()) return quantizedAdd();
    return false;
}

// Every output position (i, j, k) reads each operand at its clamped index,
// so a dimension of size 1 repeats. One batch.
bool BinaryOp::broadcast() {
    if (op > 2) return false;
    const Tensor& a = *inputs[0];
    const Tensor& b = *inputs[1];
    Tensor& out = *outputs[0];
    const float* pa = inputs[0]->floatData(0, false, false, false);
    const float* pb = inputs[1]->floatData(0, false, false, false);
    float* py = out.floatData(0, false, false, false);
    if (!pa || !pb || !py || !a.h || !a.w || !a.c || !b.h || !b.w || !b.c) return false;
    const auto at = [](const Tensor& t, uint32_t i, uint32_t j, uint32_t k) {
        return (size_t(std::min(i, t.h - 1)) * t.w + std::min(j, t.w - 1)) * t.c +
               std::min(k, t.c - 1);
    };
    for (uint32_t i = 0; i < out.h; ++i) {
        for (uint32_t j = 0; j < out.w; ++j) {
            for (uint32_t k = 0; k < out.c; ++k) {
                float r = combine(op, pa[at(a, i, j, k)], pb[at(b, i, j, k)]);
                if (fuseRelu == 1 && r < 0.0f) r = 0.0f;
                py[(size_t(i) * out.w + j) * out.c + k] = r;
            }
        }
    }
    return true;
}

bool BinaryOp::sameShapeLoop() {
    if (op > 2) return false;
    const float* pa = inputs[0]->floatData(0, false, false, false);
    const float* pb = inputs[1]->floatData(0, false, false, false);
    float* py = outputs[0]->floatData(0, false, false, false);
    if (!pa || !pb || !py) return false;
    const size_t n = std::min(elements(*inputs[0]), outputs[0]->floatCapacity());
    for (size_t i = 0; i < n; ++i) py[i] = combine(op, pa[i], pb[i]);
    return true;
}

// out = clamp(round(((a - za) * sa + (b - zb) * sb) / sOut + zOut), 0, 255).
bool BinaryOp::quantizedAdd() {
    if (op != 0 || inputQuant.size() < 2 || inputQuant2.size() < 2 || outputQuant.empty())
        return false;
    const Tensor* scales[3] = {inputQuant[0], inputQuant[1], outputQuant[0]};
    const Tensor* zeros[3] = {inputQuant2[0], inputQuant2[1], outputQuant2[0]};
    float s[3];
    int32_t z[3];
    for (int i = 0; i < 3; ++i) {
        if (!scales[i]->f32() || !zeros[i]->s32()) return false;
        s[i] = scales[i]->f32()[0];
        z[i] = zeros[i]->s32()[0];
    }
    const uint8_t* a = inputs[0]->u8();
    const uint8_t* b = inputs[1]->u8();
    Tensor& out = *outputs[0];
    const size_t n = size_t(inputs[0]->n) * inputs[0]->h * inputs[0]->w * inputs[0]->c;
    if (!a || !b || s[2] == 0.0f) return false;
    if (!out.u8()) {
        out.data[kU8] = alignedAlloc(n);
        out.notOwned[kU8] = false;
    }
    uint8_t* y = out.u8();
    for (size_t i = 0; i < n; ++i) {
        const float v = (float(a[i] - z[0]) * s[0] + float(b[i] - z[1]) * s[1]) / s[2] + z[2];
        const long q = std::lrint(v);
        y[i] = uint8_t(q < 0 ? 0 : q > 255 ? 255 : q);
    }
    return true;
}

}  // namespace ref
}  // namespace YNet
