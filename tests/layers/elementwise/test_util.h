#pragma once
// Helpers for driving element-wise layers as the model builder does: a
// layer from a record added to a net, tensors filled with known data.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/layer_records.h"
#include "tests/support/random_data.h"
#include "ynet/layer_registry.h"
#include "ynet/net.h"
#include "ynet/run_env.h"

namespace elemtest {

inline YNet::Layer* addLayer(YNet::Net& net, const YNet::LayerRecord& r) {
    YNet::Layer* l = YNet::LayerRegistry::create(3, r, net.blobs, net.weights);
    if (l) net.layers.push_back(l);
    return l;
}

// Shapes the tensor and copies `values` into its float buffer.
inline void fill(YNet::Tensor& t, uint32_t n, uint32_t h, uint32_t w, uint32_t c,
                 const std::vector<float>& values) {
    t.set(n, h, w, c, 0);
    float* p = t.floatData(0, false, false, false);
    std::memcpy(p, values.data(), values.size() * sizeof(float));
}

inline std::vector<float> contents(YNet::Tensor& t) {
    const float* p = t.floatData(0, false, false, false);
    return std::vector<float>(p, p + size_t(t.n) * t.h * t.w * t.c);
}

}  // namespace elemtest
