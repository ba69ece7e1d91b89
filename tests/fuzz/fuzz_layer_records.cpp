// The net builder fed a corrupted copy of the embedded layer table: each
// 8-byte edit of the input picks a record and replaces its type, one
// parameter word, one blob name or one weight name. Records of unknown type
// must be reported and skipped, layers whose words or blobs do not make
// sense refused or left unshaped; building, warming up and running a frame
// must never crash. A run is where shapes that changed after warm-up (a
// blob written by two layers, or reshaped at run time) meet the kernels.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "model/echo_net.h"
#include "ynet/layer_registry.h"

namespace {

using YNet::LayerRecord;
using YNet::Net;

const char* const kTypes[] = {"Activation", "Add", "BinaryOp", "Concat", "Conv", "ConvTranspose", "DepthwiseConv",
                              "DepthwiseDeConv", "GRU", "Gemm", "HardSigmoid", "HardSwish", "LeakyRelu", "MatMul",
                              "Mul", "PRelu", "Relu", "Reshape", "Sigmoid", "Sub", "Swish", "TransposeAxis",
                              "YnetAppend", "NoSuchType", "", nullptr};
const char* const kNames[] = {nullptr, "", "no_such_blob", "310", "311", "469", "493", "mask", "508_bias"};
constexpr int32_t kWords[] = {0, 1, -1, 2, 3, 7, 64, 513, 1 << 16, 1 << 30, INT32_MIN, INT32_MAX};

struct Edit {
    uint8_t record, field, slot, pick;
    int32_t value;
};

void applyEdit(const Edit& e, std::vector<LayerRecord>& table) {
    LayerRecord& r = table[e.record % table.size()];
    const auto name = [&](uint8_t pick) { return kNames[pick % std::size(kNames)]; };
    switch (e.field % 6) {
        case 0: r.type = kTypes[e.pick % std::size(kTypes)]; break;
        case 1: r.words[e.slot % 24] = e.value; break;
        case 2: r.words[e.slot % 24] = kWords[e.pick % std::size(kWords)]; break;
        case 3: r.blobs[e.slot % 8] = name(e.pick); break;
        case 4: r.weightNames[e.slot % 8] = name(e.pick); break;
        default: r.blobs[e.slot % 8] = table[e.pick % table.size()].blobs[e.slot % 2]; break;
    }
}

// What buildEchoCancellationNet does, on the corrupted table.
Net* build(const std::vector<LayerRecord>& table) {
    auto* net = new Net(nullptr);
    net->env.reset(new YNet::x86::RunEnv());
    const YNet::WeightRecord* weights = WeightTable();
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) YNet::lookup(net->weights, weights[i].name).bind(weights[i], 0, true);
    const struct { const char* name; uint32_t h, w, c; } inputs[] = {
        {"310", 12, 513, 1}, {"311", 12, 513, 1}, {"469", 1, 1, 128}, {"493", 1, 1, 128}};
    for (const auto& in : inputs) {
        net->addInput(in.name);
        YNet::lookup(net->blobs, in.name).set(1, in.h, in.w, in.c, YNet::kNHWC);
    }
    for (const char* out : {"mask", "469", "493"}) net->addOutput(out);
    for (const LayerRecord& record : table) {
        YNet::Layer* layer = YNet::LayerRegistry::create(net->env->backendIndex(), record, net->blobs, net->weights);
        if (!layer) continue;
        layer->index = uint32_t(net->layers.size());
        net->layers.push_back(layer);
    }
    net->env->optimizeGraph(*net);
    return net;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<LayerRecord> table(LayerTable(), LayerTable() + kLayerRecordCount);
    for (size_t at = 0; at + sizeof(Edit) <= size; at += sizeof(Edit)) {
        Edit e;
        std::memcpy(&e, data + at, sizeof e);
        applyEdit(e, table);
    }
    std::unique_ptr<Net> net(build(table));
    if (net->warmup()) net->run(0);
    return 0;
}
