// Turns the embedded tables into a net for the x86 run environment: weights
// bound in place, inputs and outputs declared, one layer per record.
#include "model/echo_net.h"

#include "model/frame_contract.h"
#include "ynet/layer_registry.h"

namespace {

using YNet::Net;

void bindWeights(Net& net) {
    const YNet::WeightRecord* table = WeightTable();
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) {
        YNet::lookup(net.weights, table[i].name).bind(table[i], 0, true);
    }
}

void declareInput(Net& net, const char* name, uint32_t h, uint32_t w, uint32_t c) {
    net.addInput(name);
    YNet::lookup(net.blobs, name).set(1, h, w, c, YNet::kNHWC);
}

void declareInterface(Net& net) {
    using namespace frame_contract;
    declareInput(net, kWindowABlob, kWindowRows, kBins, 1);
    declareInput(net, kWindowBBlob, kWindowRows, kBins, 1);
    declareInput(net, kState1Blob, 1, 1, kStateSize);
    declareInput(net, kState2Blob, 1, 1, kStateSize);
    net.addOutput(kMaskBlob);
    net.addOutput(kState1Blob);
    net.addOutput(kState2Blob);
}

// A record whose type is not registered is left out; the registry has
// already said so.
void addLayers(Net& net) {
    const YNet::LayerRecord* table = LayerTable();
    const int backend = net.env->backendIndex();
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) {
        YNet::Layer* layer = YNet::LayerRegistry::create(backend, table[i], net.blobs, net.weights);
        if (!layer) continue;
        layer->index = uint32_t(net.layers.size());
        net.layers.push_back(layer);
    }
}

}  // namespace

YNet::Net* buildEchoCancellationNet(uint32_t selector) {
    if (selector != 0) return nullptr;
    auto* env = new YNet::x86::RunEnv();
    auto* net = new Net(nullptr);
    net->env.reset(env);
    bindWeights(*net);
    declareInterface(*net);
    addLayers(*net);
    net->env->optimizeGraph(*net);
    return net;
}
