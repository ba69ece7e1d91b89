// SSE2 kernels (baseline x86-64): 4-float registers.
#include <emmintrin.h>

#include "impl_x86/conv/conv_tiles.h"
#include "impl_x86/simd/vec_sse.h"

namespace YNet {
namespace conv {
namespace {

using Sse = vec::Sse4;

}  // namespace

template <int NV> void conv1x1Sse(const Args& a) { pointwise<Sse, NV, 4>(a); }
template <int NV> void convLineSse(const Args& a) { line<Sse, NV, 4>(a); }
template <int NV> void convGeneralSse(const Args& a) { general<Sse, NV, 4, false>(a); }
template <int NV> void convDotSse(const Args& a) { dot<Sse, NV>(a); }
void convSingleOutSse(const Args& a) { singleOutput<Sse>(a); }
template <int NV> void deconvOcBlockSse(const Args& a) { deconvOcBlocked<Sse, NV>(a); }
void deconvDotSse(const Args& a) { deconvOutputRows<Sse, 1>(a); }
template <int R> void deconvRowsSse(const Args& a) { deconvOutputRows<Sse, R>(a); }

// group = OC = 4: each output channel reads its own input channel, weights
// W[ky][kx][ch].
void deconvDepthwise4Sse(const Args& a) {
    const Geometry& g = a.g;
    for (int oy = 0; oy < g.oh; ++oy)
        for (int ox = 0; ox < g.ow; ++ox) {
            __m128 acc = _mm_loadu_ps(a.bias);
            for (int ky = 0; ky < g.kh; ++ky)
                for (int kx = 0; kx < g.kw; ++kx)
                    if (const float* x = deconvSource(a, oy, ox, ky, kx))
                        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(x),
                                                         _mm_loadu_ps(a.w + (ky * g.kw + kx) * 4)));
            _mm_storeu_ps(a.out + (size_t(oy) * g.ow + ox) * 4, acc);
        }
}

template void conv1x1Sse<1>(const Args&);
template void conv1x1Sse<2>(const Args&);
template void conv1x1Sse<3>(const Args&);
template void convLineSse<1>(const Args&);
template void convLineSse<2>(const Args&);
template void convGeneralSse<1>(const Args&);
template void convGeneralSse<2>(const Args&);
template void convDotSse<1>(const Args&);
template void convDotSse<2>(const Args&);
template void convDotSse<3>(const Args&);
template void deconvOcBlockSse<1>(const Args&);
template void deconvRowsSse<2>(const Args&);
template void deconvRowsSse<4>(const Args&);

}  // namespace conv
}  // namespace YNet
