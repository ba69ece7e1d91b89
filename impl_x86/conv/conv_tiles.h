#pragma once
// Register-tile templates shared by the SSE and AVX kernel files. A file
// includes this with one of the vector traits of impl_x86/simd as V:
//   V (register type); kLanes; load, store, set1, fmadd(a, b, c) = a*b + c,
//   max, min, add, mul, zero, hsum.
// Everything here has internal linkage: each ISA file compiles its own copy
// with its own instruction set, and no copy may leak to another file.
#include <algorithm>
#include <cstddef>

#include "impl_x86/activation/activation_kernels.h"
#include "impl_x86/conv/conv_kernels.h"

namespace YNet {
namespace conv {
namespace {

inline int blockCount(int oc, int b) { return oc <= b ? 1 : (oc + b - 1) / b; }
inline int blockStart(int i, int b, int oc) { return oc <= b ? 0 : std::min(i * b, oc - b); }

// Valid taps [first, end) of a window whose first tap reads input index
// `origin`, for taps `dil` apart over an input of `size` (truncating
// division, as the scalar reference does it).
struct TapRange {
    int first, end;
};
inline TapRange tapRange(int origin, int dil, int size, int taps) {
    int first = std::max(0, (dil - origin - 1) / dil);
    int end = std::min(taps, (size - 1 + dil - origin) / dil);
    return {first, std::max(first, end)};
}

// The fused rectifiers on one register.
template <class V>
struct Act {
    static constexpr uint32_t kLeakyMax = 0x100 | act::kLeakyRelu;
    typename V::V param, zero;
    uint32_t kind;
    explicit Act(const Args& a)
        : param(V::set1(a.actParam)),
          zero(V::zero()),
          kind(act::leakyIsMax(a.actKind, a.actParam) ? kLeakyMax : a.actKind) {}
    typename V::V operator()(typename V::V x) const {
        switch (kind) {
            case act::kRelu: return V::max(x, zero);
            case act::kClip: return V::min(V::max(x, zero), param);
            case act::kLeakyRelu: return V::add(V::max(x, zero), V::mul(param, V::min(x, zero)));
            case kLeakyMax: return V::max(x, V::mul(param, x));
            default: return x;
        }
    }
};

// ---- 1x1, pixels flattened: T pixels x one block of NV registers --------
template <class V, int NV, int T>
void pointwisePixels(const Args& a, const Act<V>& act, int p) {
    constexpr int B = NV * V::kLanes;
    const Geometry& g = a.g;
    const float* x = a.in + size_t(p) * g.ic;
    for (int bi = 0, nb = blockCount(g.oc, B); bi < nb; ++bi) {
        const int cs = blockStart(bi, B, g.oc);
        const float* wb = a.w + size_t(bi) * g.ic * B;
        typename V::V acc[T][NV];
        for (int t = 0; t < T; ++t)
            for (int v = 0; v < NV; ++v) acc[t][v] = V::load(a.bias + cs + v * V::kLanes);
        for (int c = 0; c < g.ic; ++c) {
            // T broadcasts stay live and one weight register is reused across
            // them: T*NV + T + 1 registers, which fits 16 even at 3 x 4.
            typename V::V b[T];
            for (int t = 0; t < T; ++t) b[t] = V::set1(x[t * g.ic + c]);
            for (int v = 0; v < NV; ++v) {
                const typename V::V wv = V::load(wb + c * B + v * V::kLanes);
                for (int t = 0; t < T; ++t) acc[t][v] = V::fmadd(wv, b[t], acc[t][v]);
            }
        }
        for (int t = 0; t < T; ++t)
            for (int v = 0; v < NV; ++v)
                V::store(a.out + size_t(p + t) * g.oc + cs + v * V::kLanes, act(acc[t][v]));
    }
}

template <class V, int NV, int T>
void pointwise(const Args& a) {
    const Act<V> act(a);
    const int pixels = a.g.oh * a.g.ow;
    int p = 0;
    for (; p + T <= pixels; p += T) pointwisePixels<V, NV, T>(a, act, p);
    for (; p < pixels; ++p) pointwisePixels<V, NV, 1>(a, act, p);
}

// ---- general geometry: T output columns of one row x one block --------
// ROWIC selects the rowIcMajor weight order, else tapMajor.
template <bool ROWIC>
inline size_t tapOffset(const Geometry& g, int ky, int kx, int c) {
    return ROWIC ? (size_t(ky) * g.ic + c) * g.kw + kx : (size_t(ky) * g.kw + kx) * g.ic + c;
}

template <class V, int NV, int T, bool ROWIC>
void generalColumns(const Args& a, const Act<V>& act, int oy, TapRange ky, int ox, TapRange kx) {
    constexpr int B = NV * V::kLanes;
    const Geometry& g = a.g;
    const int y0 = oy * g.sh - g.padTop;
    const size_t blockSize = size_t(g.kh) * g.kw * g.ic * B;
    for (int bi = 0, nb = blockCount(g.oc, B); bi < nb; ++bi) {
        const int cs = blockStart(bi, B, g.oc);
        const float* wb = a.w + bi * blockSize;
        typename V::V acc[T][NV];
        for (int t = 0; t < T; ++t)
            for (int v = 0; v < NV; ++v) acc[t][v] = V::load(a.bias + cs + v * V::kLanes);
        for (int i = ky.first; i < ky.end; ++i) {
            const float* row = a.in + size_t(y0 + i * g.dh) * g.iw * g.ic;
            for (int j = kx.first; j < kx.end; ++j) {
                const float* xs[T];
                for (int t = 0; t < T; ++t)
                    xs[t] = row + size_t((ox + t) * g.sw - g.padLeft + j * g.dw) * g.ic;
                for (int c = 0; c < g.ic; ++c) {
                    const float* wt = wb + tapOffset<ROWIC>(g, i, j, c) * B;
                    typename V::V wv[NV];
                    for (int v = 0; v < NV; ++v) wv[v] = V::load(wt + v * V::kLanes);
                    for (int t = 0; t < T; ++t) {
                        const typename V::V b = V::set1(xs[t][c]);
                        for (int v = 0; v < NV; ++v) acc[t][v] = V::fmadd(wv[v], b, acc[t][v]);
                    }
                }
            }
        }
        for (int t = 0; t < T; ++t)
            for (int v = 0; v < NV; ++v)
                V::store(a.out + (size_t(oy) * g.ow + ox + t) * g.oc + cs + v * V::kLanes,
                         act(acc[t][v]));
    }
}

// Output columns whose whole window lies inside the input: [lo, hi).
inline void interiorColumns(const Geometry& g, int& lo, int& hi) {
    lo = std::min(g.ow, (g.padLeft + g.sw - 1) / g.sw);
    const int last = g.iw - 1 - (g.kw - 1) * g.dw + g.padLeft;
    hi = last < 0 ? lo : std::max(lo, std::min(g.ow, last / g.sw + 1));
}

// Columns are visited left to right so that the extra channels a block
// writes past a pixel (OC < B) are always rewritten afterwards.
template <class V, int NV, int T, bool ROWIC>
void general(const Args& a) {
    const Act<V> act(a);
    const Geometry& g = a.g;
    int lo, hi;
    interiorColumns(g, lo, hi);
    const TapRange allX{0, g.kw};
    auto border = [&](int oy, TapRange ky, int ox) {
        TapRange kx = tapRange(ox * g.sw - g.padLeft, g.dw, g.iw, g.kw);
        generalColumns<V, NV, 1, ROWIC>(a, act, oy, ky, ox, kx);
    };
    for (int oy = 0; oy < g.oh; ++oy) {
        const TapRange ky = tapRange(oy * g.sh - g.padTop, g.dh, g.ih, g.kh);
        int ox = 0;
        for (; ox < lo; ++ox) border(oy, ky, ox);
        for (; ox + T <= hi; ox += T) generalColumns<V, NV, T, ROWIC>(a, act, oy, ky, ox, allX);
        for (; ox < hi; ++ox) generalColumns<V, NV, 1, ROWIC>(a, act, oy, ky, ox, allX);
        for (; ox < g.ow; ++ox) border(oy, ky, ox);
    }
}

// ---- 1-D three-tap line (icMajor weights [ic][tap][B]) ----------------
// T positions by P neighbouring channel blocks (block bi and the P - 1 after
// it, each clamped as usual).
template <class V, int NV, int T, int P>
void linePositions(const Args& a, const Act<V>& act, const float* zero, int x, int bi) {
    constexpr int B = NV * V::kLanes;
    const Geometry& g = a.g;
    const int len = std::max(g.oh, g.ow);
    int cs[P];
    const float* wb[P];
    for (int h = 0; h < P; ++h) {
        cs[h] = blockStart(bi + h, B, g.oc);
        wb[h] = a.w + size_t(bi + h) * g.ic * 3 * B;
    }
    const float* src[T + 2];
    for (int j = 0; j < T + 2; ++j) {
        const int q = x - 1 + j;
        src[j] = (q < 0 || q >= len) ? zero : a.in + size_t(q) * g.ic;
    }
    typename V::V acc[T][P][NV];
    for (int t = 0; t < T; ++t)
        for (int h = 0; h < P; ++h)
            for (int v = 0; v < NV; ++v) acc[t][h][v] = V::load(a.bias + cs[h] + v * V::kLanes);
    for (int c = 0; c < g.ic; ++c) {
        // Tap k of position x+t reads input x+t-1+k; each weight register
        // serves all T positions (a repeated broadcast is one value: the
        // compiler keeps it when registers allow).
        for (int k = 0; k < 3; ++k) {
            typename V::V wv[P][NV];
            for (int h = 0; h < P; ++h)
                for (int v = 0; v < NV; ++v) wv[h][v] = V::load(wb[h] + (c * 3 + k) * B + v * V::kLanes);
            for (int t = 0; t < T; ++t) {
                const typename V::V b = V::set1(src[t + k][c]);
                for (int h = 0; h < P; ++h)
                    for (int v = 0; v < NV; ++v) acc[t][h][v] = V::fmadd(wv[h][v], b, acc[t][h][v]);
            }
        }
    }
    for (int t = 0; t < T; ++t)
        for (int h = 0; h < P; ++h)
            for (int v = 0; v < NV; ++v)
                V::store(a.out + size_t(x + t) * g.oc + cs[h] + v * V::kLanes, act(acc[t][h][v]));
}

// Blocks go P at a time while P remain (then one at a time with TS
// positions per step): with P = 2 at 16 channels, 3 positions x 32
// channels keep 12 accumulators in flight.
template <class V, int NV, int T, int P = 1, int TS = T>
void line(const Args& a) {
    const Act<V> act(a);
    const Geometry& g = a.g;
    const int len = std::max(g.oh, g.ow);
    float* zero = a.scratch;
    std::fill(zero, zero + g.ic, 0.0f);
    const int nb = blockCount(g.oc, NV * V::kLanes);
    int bi = 0;
    for (; bi + P <= nb; bi += P) {
        int x = 0;
        for (; x + T <= len; x += T) linePositions<V, NV, T, P>(a, act, zero, x, bi);
        for (; x < len; ++x) linePositions<V, NV, 1, P>(a, act, zero, x, bi);
    }
    for (; bi < nb; ++bi) {
        int x = 0;
        for (; x + TS <= len; x += TS) linePositions<V, NV, TS, 1>(a, act, zero, x, bi);
        for (; x < len; ++x) linePositions<V, NV, 1, 1>(a, act, zero, x, bi);
    }
}

// ---- OC = 1, 1x1: dot products in lanes of NV registers ---------------
template <class V, int NV, int T>
void dotPixels(const Args& a, int p) {
    const int ic = a.g.ic;
    typename V::V acc[T][NV];
    for (int t = 0; t < T; ++t)
        for (int v = 0; v < NV; ++v) acc[t][v] = V::zero();
    for (int c = 0; c < ic; c += NV * V::kLanes) {
        for (int v = 0; v < NV; ++v) {
            const typename V::V wv = V::load(a.w + c + v * V::kLanes);
            for (int t = 0; t < T; ++t)
                acc[t][v] = V::fmadd(V::load(a.in + size_t(p + t) * ic + c + v * V::kLanes), wv,
                                   acc[t][v]);
        }
    }
    for (int t = 0; t < T; ++t) {
        typename V::V s = acc[t][0];
        for (int v = 1; v < NV; ++v) s = V::add(s, acc[t][v]);
        a.out[p + t] = act::applyScalar(a.actKind, a.actParam, V::hsum(s) + a.bias[0]);
    }
}

template <class V, int NV>
void dot(const Args& a) {
    const int pixels = a.g.oh * a.g.ow;
    int p = 0;
    for (; p + 4 <= pixels; p += 4) dotPixels<V, NV, 4>(a, p);
    for (; p < pixels; ++p) dotPixels<V, NV, 1>(a, p);
}

// Dot product of n floats, vector body and scalar tail.
template <class V>
float dotRange(const float* x, const float* w, int n) {
    typename V::V acc = V::zero();
    int c = 0;
    for (; c + V::kLanes <= n; c += V::kLanes) acc = V::fmadd(V::load(x + c), V::load(w + c), acc);
    float s = V::hsum(acc);
    for (; c < n; ++c) s += x[c] * w[c];
    return s;
}

// ---- OC = 1, any geometry, plain weights W[ky][kx][ic]; no fusion -------
template <class V>
void singleOutput(const Args& a) {
    const Geometry& g = a.g;
    for (int oy = 0; oy < g.oh; ++oy) {
        const int y0 = oy * g.sh - g.padTop;
        const TapRange ky = tapRange(y0, g.dh, g.ih, g.kh);
        for (int ox = 0; ox < g.ow; ++ox) {
            const int x0 = ox * g.sw - g.padLeft;
            const TapRange kx = tapRange(x0, g.dw, g.iw, g.kw);
            float s = a.bias[0];
            for (int i = ky.first; i < ky.end; ++i)
                for (int j = kx.first; j < kx.end; ++j)
                    s += dotRange<V>(a.in + (size_t(y0 + i * g.dh) * g.iw + x0 + j * g.dw) * g.ic,
                                     a.w + (size_t(i) * g.kw + j) * g.ic, g.ic);
            a.out[size_t(oy) * g.ow + ox] = s;
        }
    }
}

// ---- transposed convolution, gather form -------------------------------
// Input pixel read by tap (ky, kx) of output (oy, ox), or null.
inline const float* deconvSource(const Args& a, int oy, int ox, int ky, int kx) {
    const Geometry& g = a.g;
    const int sy = oy - (g.kh - 1 - g.padTop) + ky;
    const int sx = ox - (g.kw - 1 - g.padLeft) + kx;
    if (sy < 0 || sy >= g.ih * g.sh || sy % g.sh || sx < 0 || sx >= g.iw * g.sw || sx % g.sw)
        return nullptr;
    return a.in + (size_t(sy / g.sh) * g.iw + sx / g.sw) * g.ic;
}

// icMajor blocks of B output channels, one output pixel per step.
template <class V, int NV>
void deconvOcBlocked(const Args& a) {
    constexpr int B = NV * V::kLanes;
    const Act<V> act(a);
    const Geometry& g = a.g;
    const size_t blockSize = size_t(g.ic) * g.kh * g.kw * B;
    for (int oy = 0; oy < g.oh; ++oy)
        for (int ox = 0; ox < g.ow; ++ox)
            for (int bi = 0, nb = blockCount(g.oc, B); bi < nb; ++bi) {
                const int cs = blockStart(bi, B, g.oc);
                const float* wb = a.w + bi * blockSize;
                typename V::V acc[NV];
                for (int v = 0; v < NV; ++v) acc[v] = V::load(a.bias + cs + v * V::kLanes);
                for (int ky = 0; ky < g.kh; ++ky)
                    for (int kx = 0; kx < g.kw; ++kx) {
                        const float* x = deconvSource(a, oy, ox, ky, kx);
                        if (!x) continue;
                        for (int c = 0; c < g.ic; ++c) {
                            const typename V::V b = V::set1(x[c]);
                            const float* wt = wb + ((size_t(c) * g.kh + ky) * g.kw + kx) * B;
                            for (int v = 0; v < NV; ++v)
                                acc[v] = V::fmadd(V::load(wt + v * V::kLanes), b, acc[v]);
                        }
                    }
                for (int v = 0; v < NV; ++v)
                    V::store(a.out + (size_t(oy) * g.ow + ox) * g.oc + cs + v * V::kLanes,
                             act(acc[v]));
            }
}

// Plain weights W[oc][ky][kx][ic], R output channels per pass (R = 1 is the
// plain dot-product kernel): each input vector is loaded once per tap and
// multiplied into R accumulators (one per channel, vector over IC), then
// reduced; no fusion. Needs OC >= R; a last group past OC is moved back to
// end at OC (its channels are rewritten with the same values).
template <class V, int R>
void deconvOutputRows(const Args& a) {
    const Geometry& g = a.g;
    const size_t rowSize = size_t(g.kh) * g.kw * g.ic;  // one output channel's weights
    for (int oy = 0; oy < g.oh; ++oy)
        for (int ox = 0; ox < g.ow; ++ox)
            for (int c0 = 0; c0 < g.oc; c0 += R) {
                const int cs = std::min(c0, g.oc - R);
                typename V::V acc[R];
                float tail[R];
                for (int r = 0; r < R; ++r) acc[r] = V::zero(), tail[r] = 0.0f;
                for (int ky = 0; ky < g.kh; ++ky)
                    for (int kx = 0; kx < g.kw; ++kx) {
                        const float* x = deconvSource(a, oy, ox, ky, kx);
                        if (!x) continue;
                        const float* w = a.w + cs * rowSize + (size_t(ky) * g.kw + kx) * g.ic;
                        int c = 0;
                        for (; c + V::kLanes <= g.ic; c += V::kLanes) {
                            const typename V::V xv = V::load(x + c);
                            for (int r = 0; r < R; ++r)
                                acc[r] = V::fmadd(V::load(w + r * rowSize + c), xv, acc[r]);
                        }
                        for (; c < g.ic; ++c)
                            for (int r = 0; r < R; ++r) tail[r] += x[c] * w[r * rowSize + c];
                    }
                float* o = a.out + (size_t(oy) * g.ow + ox) * g.oc + cs;
                for (int r = 0; r < R; ++r) o[r] = a.bias[cs + r] + V::hsum(acc[r]) + tail[r];
            }
}

}  // namespace
}  // namespace conv
}  // namespace YNet
