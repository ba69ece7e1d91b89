#pragma once
// Kernel choice of the convolution and transposed-convolution layers: pure
// functions of the layer shape and the processor record, so that the choice
// can be checked under every forced feature set.
#include <cstddef>
#include <cstdint>

#include "impl_x86/conv/conv_kernels.h"
#include "ynet/cpu_info.h"

namespace YNet {
namespace conv {

// How a kernel takes over the follower activation.
enum class Fusion : uint8_t {
    None,
    ReluSkip,           // kind 1, follower marked skip
    RectifiersSkip,     // kinds 1, 2, 6, marked skip
    RectifiersRemoved,  // kinds 1, 2, 6, marked removed
};

enum class KernelId : uint8_t {
    None,
    // convolution, first (AVX/FMA) selector
    Fast1x1B32, Fast1x1B24, Fast1x1B16,
    Fast3x3Stem, Fast3x3ThreeOut, Fast3x3B24, Fast3x3B16, Fast3x3S2B16,
    Fast3x3SingleOut, Fast3x3B4, Fast3x3S2D2B4, Fast3x3GeneralB4,
    // convolution, second selector
    LineAvx16, LineAvx8, LineSse8, LineSse4,
    DotAvx16, DotAvx8, DotSse12, DotSse8, DotSse4,
    SingleOutAvx, SingleOutSse,
    PointwiseAvx16, PointwiseAvx8, PointwiseSse12, PointwiseSse8, PointwiseSse4,
    GeneralAvx16, GeneralAvx8, GeneralSse8, GeneralSse4,
    DilatedAvx16, DilatedAvx8, DilatedSse8, DilatedSse4,
    Scalar,
    // transposed convolution
    DeOddWidth5x5, DeOcBlock5x5Avx8, DeOcBlock5x5Sse4, DeInBlock5x5Avx, DeInBlock5x5Sse,
    DeDepthwise4, DeTwoOutAvx, DeTwoOutSse, DeStride2Avx8, DeStride2Sse4, DeGeneric,
    Count
};

struct KernelInfo {
    const char* name;
    Kernel run;
    uint32_t weightCode;  // layout code asked from the weight tensor
    Fusion fusion;
};

const KernelInfo& kernelInfo(KernelId id);
// Working memory a kernel needs for this geometry (Args::scratch), in floats;
// the caller keeps it, so that no kernel allocates.
size_t scratchFloats(KernelId id, const Geometry& g);

// Shape facts the selectors read beyond the kernel geometry.
struct Shape {
    Geometry g;
    int padRight, padBottom;
    bool inputHasFloat;
    // Code 36 reorders only NCHW weights ([ky][ic][kx][oc]); NHWC ones keep
    // the plain order, which the three-output kernel cannot read.
    bool weightFitsCode36;
};

// AVX/FMA 1x1 and 3x3 kernels; None when declined.
KernelId selectFast(const Shape& s, const CpuInfo& cpu);
// Second selector; None (forward fails) under half precision.
KernelId selectSecond(const Shape& s, const CpuInfo& cpu, bool halfPrecision);
// Both in order: what Conv's forward runs.
KernelId selectConv(const Shape& s, const CpuInfo& cpu, bool halfPrecision);
KernelId selectDeconv(const Shape& s, const CpuInfo& cpu, bool halfPrecision);

}  // namespace conv
}  // namespace YNet
