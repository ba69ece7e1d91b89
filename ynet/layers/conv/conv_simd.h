#pragma once
// Middle classes of the plain and transposed convolution families; they add
// nothing to the shared base and are only created through their x86 classes.
#include "ynet/layers/conv/conv_base.h"

namespace YNet {
namespace simd {

class Conv : public core::Conv {
public:
    using core::Conv::Conv;
};

class DeConv : public core::DeConv {
public:
    using core::DeConv::DeConv;
};

}  // namespace simd
}  // namespace YNet
