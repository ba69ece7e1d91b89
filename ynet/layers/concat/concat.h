#pragma once
// Concatenation along channels (axis 3) or columns (axis 2) of NHWC tensors.
// The forwards copy with the x86 library's kernels (x86_concat.cpp).
#include "ynet/layer.h"
#include "ynet/run_env.h"

namespace YNet {
namespace core {

class Concat : public Layer {
public:
    uint32_t axis = 3;  // record word 0; values below 2 mean 3

    Concat(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    bool reshape() override;

protected:
    // Rows and per-input row lengths of the copy for the current axis; false
    // when an input has no float data. The layer keeps the plan so that
    // its lists are not allocated again every frame.
    struct Plan {
        std::vector<const float*> src;
        std::vector<size_t> len;
        size_t rows = 0;
        float* dst = nullptr;
    };
    bool plan();
    Plan copy;
};

}  // namespace core

namespace ref {

// Row-by-row copy with memcpy.
class Concat : public core::Concat {
public:
    using core::Concat::Concat;
    bool forward(core::RunEnv& env) override;
};

}  // namespace ref

namespace simd {

// Row copy with 128-bit moves.
class Concat : public ref::Concat {
public:
    using ref::Concat::Concat;
    bool forward(core::RunEnv& env) override;
};

}  // namespace simd
}  // namespace YNet
