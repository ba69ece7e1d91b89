#pragma once
// Helpers for driving element-wise layers as the model builder does: a
// record, a net with the x86 environment, tensors filled with known data.
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "ynet/layer_registry.h"
#include "ynet/net.h"
#include "ynet/run_env.h"

namespace elemtest {

struct Record {
    YNet::LayerRecord rec{};
    std::vector<std::string> names;  // keeps the strings alive

    Record(const char* type, std::initializer_list<const char*> blobs,
           std::initializer_list<int32_t> words = {},
           std::initializer_list<const char*> weights = {}) {
        names.push_back(type);
        for (const char* b : blobs) names.push_back(b);
        for (const char* w : weights) names.push_back(w);
        rec.type = names[0].c_str();
        rec.name = names[0].c_str();
        size_t k = 1;
        for (size_t i = 0; i < blobs.size(); ++i) rec.blobs[i] = names[k++].c_str();
        for (size_t i = 0; i < weights.size(); ++i) rec.weightNames[i] = names[k++].c_str();
        int i = 0;
        for (int32_t w : words) rec.words[i++] = w;
    }
    void setFloatWord(int i, float v) { std::memcpy(&rec.words[i], &v, sizeof v); }
};

inline YNet::Layer* addLayer(YNet::Net& net, const Record& r) {
    YNet::Layer* l = YNet::LayerRegistry::create(3, r.rec, net.blobs, net.weights);
    if (l) net.layers.push_back(l);
    return l;
}

inline std::vector<float> randomData(size_t n, unsigned seed, float lo = -4.0f, float hi = 4.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
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
