// The weight and layer tables, laid out back to back, with every weight
// record's data bound to its block of the embedded blob.
#include <cstddef>

#include "model/echo_net.h"
#include "model/weight_blob.h"

namespace {

#include "model/tables_generated.inc"

static_assert(kGeneratedWeightCount == kWeightRecordCount, "weight table size");
static_assert(kGeneratedLayerCount == kLayerRecordCount, "layer table size");

struct ModelTables {
    YNet::WeightRecord weights[kWeightRecordCount];
    YNet::LayerRecord layers[kLayerRecordCount];
};
static_assert(offsetof(ModelTables, layers) == sizeof(YNet::WeightRecord) * kWeightRecordCount,
              "the layer table starts where the weight table ends");

ModelTables makeTables() {
    ModelTables t{};
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) {
        t.weights[i] = kGeneratedWeightRecords[i];
        t.weights[i].data = aecWeightBlob + kGeneratedWeightOffsets[i];
    }
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) t.layers[i] = kGeneratedLayerRecords[i];
    return t;
}

// Built on first use, so a net may be created from any static initialiser.
const ModelTables& tables() {
    static const ModelTables t = makeTables();
    return t;
}

}  // namespace

const YNet::WeightRecord* WeightTable() { return tables().weights; }
const YNet::LayerRecord* LayerTable() { return tables().layers; }
