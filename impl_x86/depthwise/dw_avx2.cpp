// Depthwise kernels, AVX2/FMA build.
#include "impl_x86/depthwise/dw_table.h"
#include "impl_x86/simd/vec_avx2.h"

namespace YNet {
namespace dw {
namespace {

using AvxOps = vec::Avx8Fma;

}  // namespace

Kernel kernelAvx2(Family family, int block) {
    for (const Kernel k : {find(forwardEntries<AvxOps, 8>, family, block),
                           find(forwardEntries<AvxOps, 16>, family, block),
                           find(groupAndDeconvEntries<AvxOps, 8>, family, block),
                           find(groupAndDeconvEntries<AvxOps, 16>, family, block)})
        if (k) return k;
    return nullptr;
}

}  // namespace dw
}  // namespace YNet
