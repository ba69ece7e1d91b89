#pragma once
// Direct-loop references of the depthwise tests. Weights in the stored order
// W[oc][k][ky][kx] (k over the input channels of the output's group).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "impl_x86/depthwise/depthwise_kernels.h"

namespace YNet {
namespace dw {
namespace test {

using Vec = std::vector<float>;

inline Vec randomVec(size_t n, std::mt19937& rng) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    Vec v(n);
    for (float& f : v) f = d(rng);
    return v;
}

inline float activate(const Activation& a, float x) {
    if (a.kind == 1) return std::max(x, 0.0f);
    if (a.kind == 2) return std::min(std::max(x, 0.0f), a.param);
    if (a.kind == 6) return x >= 0.0f ? x : a.param * x;
    return x;
}

// Direct convolution: every tap inside the input, zero elsewhere.
inline Vec referenceConv(const Geometry& g, const Vec& in, const Vec& w, const Vec& bias, const Activation& a) {
    const int M = g.outC / g.group, K = g.inC / g.group;
    Vec out(size_t(g.outH) * g.outW * g.outC);
    for (int oy = 0; oy < g.outH; ++oy)
        for (int ox = 0; ox < g.outW; ++ox)
            for (int oc = 0; oc < g.outC; ++oc) {
                double acc = bias[oc];
                for (int k = 0; k < K; ++k)
                    for (int ky = 0; ky < g.kernelH; ++ky)
                        for (int kx = 0; kx < g.kernelW; ++kx) {
                            const int y = oy * g.strideH - g.padTop + ky * g.dilationH;
                            const int x = ox * g.strideW - g.padLeft + kx * g.dilationW;
                            if (y < 0 || y >= g.inH || x < 0 || x >= g.inW) continue;
                            acc += double(in[(size_t(y) * g.inW + x) * g.inC + (oc / M) * K + k]) *
                                   w[((size_t(oc) * K + k) * g.kernelH + ky) * g.kernelW + kx];
                        }
                out[(size_t(oy) * g.outW + ox) * g.outC + oc] = activate(a, float(acc));
            }
    return out;
}

// Transposed form as a scatter: input (iy, ix) adds in * W[ky][kx] to output
// (iy*s + offH - ky*d, ix*s + offW - kx*d), offH = (KH-1)*d - padTop; the
// taps land mirrored relative to the forward convolution.
inline Vec referenceDeconvScatter(const Geometry& g, const Vec& in, const Vec& w, const Vec& bias,
                           const Activation& a) {
    const int C = g.outC;
    const int offH = (g.kernelH - 1) * g.dilationH - g.padTop;
    const int offW = (g.kernelW - 1) * g.dilationW - g.padLeft;
    std::vector<double> acc(size_t(g.outH) * g.outW * C, 0.0);
    for (int iy = 0; iy < g.inH; ++iy)
        for (int ix = 0; ix < g.inW; ++ix)
            for (int ky = 0; ky < g.kernelH; ++ky)
                for (int kx = 0; kx < g.kernelW; ++kx) {
                    const int oy = iy * g.strideH + offH - ky * g.dilationH;
                    const int ox = ix * g.strideW + offW - kx * g.dilationW;
                    if (oy < 0 || oy >= g.outH || ox < 0 || ox >= g.outW) continue;
                    for (int ch = 0; ch < C; ++ch)
                        acc[(size_t(oy) * g.outW + ox) * C + ch] +=
                            double(in[(size_t(iy) * g.inW + ix) * C + ch]) *
                            w[(size_t(ch) * g.kernelH + ky) * g.kernelW + kx];
                }
    Vec out(acc.size());
    for (size_t i = 0; i < acc.size(); ++i) out[i] = activate(a, float(acc[i] + bias[i % C]));
    return out;
}

inline void expectClose(const Vec& ref, const float* got, const char* what) {
    for (size_t i = 0; i < ref.size(); ++i)
        ASSERT_NEAR(ref[i], got[i], 1e-4f * (1.0f + std::abs(ref[i]))) << what << " at " << i;
}

}  // namespace test
}  // namespace dw
}  // namespace YNet
