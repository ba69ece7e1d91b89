// AVX + FMA 3x3 kernels for very few channels (OC 3 from IC 4, OC 1 from
// IC 3), where a channel block would waste most lanes. Input rows are
// staged channel-planar with zero borders, so eight neighbouring output
// columns of one tap are one unaligned load, and each accumulator holds
// eight columns of one output channel. Weights are rowIcMajor with a
// single block of exactly OC channels: W[ky][ic][kx][oc]. Both kernels
// need strideW 1; any padding, strideH and dilation is handled.
#include <cstring>

#include "impl_x86/conv/conv_tiles.h"
#include "impl_x86/simd/vec_avx2.h"

namespace YNet {
namespace conv {
namespace {

using Avx = vec::Avx8Fma;
constexpr int kTaps = 3;

// The input rows one output row reads, as channel planes of `len` columns:
// plane column j holds input column j - padLeft (zero outside the input).
struct RowSet {
    const float* planes[kTaps];  // per valid tap row: IC planes, `len` apart
    int count, firstTap, len, dw;
};

// Three staged rows in the caller's scratch, reused while consecutive
// output rows share them. The border columns are zeroed once and never
// written again.
template <int IC>
class RowRing {
public:
    explicit RowRing(const Args& a) : len_(a.g.ow + (kTaps - 1) * a.g.dw), data_(a.scratch) {
        std::memset(data_, 0, size_t(kTaps) * IC * len_ * sizeof(float));
    }
    RowRing(const RowRing&) = delete;
    RowRing& operator=(const RowRing&) = delete;

    // Rows of output row oy; taps whose row is outside the input are left
    // out (they would add only zeros).
    RowSet rows(const Args& a, int oy) {
        const Geometry& g = a.g;
        const int y0 = oy * g.sh - g.padTop;
        const TapRange ky = tapRange(y0, g.dh, g.ih, kTaps);
        RowSet r{{}, ky.end - ky.first, ky.first, len_, g.dw};
        int slot[kTaps] = {-1, -1, -1};
        bool used[kTaps] = {};
        for (int i = 0; i < r.count; ++i)
            for (int s = 0; s < kTaps; ++s)
                if (tag_[s] == y0 + (ky.first + i) * g.dh) used[slot[i] = s] = true;
        for (int i = 0; i < r.count; ++i) {
            if (slot[i] < 0) {
                int s = 0;
                while (used[s]) ++s;
                used[slot[i] = s] = true;
                stage(a, s, y0 + (ky.first + i) * g.dh);
            }
            r.planes[i] = data_ + size_t(slot[i]) * IC * len_;
        }
        return r;
    }

private:
    void stage(const Args& a, int s, int y) {
        const Geometry& g = a.g;
        tag_[s] = y;
        float* dst = data_ + size_t(s) * IC * len_;
        const float* src = a.in + size_t(y) * g.iw * IC;
        const int x0 = std::max(0, -g.padLeft), x1 = std::min(g.iw, len_ - g.padLeft);
        for (int x = x0; x < x1; ++x)
            for (int c = 0; c < IC; ++c) dst[size_t(c) * len_ + x + g.padLeft] = src[x * IC + c];
    }

    int len_;
    float* data_;
    int tag_[kTaps] = {-1, -1, -1};
};

// Weights of tap row ky, channel c: kTaps x OC values.
template <int OC, int IC>
const float* tapWeights(const Args& a, int ky, int c) {
    return a.w + (size_t(ky) * IC + c) * kTaps * OC;
}

// 8 T output columns from column ox of one output row `out`.
template <int OC, int IC, int T>
void columns(const Args& a, const Act<Avx>& act, const RowSet& r, int ox, float* out) {
    constexpr int L = Avx::kLanes;
    typename Avx::V acc[OC][T];
    for (int o = 0; o < OC; ++o)
        for (int t = 0; t < T; ++t) acc[o][t] = Avx::set1(a.bias[o]);
    for (int i = 0; i < r.count; ++i)
        for (int c = 0; c < IC; ++c) {
            const float* w = tapWeights<OC, IC>(a, r.firstTap + i, c);
            const float* x = r.planes[i] + size_t(c) * r.len + ox;
            for (int kx = 0; kx < kTaps; ++kx) {
                typename Avx::V wv[OC];
                for (int o = 0; o < OC; ++o) wv[o] = Avx::set1(w[kx * OC + o]);
                for (int t = 0; t < T; ++t) {
                    const typename Avx::V xv = Avx::load(x + kx * r.dw + t * L);
                    for (int o = 0; o < OC; ++o) acc[o][t] = Avx::fmadd(wv[o], xv, acc[o][t]);
                }
            }
        }
    if (OC == 1) {
        for (int t = 0; t < T; ++t) Avx::store(out + ox + t * L, act(acc[0][t]));
        return;
    }
    // Channel planes back to channel-last pixels.
    alignas(32) float planar[OC][T * L];
    for (int o = 0; o < OC; ++o)
        for (int t = 0; t < T; ++t) Avx::store(planar[o] + t * L, act(acc[o][t]));
    for (int j = 0; j < T * L; ++j)
        for (int o = 0; o < OC; ++o) out[size_t(ox + j) * OC + o] = planar[o][j];
}

// One output column, for widths that are not a multiple of 8.
template <int OC, int IC>
void column(const Args& a, const RowSet& r, int ox, float* out) {
    for (int o = 0; o < OC; ++o) {
        float s = a.bias[o];
        for (int i = 0; i < r.count; ++i)
            for (int c = 0; c < IC; ++c) {
                const float* w = tapWeights<OC, IC>(a, r.firstTap + i, c);
                const float* x = r.planes[i] + size_t(c) * r.len + ox;
                for (int kx = 0; kx < kTaps; ++kx) s += x[kx * r.dw] * w[kx * OC + o];
            }
        out[size_t(ox) * OC + o] = act::applyScalar(a.actKind, a.actParam, s);
    }
}

// T registers per channel in the main steps, then single registers, then
// single columns.
template <int OC, int IC, int T>
void planar3x3(const Args& a) {
    constexpr int L = Avx::kLanes;
    const Geometry& g = a.g;
    const Act<Avx> act(a);
    RowRing<IC> ring(a);
    for (int oy = 0; oy < g.oh; ++oy) {
        const RowSet r = ring.rows(a, oy);
        float* out = a.out + size_t(oy) * g.ow * OC;
        int ox = 0;
        for (; ox + T * L <= g.ow; ox += T * L) columns<OC, IC, T>(a, act, r, ox, out);
        for (; ox + L <= g.ow; ox += L) columns<OC, IC, 1>(a, act, r, ox, out);
        for (; ox < g.ow; ++ox) column<OC, IC>(a, r, ox, out);
    }
}

}  // namespace

// 3 channels x 4 registers = 12 accumulators, 32 columns per step.
void fast3x3ThreeOutFma(const Args& a) { planar3x3<3, 4, 4>(a); }
// 6 accumulators, 48 columns per step.
void fast3x3SingleOutFma(const Args& a) { planar3x3<1, 3, 6>(a); }

}  // namespace conv
}  // namespace YNet
