#pragma once
#include "ynet/layers/activation/activation.h"

namespace YNet {
namespace x86 {

// Sigmoid and swish on 256-bit FMA, 256-bit AVX or SSE kernels; every other
// kind as in the simd class.
class Activation : public simd::Activation {
public:
    using simd::Activation::Activation;
    bool forward(core::RunEnv& env) override;
};

}  // namespace x86
}  // namespace YNet
