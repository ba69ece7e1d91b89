#pragma once
// Shared base of the four convolution layer types (plain, depthwise,
// transposed, depthwise transposed): the geometry words of the record, the
// bound weight / bias / quantization tensors, the output shape rules, the
// shape key and operation count, and the shared preparation step.
#include <cstdint>

#include "ynet/layer.h"
#include "ynet/records.h"
#include "ynet/run_env.h"

namespace YNet {
namespace core {

class Conv : public Layer {
public:
    // Record words 0..10 in this order; dilations below 1 and a group of 0
    // are stored as 1.
    int32_t kernelW = 1, kernelH = 1;
    int32_t padLeft = 0, padRight = 0, padTop = 0, padBottom = 0;
    int32_t strideW = 1, strideH = 1;
    int32_t dilationW = 1, dilationH = 1;
    uint32_t group = 1;

    Tensor* weight = nullptr;  // (OC, KH, KW, IC), NCHW as stored
    Tensor* bias = nullptr;    // own bias, or the net's shared zero tensor
    Tensor* inputQuantParam = nullptr;
    Tensor* inputQuantParam2 = nullptr;
    Tensor* outputQuantParam = nullptr;
    Tensor* outputQuantParam2 = nullptr;
    Tensor* weightQuantParam = nullptr;
    Tensor* weightQuantParam2 = nullptr;

    // Runs Layer::init(record, blobs, weights, -1, 1, true, 0, 1, true) and
    // reads the geometry words.
    Conv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);

    // Convolution / depthwise output rule; also sets flops and shapeKey.
    bool reshape() override;
    // Layer::prepare (false when the shape is refused), then widens single-value weight quantization params
    // to one value per output channel.
    bool prepare(RunEnv& env) override;

    // Zero bias values available in the shared zero tensor.
    static constexpr uint32_t kZeroBiasCount = 1024;

    // Input, weight and output still agree on every size a kernel reads or
    // writes: a blob reshaped after warm-up (by a layer that shapes at run
    // time, or a second writer) must not send a kernel past a buffer.
    // Cheap enough for every forward. `groups` splits the input channels
    // of a forward convolution; only the depthwise transposed one counts
    // dilation in its output span.
    enum class Kind { Forward, Transposed, DepthwiseTransposed };
    bool shapesAgree(Kind kind, uint32_t groups = 1) const;

protected:
    // Shared by both transposed types: target size (recomputing the four
    // pads) or the stored pads; `dilated` false leaves dilation out (plain
    // transposed convolution). Output is (1, OH, OW, oc).
    void reshapeTransposed(uint32_t targetH, uint32_t targetW, int32_t oc, bool dilated);
    // Geometry words in range, a weight whose kernel matches them and a
    // shaped input; else prints why and returns false (nothing is shaped).
    bool validGeometry() const;
    // flops = |weight dims| * OH * OW * 2 and the "KxK_..." shape key.
    void setFlopsAndKey();
};

// Transposed convolution: weight (IC, KH, KW, OC / group).
class DeConv : public Conv {
public:
    uint32_t targetH = 0, targetW = 0;  // record words 11, 12; 0, 0 = none

    DeConv(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    bool reshape() override;
};

}  // namespace core
}  // namespace YNet
