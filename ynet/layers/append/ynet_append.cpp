#include "ynet/layers/append/ynet_append.h"

#include <cstring>

#include "ynet/layer_registry.h"

namespace YNet {
namespace simd {

YnetAppend::YnetAppend(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    init(record, blobs, weights, 1, 1, false, 0, 1, true);
}

bool YnetAppend::reshape() {
    if (inputs.empty() || outputs.empty()) return false;
    const Tensor& in = *inputs[0];
    outputs[0]->set(in.n, in.h ? 2 * in.h - 1 : 0, in.w, in.c, in.layout);
    shapeKey = "ynet_append";
    return true;
}

// Rows are `c` floats (w and n taken as 1).
bool YnetAppend::forward(core::RunEnv& env) {
    if (env.halfPrecision || inputs.empty() || outputs.empty() || weights.empty()) return false;
    Tensor& in = *inputs[0];
    const size_t c = in.c;
    const float* x = in.floatData(0, false, false, false);
    const float* p = weights[0]->floatData(0, false, false, false);
    float* y = outputs[0]->floatData(0, false, false, false);
    if (!x || !p || !y || in.h == 0 || weights[0]->floatCapacity() < c ||
        outputs[0]->floatCapacity() < (2 * size_t(in.h) - 1) * c)
        return false;
    const size_t row = c * sizeof(float);
    for (size_t i = 0; i + 1 < in.h; ++i) {
        std::memcpy(y + 2 * i * c, x + i * c, row);
        std::memcpy(y + (2 * i + 1) * c, p, row);
    }
    std::memcpy(y + 2 * (size_t(in.h) - 1) * c, x + (size_t(in.h) - 1) * c, row);
    return true;
}

}  // namespace simd

YNET_REGISTER_LAYER(0, "YnetAppend", simd::YnetAppend);
YNET_REGISTER_LAYER(1, "YnetAppend", simd::YnetAppend);
YNET_REGISTER_LAYER(3, "YnetAppend", simd::YnetAppend);

}  // namespace YNet
