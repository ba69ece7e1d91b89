// The second selector's AVX2 + FMA kernels: 8-float registers.
#include <immintrin.h>

#include "impl_x86/conv/conv_tiles.h"
#include "impl_x86/simd/vec_avx2.h"

namespace YNet {
namespace conv {
namespace {

using Avx = vec::Avx8Fma;

}  // namespace

template <int NV> void conv1x1Avx(const Args& a) { pointwise<Avx, NV, 4>(a); }
template <int NV> void convLineAvx(const Args& a) { line<Avx, NV, 4>(a); }
template <int NV> void convGeneralAvx(const Args& a) { general<Avx, NV, 4, false>(a); }
template <int NV> void convDotAvx(const Args& a) { dot<Avx, NV>(a); }
void convSingleOutAvx(const Args& a) { singleOutput<Avx>(a); }
template <int NV> void deconvOcBlockAvx(const Args& a) { deconvOcBlocked<Avx, NV>(a); }
void deconvDotAvx(const Args& a) { deconvOutputRows<Avx, 1>(a); }
template <int R> void deconvRowsAvx(const Args& a) { deconvOutputRows<Avx, R>(a); }

template void conv1x1Avx<1>(const Args&);
template void conv1x1Avx<2>(const Args&);
template void convLineAvx<1>(const Args&);
template void convLineAvx<2>(const Args&);
template void convGeneralAvx<1>(const Args&);
template void convGeneralAvx<2>(const Args&);
template void convDotAvx<1>(const Args&);
template void convDotAvx<2>(const Args&);
template void deconvOcBlockAvx<1>(const Args&);
template void deconvRowsAvx<2>(const Args&);
template void deconvRowsAvx<8>(const Args&);

}  // namespace conv
}  // namespace YNet
