#pragma once
// Depthwise, grouped and depthwise transposed convolution kernels. Plain
// functions over NHWC float data (element (y, x, ch) at (y*W + x)*C + ch) of
// one image; the layer classes pick one and hand it packed weights.
//
// Weight orders the kernels read (C = output channels, T = KH*KW taps):
// - channel innermost: W[ky][kx][ch] at (ky*KW + kx)*C + ch;
// - blocked by B channels: block k covers channels s = min(k*B, C - B) ...
//   s + B - 1 (the last block is moved back to end at C, overlapping its
//   neighbour) and holds [ky][kx][B] (depthwise) or [ky][kx][k][B] (grouped,
//   k over the group's input channels). Blocks follow one another.
// Blocked kernels need C >= B (grouped: B divides C / group) and store whole
// blocks. Each ISA variant may only be called when CpuInfo reports its ISA.
#include <cstdint>

namespace YNet {
namespace dw {

struct Geometry {
    int inH = 1, inW = 1, inC = 1;
    int outH = 1, outW = 1, outC = 1;
    int kernelH = 1, kernelW = 1;
    int strideH = 1, strideW = 1;
    int dilationH = 1, dilationW = 1;
    int padTop = 0, padLeft = 0;
    int group = 1;
};

struct Operands {
    const float* in = nullptr;
    const float* weight = nullptr;
    const float* bias = nullptr;  // outC values
    float* out = nullptr;
};

// Activation applied to every stored value: kind 0 none, 1 max(x, 0),
// 2 min(max(x, 0), param), 6 max(x, 0) + param * min(x, 0).
struct Activation {
    uint32_t kind = 0;
    float param = 0.0f;
};

using Kernel = void (*)(const Geometry&, const Operands&, const Activation&);

enum class Family {
    LineS2D2,    // five taps along one axis (the other is 1), stride 2, dilation 2; blocked
    LineS1,      // five taps along one axis, stride 1, dilation 1; channel innermost
    Blocked,     // depthwise, any kernel / stride / padding / dilation; blocked
    Grouped,     // grouped (inputs broadcast per input channel); blocked
    DeconvLine,  // transposed, five taps along one axis, stride 2, dilation 2; channel innermost
};

// The variant of `family` with `block` channels per step, or null. SSE
// (baseline SSE2): blocks 4, 8 and 12 (grouped and transposed: 4, 8).
// AVX2/FMA: blocks 8 and 16.
Kernel kernelSse(Family family, int block);
Kernel kernelAvx2(Family family, int block);

// Portable depthwise kernels, channel-innermost weights, no activation.
// `genericDepthwise` assumes dilation 1 and prints its marker line.
void genericDepthwise(const Geometry& g, const Operands& o);
void dilatedDepthwise(const Geometry& g, const Operands& o);
// Portable transposed form (gather over the strided, dilated taps),
// channel-innermost weights, with the activation.
void genericDepthwiseDeconv(const Geometry& g, const Operands& o, const Activation& act);

}  // namespace dw
}  // namespace YNet
