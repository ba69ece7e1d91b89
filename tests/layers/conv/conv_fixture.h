#pragma once
// Builds convolution layers the way a net does (registry, NCHW weights,
// NHWC input) and computes their expected output with direct loops.
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "impl_x86/conv/x86_conv.h"
#include "tests/support/layer_records.h"
#include "ynet/layer_registry.h"
#include "ynet/run_env.h"

namespace conv_test {

using namespace YNet;

using test_support::RecordBuilder;
using test_support::TestEnv;

// Geometry of one case; for transposed layers `group` splits the channels.
struct Case {
    int ih, iw, ic, oc, kh, kw, sh, sw, dh, dw, pt, pb, pl, pr;
    int group = 1;
};

struct Built {
    TensorMap blobs, weights;
    Layer* layer = nullptr;  // owned
    std::vector<float> input, weight, bias;  // logical orders (see fill)
    ~Built() { delete layer; }
};

inline float uniform(std::mt19937& rng) {
    return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
}

inline RecordBuilder record(const char* type, const Case& c) {
    return RecordBuilder(type, {"in", "out"}, {c.kw, c.kh, c.pl, c.pr, c.pt, c.pb, c.sw, c.sh, c.dw, c.dh, c.group},
                         {"w", "b"});
}

// Weight logical order: conv W[oc][ky][kx][ic]; transposed W[ic][ky][kx][oc/group].
// Stored NCHW as the model does: conv [oc][ic][ky][kx], transposed
// [ic][oc/group][ky][kx]; with nhwcWeights in the logical order itself.
inline std::unique_ptr<Built> build(bool transposed, const Case& c, unsigned seed,
                                    bool nhwcWeights = false) {
    auto b = std::make_unique<Built>();
    std::mt19937 rng(seed);
    const int n = transposed ? c.ic : c.oc, cc = transposed ? c.oc / c.group : c.ic;
    Tensor& w = lookup(b->weights, "w");
    const uint32_t layout = nhwcWeights ? kNHWC : kNCHW;
    w.set(uint32_t(n), uint32_t(c.kh), uint32_t(c.kw), uint32_t(cc), layout);
    float* wd = w.floatData(layout);
    b->weight.resize(size_t(n) * c.kh * c.kw * cc);
    for (int o = 0; o < n; ++o)
        for (int y = 0; y < c.kh; ++y)
            for (int x = 0; x < c.kw; ++x)
                for (int i = 0; i < cc; ++i) {
                    const float v = uniform(rng);
                    const size_t logical = ((size_t(o) * c.kh + y) * c.kw + x) * cc + i;
                    b->weight[logical] = v;
                    wd[nhwcWeights ? logical : ((size_t(o) * cc + i) * c.kh + y) * c.kw + x] = v;
                }
    Tensor& bias = lookup(b->weights, "b");
    bias.set(1, 1, 1, uint32_t(c.oc), kNCHW);
    float* bd = bias.floatData(kNCHW);
    for (int o = 0; o < c.oc; ++o) b->bias.push_back(bd[o] = uniform(rng));
    Tensor& in = lookup(b->blobs, "in");
    in.set(1, uint32_t(c.ih), uint32_t(c.iw), uint32_t(c.ic), kNHWC);
    float* id = in.floatData();
    for (size_t i = 0; i < in.count; ++i) b->input.push_back(id[i] = uniform(rng));
    b->layer = LayerRegistry::create(3, record(transposed ? "ConvTranspose" : "Conv", c), b->blobs, b->weights);
    return b;
}

// Expected output and, per element, the sum of |terms| that bounds the
// rounding error of any summation order.
struct Expected {
    std::vector<double> value, magnitude;
    int terms = 0;
};

inline Expected referenceConv(const Built& b, const Case& c, int oh, int ow) {
    Expected e;
    e.value.assign(size_t(oh) * ow * c.oc, 0.0);
    e.magnitude = e.value;
    e.terms = c.kh * c.kw * c.ic + 1;
    for (int oy = 0; oy < oh; ++oy)
        for (int ox = 0; ox < ow; ++ox)
            for (int oc = 0; oc < c.oc; ++oc) {
                const size_t o = (size_t(oy) * ow + ox) * c.oc + oc;
                double s = b.bias[oc], m = std::fabs(s);
                for (int ky = 0; ky < c.kh; ++ky)
                    for (int kx = 0; kx < c.kw; ++kx) {
                        const int iy = oy * c.sh - c.pt + ky * c.dh;
                        const int ix = ox * c.sw - c.pl + kx * c.dw;
                        if (iy < 0 || iy >= c.ih || ix < 0 || ix >= c.iw) continue;
                        for (int ic = 0; ic < c.ic; ++ic) {
                            const double t =
                                double(b.input[(size_t(iy) * c.iw + ix) * c.ic + ic]) *
                                b.weight[((size_t(oc) * c.kh + ky) * c.kw + kx) * c.ic + ic];
                            s += t;
                            m += std::fabs(t);
                        }
                    }
                e.value[o] = s;
                e.magnitude[o] = m;
            }
    return e;
}

// Scatter form: input pixel (iy, ix) through tap (ky, kx) lands on output
// row iy * sh + (kh - 1 - ky) - pt (the gather form's flipped tap order).
inline Expected referenceDeconv(const Built& b, const Case& c, int oh, int ow) {
    Expected e;
    const int ocg = c.oc / c.group, icg = c.ic / c.group;
    e.value.assign(size_t(oh) * ow * c.oc, 0.0);
    e.magnitude = e.value;
    e.terms = c.kh * c.kw * icg + 1;
    for (size_t p = 0; p < size_t(oh) * ow; ++p)
        for (int oc = 0; oc < c.oc; ++oc) {
            e.value[p * c.oc + oc] = b.bias[oc];
            e.magnitude[p * c.oc + oc] = std::fabs(b.bias[oc]);
        }
    for (int iy = 0; iy < c.ih; ++iy)
        for (int ix = 0; ix < c.iw; ++ix)
            for (int ky = 0; ky < c.kh; ++ky)
                for (int kx = 0; kx < c.kw; ++kx) {
                    const int oy = iy * c.sh + (c.kh - 1 - ky) - c.pt;
                    const int ox = ix * c.sw + (c.kw - 1 - kx) - c.pl;
                    if (oy < 0 || oy >= oh || ox < 0 || ox >= ow) continue;
                    for (int oc = 0; oc < c.oc; ++oc) {
                        const int grp = oc / ocg, row = oc % ocg;
                        const size_t o = (size_t(oy) * ow + ox) * c.oc + oc;
                        for (int i = 0; i < icg; ++i) {
                            const int ic = grp * icg + i;
                            const double t =
                                double(b.input[(size_t(iy) * c.iw + ix) * c.ic + ic]) *
                                b.weight[((size_t(ic) * c.kh + ky) * c.kw + kx) * ocg + row];
                            e.value[o] += t;
                            e.magnitude[o] += std::fabs(t);
                        }
                    }
                }
    return e;
}

// Worst-case bound of float summation of `terms` products in any order
// (with or without fused multiply-add): terms * 2^-24 * sum |terms|, with
// a factor 2 of headroom and a floor for results near zero.
inline double tolerance(const Expected& e, size_t i) {
    return 2.0 * e.terms * std::ldexp(1.0, -24) * e.magnitude[i] + 1e-6;
}

}  // namespace conv_test
