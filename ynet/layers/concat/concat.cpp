#include "ynet/layers/concat/concat.h"


namespace YNet {
namespace core {

Concat::Concat(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    init(record, blobs, weights, -1, 1, true, 0, 0, true);
    axis = record.words[0] < 2 ? 3u : uint32_t(record.words[0]);
}

bool Concat::reshape() {
    if (inputs.empty() || outputs.empty()) return false;
    const Tensor& first = *inputs[0];
    uint32_t sum = 0;
    for (const Tensor* t : inputs) sum += axis == 3 ? t->c : t->w;
    if (axis == 3) outputs[0]->set(first.n, first.h, first.w, sum, first.layout);
    if (axis == 2) outputs[0]->set(first.n, first.h, sum, first.c, first.layout);
    return true;
}

bool Concat::plan() {
    if (inputs.empty() || outputs.empty() || (axis != 2 && axis != 3)) return false;
    Plan& p = copy;
    p.src.clear();
    p.len.clear();
    const Tensor& out = *outputs[0];
    p.rows = axis == 3 ? size_t(out.h) * out.w : out.h;
    size_t total = 0;
    for (Tensor* t : inputs) {
        const float* s = t->floatData(0, false, false, false);
        if (!s) return false;
        p.src.push_back(s);
        p.len.push_back(axis == 3 ? t->c : size_t(t->w) * t->c);
        // Every input must hold as many rows as the output.
        if (t->floatCapacity() < p.rows * p.len.back()) return false;
        total += p.len.back();
    }
    if (total * p.rows > outputs[0]->floatCapacity()) return false;
    p.dst = outputs[0]->floatData(0, false, false, false);
    return p.dst != nullptr;
}

}  // namespace core
}  // namespace YNet
