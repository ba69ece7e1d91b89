// Portable kernels: the scalar convolution (reference order ky, kx, ic)
// and the generic transposed convolution.
#include <algorithm>
#include <cstddef>

#include "impl_x86/activation/activation_kernels.h"
#include "impl_x86/conv/conv_kernels.h"

namespace YNet {
namespace conv {

namespace {

// First valid tap and end of the valid taps (truncating division).
int firstTap(int origin, int dil) { return std::max(0, (dil - origin - 1) / dil); }
int endTap(int origin, int dil, int size, int taps) {
    return std::min(taps, (size - 1 + dil - origin) / dil);
}

}  // namespace

void convScalar(const Args& a) {
    const Geometry& g = a.g;
    for (int oy = 0; oy < g.oh; ++oy) {
        const int y0 = oy * g.sh - g.padTop;
        const int ky0 = firstTap(y0, g.dh), ky1 = endTap(y0, g.dh, g.ih, g.kh);
        for (int ox = 0; ox < g.ow; ++ox) {
            const int x0 = ox * g.sw - g.padLeft;
            const int kx0 = firstTap(x0, g.dw), kx1 = endTap(x0, g.dw, g.iw, g.kw);
            float* out = a.out + (size_t(oy) * g.ow + ox) * g.oc;
            for (int oc = 0; oc < g.oc; ++oc) {
                float s = a.bias[oc];
                for (int ky = ky0; ky < ky1; ++ky)
                    for (int kx = kx0; kx < kx1; ++kx) {
                        const float* x =
                            a.in + (size_t(y0 + ky * g.dh) * g.iw + x0 + kx * g.dw) * g.ic;
                        const float* w = a.w + ((size_t(oc) * g.kh + ky) * g.kw + kx) * g.ic;
                        for (int ic = 0; ic < g.ic; ++ic) s += x[ic] * w[ic];
                    }
                out[oc] = act::applyScalar(a.actKind, a.actParam, s);
            }
        }
    }
}

// Grouped gather form: output channel oc of group oc / (OC / group) sums
// the group's input channels against weight row oc % (OC / group).
void deconvScalar(const Args& a) {
    const Geometry& g = a.g;
    const int offH = g.kh - 1 - g.padTop, offW = g.kw - 1 - g.padLeft;
    const int ocPerGroup = g.oc / g.group, icPerGroup = g.ic / g.group;
    for (int oy = 0; oy < g.oh; ++oy)
        for (int ox = 0; ox < g.ow; ++ox)
            for (int oc = 0; oc < g.oc; ++oc) {
                const int grp = oc / ocPerGroup, row = oc % ocPerGroup;
                float s = a.bias[oc];
                for (int ky = 0; ky < g.kh; ++ky) {
                    const int sy = oy - offH + ky;
                    if (sy < 0 || sy >= g.ih * g.sh || sy % g.sh) continue;
                    for (int kx = 0; kx < g.kw; ++kx) {
                        const int sx = ox - offW + kx;
                        if (sx < 0 || sx >= g.iw * g.sw || sx % g.sw) continue;
                        const size_t pixel = size_t(sy / g.sh) * g.iw + sx / g.sw;
                        const float* x = a.in + pixel * g.ic + grp * icPerGroup;
                        const float* w =
                            a.w + ((size_t(row) * g.kh + ky) * g.kw + kx) * g.ic + grp * icPerGroup;
                        for (int ic = 0; ic < icPerGroup; ++ic) s += x[ic] * w[ic];
                    }
                }
                a.out[(size_t(oy) * g.ow + ox) * g.oc + oc] = s;
            }
}

}  // namespace conv
}  // namespace YNet
