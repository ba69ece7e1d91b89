#pragma once
// Element-wise add / subtract / multiply of inputs[0] (a) and inputs[1] (b).
#include "ynet/layer.h"
#include "ynet/run_env.h"

namespace YNet {
namespace core {

class BinaryOp : public Layer {
public:
    uint32_t op = 0;        // 0 add, 1 subtract, 2 multiply
    uint32_t fuseRelu = 0;  // 1: clamp the result at 0 from below

    BinaryOp(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    // Output: n and layout of a, each of h, w, c the larger of a's and b's.
    bool reshape() override;

protected:
    bool sameShape() const;
};

}  // namespace core

namespace ref {

// Broadcast loop, plain same-shape loop and the 8-bit quantized add.
class BinaryOp : public core::BinaryOp {
public:
    using core::BinaryOp::BinaryOp;
    bool forward(core::RunEnv& env) override;

private:
    bool broadcast();
    bool sameShapeLoop();
    bool quantizedAdd();
};

}  // namespace ref

namespace simd {

// Flat 128/256-bit kernels with the follower activation fused. The forward
// is the x86 library's (binary_op_simd.cpp).
class BinaryOp : public ref::BinaryOp {
public:
    using ref::BinaryOp::BinaryOp;
    bool forward(core::RunEnv& env) override;

private:
    bool flat(bool avx2);
};

}  // namespace simd
}  // namespace YNet
