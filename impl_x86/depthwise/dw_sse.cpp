// Depthwise kernels, SSE build (baseline x86-64: SSE2 only).
#include <emmintrin.h>

#include "impl_x86/depthwise/dw_table.h"

namespace YNet {
namespace dw {
namespace {

struct SseOps {
    using V = __m128;
    static constexpr int W = 4;
    static V zero() { return _mm_setzero_ps(); }
    static V set1(float f) { return _mm_set1_ps(f); }
    static V load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, V v) { _mm_storeu_ps(p, v); }
    static V madd(V a, V b, V acc) { return _mm_add_ps(acc, _mm_mul_ps(a, b)); }
    static V max(V a, V b) { return _mm_max_ps(a, b); }
    static V min(V a, V b) { return _mm_min_ps(a, b); }
};

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
