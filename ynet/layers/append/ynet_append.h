#pragma once
// Row upsampling with a learned row: input rows X0..X(h-1) become
// X0, P, X1, P, ..., P, X(h-1) (2h - 1 rows), P = weights[0].
#include "ynet/layer.h"
#include "ynet/run_env.h"

namespace YNet {
namespace simd {

class YnetAppend : public Layer {
public:
    YnetAppend(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    bool reshape() override;
    bool forward(core::RunEnv& env) override;
};

}  // namespace simd
}  // namespace YNet
