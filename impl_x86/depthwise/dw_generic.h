#pragma once
// Depthwise kernel bodies written once over a small vector-ops struct so the
// SSE and AVX2/FMA builds share one tiling. Ops is one of the traits of
// impl_x86/simd (V, kLanes, zero, set1, load, store, fmadd(a, b, c) = a*b + c,
// max, min). Included by one kernel file per ISA; the unnamed namespace keeps
// each build's copy local.
//
// Tiles: one channel block of B = NV*kLanes channels by up to 4 output positions
// (five-tap lines: one register of channels by 8 positions), accumulators
// initialised from the bias. Positions whose taps all fall inside the input
// run unchecked in groups; border positions run one at a time with the valid
// taps only.
#include <algorithm>
#include <cstddef>

#include "impl_x86/activation/activation_kernels.h"
#include "impl_x86/depthwise/depthwise_kernels.h"

namespace YNet {
namespace dw {
namespace {
namespace generic {

inline int floorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
inline int ceilDiv(int a, int b) { return floorDiv(a + b - 1, b); }

// Taps t in [first, end) keep origin + t*d inside [0, n).
struct TapRange {
    int first, end;
    TapRange(int origin, int d, int taps, int n) {
        first = std::max(0, ceilDiv(-origin, d));
        end = std::max(first, std::min(taps, ceilDiv(n - origin, d)));
    }
};

// Output positions whose taps all lie inside the input: [lo, hi).
struct Interior {
    int lo, hi;
    Interior(int outLen, int inLen, int pad, int stride, int dil, int taps) {
        lo = std::min(outLen, ceilDiv(pad, stride));
        hi = std::max(lo, std::min(outLen, floorDiv(inLen - 1 + pad - (taps - 1) * dil, stride) + 1));
    }
};

// One axis of a 1-D layer: the other spatial size is 1 on both sides.
struct Line {
    int inLen, outLen, stride, dil, pad;
};
inline Line lineOf(const Geometry& g) {
    if (g.kernelH == 1 && g.inH == 1 && g.outH == 1 && g.kernelW != 1)
        return {g.inW, g.outW, g.strideW, g.dilationW, g.padLeft};
    return {g.inH, g.outH, g.strideH, g.dilationH, g.padTop};
}

template <class O>
struct Act {
    using V = typename O::V;
    static constexpr uint32_t kLeakyMax = 0x106;
    uint32_t kind;
    V param, zero;
    explicit Act(const Activation& a)
        : kind(act::leakyIsMax(a.kind, a.param) ? kLeakyMax : a.kind),
          param(O::set1(a.param)),
          zero(O::zero()) {}
    V operator()(V v) const {
        switch (kind) {
            case 1: return O::max(v, zero);
            case 2: return O::min(O::max(v, zero), param);
            case 6: return O::fmadd(param, O::min(v, zero), O::max(v, zero));
            case kLeakyMax: return O::max(v, O::mul(param, v));
            default: return v;
        }
    }
};

template <class O, int NV>
struct Acc {
    typename O::V v[NV];
    void init(const float* bias) {
        for (int j = 0; j < NV; ++j) v[j] = O::load(bias + j * O::kLanes);
    }
    // v += in[0..B) * w[0..B), element-wise
    void add(const float* in, const float* w) {
        for (int j = 0; j < NV; ++j)
            v[j] = O::fmadd(O::load(in + j * O::kLanes), O::load(w + j * O::kLanes), v[j]);
    }
    // v += x * w[0..B)
    void addBroadcast(float x, const float* w) {
        const auto xv = O::set1(x);
        for (int j = 0; j < NV; ++j) v[j] = O::fmadd(xv, O::load(w + j * O::kLanes), v[j]);
    }
    void store(float* out, const Act<O>& act) const {
        for (int j = 0; j < NV; ++j) O::store(out + j * O::kLanes, act(v[j]));
    }
};

// Start channel of block k: the last block is moved back to end at C.
inline int blockStart(int k, int B, int C) { return std::min(k * B, C - B); }

// G output positions of one register of channels on a five-tap line whose
// stride equals its dilation, so output i, tap t reads input i + t: the tap
// weights stay in registers and each input vector is loaded once for all
// the outputs it feeds. Taps are added in order, as in the border path.
template <class O, int G, int S>
inline void slide(const float* in, const float* w, int ws, const float* bias, float* out, int C,
                  const Act<O>& act) {
    using V = typename O::V;
    V wt[5], acc[G];
    for (int t = 0; t < 5; ++t) wt[t] = O::load(w + t * ws);
    for (int i = 0; i < G; ++i) acc[i] = O::load(bias);
    for (int j = 0; j < G + 4; ++j) {
        const V x = O::load(in + size_t(j) * S * C);
        for (int t = 4; t >= 0; --t)
            if (j - t >= 0 && j - t < G) acc[j - t] = O::fmadd(x, wt[t], acc[j - t]);
    }
    for (int i = 0; i < G; ++i) O::store(out + size_t(i) * C, act(acc[i]));
}

// Five-tap line with compile-time stride S = dilation. Weights blocked
// ([block][tap][B]) or, with ChanInner, channel innermost ([tap][C]).
// Interior positions go G at a time across every channel block, so the
// input is read in order; the last group is moved back to end at the
// interior's end (rewriting a few outputs with the same values).
template <class O, int B, int S, bool ChanInner>
void line(const Geometry& g, const Operands& o, const Activation& a) {
    constexpr int NV = B / O::kLanes, T = 5, G = 8;
    const Line ln = lineOf(g);
    const int C = g.outC;
    const Act<O> act(a);
    const Interior inner(ln.outLen, ln.inLen, ln.pad, S, S, T);
    const int ws = ChanInner ? C : B;
    auto weights = [&](int k) {
        return ChanInner ? o.weight + blockStart(k, B, C) : o.weight + size_t(k) * T * B;
    };
    auto single = [&](int x) {
        for (int k = 0; k * B < C; ++k) {
            const int c0 = blockStart(k, B, C);
            const float* w = weights(k);
            Acc<O, NV> acc;
            acc.init(o.bias + c0);
            const int p0 = x * S - ln.pad;
            for (int t = 0; t < T; ++t) {
                const int p = p0 + t * S;
                if (p >= 0 && p < ln.inLen) acc.add(o.in + c0 + size_t(p) * C, w + t * ws);
            }
            acc.store(o.out + c0 + size_t(x) * C, act);
        }
    };
    auto group = [&](int x) {
        for (int k = 0; k * B < C; ++k)
            for (int v = 0; v < NV; ++v) {
                const int c = blockStart(k, B, C) + v * O::kLanes;
                slide<O, G, S>(o.in + c + size_t(x * S - ln.pad) * C, weights(k) + v * O::kLanes, ws,
                               o.bias + c, o.out + c + size_t(x) * C, C, act);
            }
    };
    int x = 0;
    for (; x < inner.lo; ++x) single(x);
    if (inner.hi - x >= G) {
        for (; x < inner.hi; x += G) group(std::min(x, inner.hi - G));
        x = inner.hi;
    }
    for (; x < ln.outLen; ++x) single(x);
}

// Depthwise, any geometry; weights [block][ky][kx][B].
template <class O, int B>
void blocked(const Geometry& g, const Operands& o, const Activation& a) {
    constexpr int NV = B / O::kLanes;
    const int C = g.outC, taps = g.kernelH * g.kernelW;
    const Act<O> act(a);
    const Interior inner(g.outW, g.inW, g.padLeft, g.strideW, g.dilationW, g.kernelW);
    for (int k = 0; k * B < C; ++k) {
        const int c0 = blockStart(k, B, C);
        const float* w = o.weight + size_t(k) * taps * B;
        for (int oy = 0; oy < g.outH; ++oy) {
            const int y0 = oy * g.strideH - g.padTop;
            const TapRange ky(y0, g.dilationH, g.kernelH, g.inH);
            const float* inRow = o.in + c0;
            float* outRow = o.out + size_t(oy) * g.outW * C + c0;
            auto pixel = [&](int y, int x) { return inRow + (size_t(y) * g.inW + x) * g.inC; };
            auto single = [&](int ox) {
                const int x0 = ox * g.strideW - g.padLeft;
                const TapRange kx(x0, g.dilationW, g.kernelW, g.inW);
                Acc<O, NV> acc;
                acc.init(o.bias + c0);
                for (int i = ky.first; i < ky.end; ++i)
                    for (int j = kx.first; j < kx.end; ++j)
                        acc.add(pixel(y0 + i * g.dilationH, x0 + j * g.dilationW),
                                w + (i * g.kernelW + j) * B);
                acc.store(outRow + size_t(ox) * C, act);
            };
            int ox = 0;
            for (; ox < inner.lo; ++ox) single(ox);
            for (; ox + 4 <= inner.hi; ox += 4) {
                Acc<O, NV> acc[4];
                for (int q = 0; q < 4; ++q) acc[q].init(o.bias + c0);
                const int x0 = ox * g.strideW - g.padLeft;
                for (int i = ky.first; i < ky.end; ++i)
                    for (int j = 0; j < g.kernelW; ++j)
                        for (int q = 0; q < 4; ++q)
                            acc[q].add(pixel(y0 + i * g.dilationH, x0 + q * g.strideW + j * g.dilationW),
                                       w + (i * g.kernelW + j) * B);
                for (int q = 0; q < 4; ++q) acc[q].store(outRow + size_t(ox + q) * C, act);
            }
            for (; ox < g.outW; ++ox) single(ox);
        }
    }
}

// Grouped: output block of B channels (inside one group of M = outC/group)
// sums over the group's K = inC/group input channels, each broadcast;
// weights [block][ky][kx][k][B].
template <class O, int B>
void grouped(const Geometry& g, const Operands& o, const Activation& a) {
    constexpr int NV = B / O::kLanes;
    const int M = g.outC / g.group, K = g.inC / g.group;
    const int taps = g.kernelH * g.kernelW;
    const Act<O> act(a);
    for (int k = 0; k * B < g.outC; ++k) {
        const int c0 = k * B;
        const float* w = o.weight + size_t(k) * taps * K * B;
        const float* in = o.in + (c0 / M) * K;
        for (int oy = 0; oy < g.outH; ++oy) {
            const int y0 = oy * g.strideH - g.padTop;
            const TapRange ky(y0, g.dilationH, g.kernelH, g.inH);
            for (int ox = 0; ox < g.outW; ++ox) {
                const int x0 = ox * g.strideW - g.padLeft;
                const TapRange kx(x0, g.dilationW, g.kernelW, g.inW);
                Acc<O, NV> acc;
                acc.init(o.bias + c0);
                for (int i = ky.first; i < ky.end; ++i)
                    for (int j = kx.first; j < kx.end; ++j) {
                        const int y = y0 + i * g.dilationH, x = x0 + j * g.dilationW;
                        const float* ip = in + (size_t(y) * g.inW + x) * g.inC;
                        const float* wp = w + size_t(i * g.kernelW + j) * K * B;
                        for (int c = 0; c < K; ++c) acc.addBroadcast(ip[c], wp + c * B);
                    }
                acc.store(o.out + (size_t(oy) * g.outW + ox) * g.outC + c0, act);
            }
        }
    }
}

// Transposed five-tap line, stride 2, dilation 2; weights [tap][C]. Output
// position x gathers input positions r/2 + t (r = x - offset) when r is even;
// odd r receives no tap and holds the bias.
template <class O, int B>
void deconvLine(const Geometry& g, const Operands& o, const Activation& a) {
    constexpr int NV = B / O::kLanes, T = 5;
    const Line ln = lineOf(g);
    const int C = g.outC, offset = (T - 1) * 2 - ln.pad;
    const Act<O> act(a);
    for (int k = 0; k * B < C; ++k) {
        const int c0 = blockStart(k, B, C);
        const float* w = o.weight + c0;
        const float* in = o.in + c0;
        for (int x = 0; x < ln.outLen; ++x) {
            Acc<O, NV> acc;
            acc.init(o.bias + c0);
            const int r = x - offset;
            if ((r & 1) == 0) {
                const int base = r / 2;
                const TapRange t(base, 1, T, ln.inLen);
                for (int i = t.first; i < t.end; ++i) acc.add(in + size_t(base + i) * C, w + i * C);
            }
            acc.store(o.out + size_t(x) * C + c0, act);
        }
    }
}

}  // namespace generic
}  // namespace
}  // namespace dw
}  // namespace YNet
