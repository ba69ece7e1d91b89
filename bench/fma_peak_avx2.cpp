// Independent FMA chains, enough of them to cover the latency of the unit.
#include <immintrin.h>

#include <ctime>

#include "bench/fma_peak.h"

double fmaPeakGflops() {
    constexpr int kChains = 10;
    __m256 acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm256_set1_ps(float(i));
    const __m256 m = _mm256_set1_ps(0.999999f), a = _mm256_set1_ps(1e-7f);
    const long iters = 20000000;
    const std::clock_t t0 = std::clock();
    for (long n = 0; n < iters; ++n)
        for (int i = 0; i < kChains; ++i) acc[i] = _mm256_fmadd_ps(acc[i], m, a);
    const double sec = double(std::clock() - t0) / CLOCKS_PER_SEC;
    float sum = 0;
    for (int i = 0; i < kChains; ++i) sum += _mm256_cvtss_f32(acc[i]);
    volatile float sink = sum;
    (void)sink;
    return double(iters) * kChains * 8 * 2 / sec / 1e9;
}
