// The first selector's kernels: AVX and FMA only (no AVX2), since that
// selector runs them on any processor with AVX and FMA. 8-float registers,
// and 4-float (VEX-encoded) ones for the 3x3 kernels of up to 4 channels.
#include <immintrin.h>

#include "impl_x86/conv/conv_tiles.h"
#include "impl_x86/simd/vec_avx2.h"

namespace YNet {
namespace conv {
namespace {

using Avx = vec::Avx8Fma;
using Fma128 = vec::Fma4;

}  // namespace

// Wider blocks keep fewer pixels per step so the tile stays in registers.
template <int NV> void fast1x1Fma(const Args& a) { pointwise<Avx, NV, (NV > 2 ? 3 : 4)>(a); }
template <int NV> void fast3x3Fma(const Args& a) { general<Avx, NV, (NV > 2 ? 3 : 4), false>(a); }
void fast3x3StemFma(const Args& a) { general<Avx, 2, 4, true>(a); }
void fast3x3B4Fma(const Args& a) { general<Fma128, 1, 6, false>(a); }

template void fast1x1Fma<2>(const Args&);
template void fast1x1Fma<3>(const Args&);
template void fast1x1Fma<4>(const Args&);
template void fast3x3Fma<2>(const Args&);
template void fast3x3Fma<3>(const Args&);

}  // namespace conv
}  // namespace YNet
