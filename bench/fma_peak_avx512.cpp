// The 512-bit FMA peak: the physical bound of the core. No kernel of the
// engine uses 512-bit registers, so the report names it beside the 256-bit
// bound, not instead of it.
#include <immintrin.h>
#include <time.h>

#include "bench/fma_peak.h"

double fmaPeak512Gflops() {
    constexpr int kChains = 12;
    __m512 acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_ps(float(i));
    const __m512 m = _mm512_set1_ps(0.999999f), a = _mm512_set1_ps(1e-7f);
    const long iters = 10000000;
    timespec t0, t1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    for (long n = 0; n < iters; ++n)
        for (int i = 0; i < kChains; ++i) acc[i] = _mm512_fmadd_ps(acc[i], m, a);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    const double sec = double(t1.tv_sec - t0.tv_sec) + 1e-9 * double(t1.tv_nsec - t0.tv_nsec);
    float sum = 0;
    alignas(64) float lanes[16];
    for (int i = 0; i < kChains; ++i) {
        _mm512_store_ps(lanes, acc[i]);
        sum += lanes[0];
    }
    volatile float sink = sum;
    (void)sink;
    return double(iters) * kChains * 16 * 2 / sec / 1e9;
}
