#pragma once
// Reshape (a view sharing the input's buffers) and TransposeAxis (moves data
// for three axis permutations; its forward, with SSE2 blocks, is in
// impl_x86/reshape/).
#include "ynet/layer.h"
#include "ynet/run_env.h"

namespace YNet {
namespace core {

class Reshape : public Layer {
public:
    int32_t shape[4] = {1, 1, 1, 1};  // record words 0..3; one entry < 1 is inferred

    Reshape(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    bool reshape() override;
};

class TransposeAxis : public Layer {
public:
    uint32_t perm[4] = {0, 1, 2, 3};  // output axis i = input axis perm[i]

    TransposeAxis(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    bool reshape() override;
};

}  // namespace core

namespace ref {

class Reshape : public core::Reshape {
public:
    using core::Reshape::Reshape;
    bool forward(core::RunEnv& env) override;
};

class TransposeAxis : public core::TransposeAxis {
public:
    using core::TransposeAxis::TransposeAxis;
    bool forward(core::RunEnv& env) override;

private:
    bool supported() const;
};

}  // namespace ref
}  // namespace YNet
