// Depthwise kernels, AVX2/FMA build.
#include <immintrin.h>

#include "impl_x86/depthwise/dw_table.h"

namespace YNet {
namespace dw {
namespace {

struct AvxOps {
    using V = __m256;
    static constexpr int W = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float f) { return _mm256_set1_ps(f); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V madd(V a, V b, V acc) { return _mm256_fmadd_ps(a, b, acc); }
    static V max(V a, V b) { return _mm256_max_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
};

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
