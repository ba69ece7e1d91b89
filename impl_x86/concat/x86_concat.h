#pragma once
#include "ynet/layers/concat/concat.h"

namespace YNet {
namespace x86 {

// 8 + 2 + 2 channel kernel, then the AVX or SSE row copy.
class Concat : public simd::Concat {
public:
    using simd::Concat::Concat;
    bool forward(core::RunEnv& env) override;
};

}  // namespace x86
}  // namespace YNet
