// Depthwise kernels, SSE build (baseline x86-64: SSE2 only).
#include "impl_x86/depthwise/dw_table.h"
#include "impl_x86/simd/vec_sse.h"

namespace YNet {
namespace dw {
namespace {

using SseOps = vec::Sse4;

}  // namespace

Kernel kernelSse(Family family, int block) {
    for (const Kernel k : {find(forwardEntries<SseOps, 4>, family, block),
                           find(forwardEntries<SseOps, 8>, family, block),
                           find(forwardEntries<SseOps, 12>, family, block),
                           find(groupAndDeconvEntries<SseOps, 4>, family, block),
                           find(groupAndDeconvEntries<SseOps, 8>, family, block)})
        if (k) return k;
    return nullptr;
}

}  // namespace dw
}  // namespace YNet
