#include "ynet/layers/depthwise/depthwise_conv.h"

namespace YNet {
namespace {

uint32_t groupWord(const LayerRecord& record) {
    return record.words[10] == 0 ? 1u : uint32_t(record.words[10]);
}

}  // namespace

namespace core {

DepthwiseConv::DepthwiseConv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights)
    : Conv(record, blobs, weights), depthwiseGroup(groupWord(record)) {}

DepthwiseDeConv::DepthwiseDeConv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights)
    : Conv(record, blobs, weights),
      targetH(uint32_t(record.words[11])),
      targetW(uint32_t(record.words[12])),
      depthwiseGroup(groupWord(record)) {}

bool DepthwiseDeConv::reshape() {
    if (!validGeometry()) return false;
    reshapeTransposed(targetH, targetW, int32_t(weight->n), true);
    return true;
}

}  // namespace core
}  // namespace YNet
