#include "ynet/layers/reshape/reshape.h"

#include <cstdint>

#include "ynet/layer_registry.h"

namespace YNet {
namespace {

uint32_t dim(const Tensor& t, uint32_t axis) {
    const uint32_t d[4] = {t.n, t.h, t.w, t.c};
    return d[axis];
}

}  // namespace

namespace core {

Reshape::Reshape(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    init(record, blobs, weights, -1, 1, true, 0, 0, true);
    for (int i = 0; i < 4; ++i) shape[i] = record.words[i];
}

bool Reshape::reshape() {
    if (inputs.empty() || outputs.empty()) return false;
    const Tensor& in = *inputs[0];
    shape[0] = int32_t(in.n);
    int unknown = -1;
    uint64_t known = 1;
    for (int i = 0; i < 4; ++i) {
        if (shape[i] >= 1) {
            known *= uint64_t(shape[i]);
        } else if (unknown >= 0) {
            return false;
        } else {
            unknown = i;
        }
    }
    if (unknown >= 0) shape[unknown] = known ? int32_t(in.floatCapacity() / known) : 0;
    outputs[0]->set(uint32_t(shape[0]), uint32_t(shape[1]), uint32_t(shape[2]),
                    uint32_t(shape[3]), kNHWC);
    return true;
}

TransposeAxis::TransposeAxis(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    init(record, blobs, weights, -1, 1, true, 0, 0, true);
    for (int i = 0; i < 4; ++i) perm[i] = uint32_t(record.words[i]);
}

bool TransposeAxis::reshape() {
    if (inputs.empty() || outputs.empty()) return false;
    const Tensor& in = *inputs[0];
    for (uint32_t p : perm)
        if (p > 3) return false;
    outputs[0]->set(dim(in, perm[0]), dim(in, perm[1]), dim(in, perm[2]), dim(in, perm[3]),
                    in.layout);
    return true;
}

}  // namespace core

namespace ref {

// The output becomes a view: every buffer the input has replaces the
// output's (owned ones freed first) and is marked not owned.
bool Reshape::forward(core::RunEnv&) {
    if (inputs.empty() || outputs.empty()) return false;
    Tensor& in = *inputs[0];
    Tensor& out = *outputs[0];
    for (int r = kFloat; r <= kS8; ++r) {
        if (!in.data[r] || out.data[r] == in.data[r]) continue;
        if (out.data[r] && !out.notOwned[r]) alignedFree(out.data[r]);
        out.data[r] = in.data[r];
        out.notOwned[r] = true;
    }
    out.capacity = 0;
    if (in.data[kFloat]) {
        const size_t known = in.floatBufferSize();
        out.sizedFloat = in.data[kFloat];
        out.sizedFloatCount = known == SIZE_MAX ? in.floatCapacity() : known;
    }
    out.set(uint32_t(shape[0]), uint32_t(shape[1]), uint32_t(shape[2]), uint32_t(shape[3]),
            kNHWC);
    // A view cannot grow: a shape larger than the input is refused.
    return out.holdsShape();
}

}  // namespace ref

YNET_REGISTER_LAYER(3, "Reshape", ref::Reshape);
YNET_REGISTER_LAYER(3, "TransposeAxis", ref::TransposeAxis);

}  // namespace YNet
