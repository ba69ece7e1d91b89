// The 256-bit FMA peak, the bound the engine's kernels can reach, and the
// read rate that bounds streaming weights.
#include <immintrin.h>

#include <vector>

#include "bench/fma_chains.h"
#include "bench/fma_peak.h"
#include "bench/thread_time.h"

namespace {

struct Ymm {
    using V = __m256;
    static constexpr int kLanes = 8;
    static V set1(float v) { return _mm256_set1_ps(v); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static float first(V v) { return _mm256_cvtss_f32(v); }
};

}  // namespace

double fmaPeakGflops() { return fmaChainsGflops<Ymm>(20000000); }

double readGBps(size_t bytes) {
    const size_t n = bytes / sizeof(float) / 32 * 32;
    std::vector<float> buf(n, 1.0f);
    const int reps = int(4e9 / double(bytes)) + 1;
    __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
    const double t0 = threadSeconds();
    for (int r = 0; r < reps; ++r)
        for (size_t i = 0; i < n; i += 32) {
            s0 = _mm256_add_ps(s0, _mm256_loadu_ps(&buf[i]));
            s1 = _mm256_add_ps(s1, _mm256_loadu_ps(&buf[i + 8]));
            s2 = _mm256_add_ps(s2, _mm256_loadu_ps(&buf[i + 16]));
            s3 = _mm256_add_ps(s3, _mm256_loadu_ps(&buf[i + 24]));
        }
    const double sec = threadSeconds() - t0;
    volatile float sink = _mm256_cvtss_f32(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
    (void)sink;
    return double(reps) * double(n) * sizeof(float) / sec / 1e9;
}
