// The 512-bit FMA peak: the physical bound of the core. No kernel of the
// engine uses 512-bit registers, so the report names it beside the 256-bit
// bound, not instead of it.
#include <immintrin.h>

#include "bench/fma_chains.h"
#include "bench/fma_peak.h"

namespace {

struct Zmm {
    using V = __m512;
    static constexpr int kLanes = 16;
    static V set1(float v) { return _mm512_set1_ps(v); }
    static V fmadd(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
    // Through memory: GCC 12 warns on its own lane-extract intrinsics.
    static float first(V v) {
        alignas(64) float lanes[kLanes];
        _mm512_store_ps(lanes, v);
        return lanes[0];
    }
};

}  // namespace

double fmaPeak512Gflops() { return fmaChainsGflops<Zmm>(10000000); }
