// The second selector's AVX2 + FMA kernels: 8-float registers.
#include <immintrin.h>

#include "impl_x86/conv/conv_tiles.h"
#include "impl_x86/simd/vec_avx2.h"

namespace YNet {
namespace conv {
namespace {

using Avx = vec::Avx8Fma;

}  // namespace

template <int NV> void conv1x1Avx2(const Args& a) { pointwise<Avx, NV, 4>(a); }
// Two 16-channel blocks by 3 positions; 8-channel blocks keep 4 positions.
template <int NV> void convLineAvx2(const Args& a) {
    if constexpr (NV == 2)
        line<Avx, NV, 3, 2, 4>(a);
    else
        line<Avx, NV, 4>(a);
}
template <int NV> void convGeneralAvx2(const Args& a) { general<Avx, NV, 4, false>(a); }
template <int NV> void convDotAvx2(const Args& a) { dot<Avx, NV>(a); }
void convSingleOutAvx2(const Args& a) { singleOutput<Avx>(a); }
template <int NV> void deconvOcBlockAvx2(const Args& a) { deconvOcBlocked<Avx, NV>(a); }
void deconvDotAvx2(const Args& a) { deconvOutputRows<Avx, 1>(a); }
template <int R> void deconvRowsAvx2(const Args& a) { deconvOutputRows<Avx, R>(a); }

template void conv1x1Avx2<1>(const Args&);
template void conv1x1Avx2<2>(const Args&);
template void convLineAvx2<1>(const Args&);
template void convLineAvx2<2>(const Args&);
template void convGeneralAvx2<1>(const Args&);
template void convGeneralAvx2<2>(const Args&);
template void convDotAvx2<1>(const Args&);
template void convDotAvx2<2>(const Args&);
template void deconvOcBlockAvx2<1>(const Args&);
template void deconvRowsAvx2<2>(const Args&);
template void deconvRowsAvx2<8>(const Args&);

}  // namespace conv
}  // namespace YNet
