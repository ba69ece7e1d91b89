// Portable depthwise kernels over channel-innermost weights W[ky][kx][ch].
#include <algorithm>
#include <cstddef>

#include "impl_x86/depthwise/depthwise_kernels.h"
#include "ynet/log.h"

namespace YNet {
namespace dw {
namespace {

float activate(const Activation& a, float x) {
    switch (a.kind) {
        case 1: return x > 0.0f ? x : 0.0f;
        case 2: return x > 0.0f ? (x < a.param ? x : a.param) : 0.0f;
        case 6: return x > 0.0f ? x : (x < 0.0f ? x * a.param : 0.0f);
        default: return x;
    }
}

// First valid tap and end (exclusive) for origin o, dilation d, k taps
// over n inputs; truncating division as in the scalar convolution.
void tapRange(int o, int d, int k, int n, int& first, int& end) {
    first = std::max(0, (d - o - 1) / d);
    end = std::min(k, (n - 1 + d - o) / d);
}

// out = bias + sum over the valid taps; `dilated` false reads dilation 1.
void depthwise(const Geometry& g, const Operands& o, bool dilated) {
    const int dh = dilated ? g.dilationH : 1, dw = dilated ? g.dilationW : 1;
    const int C = g.outC;
    for (int oy = 0; oy < g.outH; ++oy) {
        const int y0 = oy * g.strideH - g.padTop;
        int ky0, ky1;
        tapRange(y0, dh, g.kernelH, g.inH, ky0, ky1);
        for (int ox = 0; ox < g.outW; ++ox) {
            const int x0 = ox * g.strideW - g.padLeft;
            int kx0, kx1;
            tapRange(x0, dw, g.kernelW, g.inW, kx0, kx1);
            float* out = o.out + (size_t(oy) * g.outW + ox) * C;
            for (int ch = 0; ch < C; ++ch) {
                float acc = o.bias[ch];
                for (int ky = ky0; ky < ky1; ++ky)
                    for (int kx = kx0; kx < kx1; ++kx)
                        acc += o.in[(size_t(y0 + ky * dh) * g.inW + x0 + kx * dw) * g.inC + ch] *
                               o.weight[(ky * g.kernelW + kx) * C + ch];
                out[ch] = acc;
            }
        }
    }
}

}  // namespace

void genericDepthwise(const Geometry& g, const Operands& o) {
    printLog("***simd dwise commone****\n");
    depthwise(g, o, false);
}

void dilatedDepthwise(const Geometry& g, const Operands& o) { depthwise(g, o, true); }

void genericDepthwiseDeconv(const Geometry& g, const Operands& o, const Activation& act) {
    const int C = g.outC;
    const int offH = (g.kernelH - 1) * g.dilationH - g.padTop;
    const int offW = (g.kernelW - 1) * g.dilationW - g.padLeft;
    const int spanH = g.inH * g.strideH, spanW = g.inW * g.strideW;
    for (int oy = 0; oy < g.outH; ++oy)
        for (int ox = 0; ox < g.outW; ++ox) {
            float* out = o.out + (size_t(oy) * g.outW + ox) * C;
            for (int ch = 0; ch < C; ++ch) {
                float acc = o.bias[ch];
                for (int ky = 0; ky < g.kernelH; ++ky) {
                    const int sy = oy - offH + ky * g.dilationH;
                    if (sy < 0 || sy >= spanH || sy % g.strideH) continue;
                    for (int kx = 0; kx < g.kernelW; ++kx) {
                        const int sx = ox - offW + kx * g.dilationW;
                        if (sx < 0 || sx >= spanW || sx % g.strideW) continue;
                        acc += o.in[(size_t(sy / g.strideH) * g.inW + sx / g.strideW) * g.inC + ch] *
                               o.weight[(ky * g.kernelW + kx) * C + ch];
                    }
                }
                out[ch] = activate(act, acc);
            }
        }
}

}  // namespace dw
}  // namespace YNet
