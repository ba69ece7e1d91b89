#include "ynet/layer.h"

#include <cstring>

namespace YNet {

Tensor& lookup(TensorMap& map, const std::string& name) {
    return map.try_emplace(name).first->second;
}

Layer::Layer(const char* name_) : name(name_) {}

Layer::~Layer() = default;

bool Layer::reshape() {
    if (inputs.empty() || outputs.empty()) return true;
    const Tensor& in = *inputs[0];
    outputs[0]->set(in.n, in.h, in.w, in.c, in.layout);
    return true;
}

bool Layer::prepare(core::RunEnv&) { return reshape(); }

namespace {

bool present(const char* s) { return s && *s; }

int countNames(const char* const* names) {
    int count = 0;
    while (count < 8 && present(names[count])) ++count;
    return count;
}

Tensor* named(TensorMap& map, const std::string& name) {
    Tensor& t = lookup(map, name);
    t.name = name;
    return &t;
}

// Weight-slot names that are already known weights, up to the first miss.
int countKnownWeights(const LayerRecord& record, const TensorMap& weights) {
    int count = 0;
    while (count < 8 && present(record.weightNames[count]) &&
           weights.count(record.weightNames[count]))
        ++count;
    return count;
}

}  // namespace

void Layer::init(const LayerRecord& record, TensorMap& blobs, TensorMap& weightMap,
                 int inputCount, int outputCount, bool quantAware, int weightParamCount,
                 int paramExtra, bool linkGraph) {
    type = record.type ? record.type : "";
    name = record.name ? record.name : "";
    const int blobCount = countNames(record.blobs);
    if (inputCount < 0) inputCount = blobCount - outputCount;
    if (inputCount < 0) inputCount = 0;
    if (inputCount > blobCount) inputCount = blobCount;
    for (int i = 0; i < inputCount; ++i) {
        const std::string blobName = record.blobs[i];
        auto weight = weightMap.find(blobName);
        Tensor* t = weight != weightMap.end() ? &weight->second : &lookup(blobs, blobName);
        t->name = blobName;
        inputs.push_back(t);
        if (linkGraph) t->consumers.push_back(this);
    }
    for (int i = inputCount; i < blobCount; ++i) {
        Tensor* t = named(blobs, record.blobs[i]);
        outputs.push_back(t);
        if (linkGraph) t->producer = this;
    }

    const int known = countKnownWeights(record, weightMap);
    const int groupsE = blobCount + weightParamCount;
    const int groupsF = groupsE + paramExtra;
    quantMode = 0;
    if (quantAware) quantMode = known >= 2 * groupsF ? 2 : known >= groupsF ? 1 : 0;
    int next = 0;
    const auto take = [&]() { return named(weightMap, record.weightNames[next++]); };
    for (int g = 0; quantMode != 0 && g < groupsF; ++g) {
        auto& first = g < inputCount ? inputQuant : g < groupsE ? outputQuant : weightQuant;
        auto& second = g < inputCount ? inputQuant2 : g < groupsE ? outputQuant2 : weightQuant2;
        first.push_back(take());
        if (quantMode == 2) second.push_back(take());
    }
    while (next < known) weights.push_back(take());
}

}  // namespace YNet
