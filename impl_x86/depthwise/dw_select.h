#pragma once
// Kernel choice of the depthwise layers, from the geometry, the processor
// features and the run environment's half-precision flag.
#include <cstdint>

#include "impl_x86/depthwise/depthwise_kernels.h"
#include "ynet/cpu_info.h"

namespace YNet {
namespace dw {

// How a kernel takes over the follower activation.
enum class Fusion { None, ReluSkip, RectifiersRemoved };

// What forward runs: a vector kernel, one of the portable kernels, or
// nothing (the layer is unsupported and forward returns false).
enum class Path { None, Vector, Generic, Dilated, GenericDeconv };

struct Choice {
    Path path = Path::None;
    Kernel kernel = nullptr;
    uint32_t weightCode = 0;
    bool transposedWeight = false;
    Fusion fusion = Fusion::None;
    bool avx = false;  // the AVX2/FMA build of the kernel
    int block = 0;
};

Choice selectDepthwise(const Geometry& g, const CpuInfo& cpu, bool halfPrecision);
Choice selectDepthwiseDeconv(const Geometry& g, const CpuInfo& cpu, bool halfPrecision);

}  // namespace dw
}  // namespace YNet
