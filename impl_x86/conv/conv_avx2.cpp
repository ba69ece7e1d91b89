// AVX + FMA kernels: 8-float registers, and the 4-float (VEX-encoded)
// kernels of the 3x3 fast path.
#include <immintrin.h>

#include "impl_x86/conv/conv_tiles.h"

namespace YNet {
namespace conv {
namespace {

struct Avx {
    using R = __m256;
    static constexpr int W = 8;
    static R load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, R v) { _mm256_storeu_ps(p, v); }
    static R set1(float f) { return _mm256_set1_ps(f); }
    static R fma(R a, R b, R c) { return _mm256_fmadd_ps(a, b, c); }
    static R max(R a, R b) { return _mm256_max_ps(a, b); }
    static R min(R a, R b) { return _mm256_min_ps(a, b); }
    static R add(R a, R b) { return _mm256_add_ps(a, b); }
    static R mul(R a, R b) { return _mm256_mul_ps(a, b); }
    static R zero() { return _mm256_setzero_ps(); }
    static float hsum(R v) {
        __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        s = _mm_add_ps(s, _mm_movehl_ps(s, s));
        s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
        return _mm_cvtss_f32(s);
    }
};

struct Fma128 {
    using R = __m128;
    static constexpr int W = 4;
    static R load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, R v) { _mm_storeu_ps(p, v); }
    static R set1(float f) { return _mm_set1_ps(f); }
    static R fma(R a, R b, R c) { return _mm_fmadd_ps(a, b, c); }
    static R max(R a, R b) { return _mm_max_ps(a, b); }
    static R min(R a, R b) { return _mm_min_ps(a, b); }
    static R add(R a, R b) { return _mm_add_ps(a, b); }
    static R mul(R a, R b) { return _mm_mul_ps(a, b); }
    static R zero() { return _mm_setzero_ps(); }
};

}  // namespace

template <int NV> void conv1x1Avx(const Args& a) { pointwise<Avx, NV, 4>(a); }
template <int NV> void convLineAvx(const Args& a) { line<Avx, NV, 4>(a); }
template <int NV> void convGeneralAvx(const Args& a) { general<Avx, NV, 4, false>(a); }
template <int NV> void convDotAvx(const Args& a) { dot<Avx, NV>(a); }
void convSingleOutAvx(const Args& a) { singleOutput<Avx>(a); }
template <int NV> void deconvOcBlockAvx(const Args& a) { deconvOcBlocked<Avx, NV>(a); }
void deconvDotAvx(const Args& a) { deconvDotProducts<Avx>(a); }

// Wider blocks keep fewer pixels per step so the tile stays in registers.
template <int NV> void fast1x1Avx(const Args& a) { pointwise<Avx, NV, (NV > 2 ? 3 : 4)>(a); }
template <int NV> void fast3x3Avx(const Args& a) { general<Avx, NV, (NV > 2 ? 3 : 4), false>(a); }
void fast3x3StemAvx(const Args& a) { general<Avx, 2, 4, true>(a); }
void fast3x3Sse4Avx(const Args& a) { general<Fma128, 1, 6, false>(a); }

template void conv1x1Avx<1>(const Args&);
template void conv1x1Avx<2>(const Args&);
template void convLineAvx<1>(const Args&);
template void convLineAvx<2>(const Args&);
template void convGeneralAvx<1>(const Args&);
template void convGeneralAvx<2>(const Args&);
template void convDotAvx<1>(const Args&);
template void convDotAvx<2>(const Args&);
template void deconvOcBlockAvx<1>(const Args&);
template void fast1x1Avx<2>(const Args&);
template void fast1x1Avx<3>(const Args&);
template void fast1x1Avx<4>(const Args&);
template void fast3x3Avx<2>(const Args&);
template void fast3x3Avx<3>(const Args&);

}  // namespace conv
}  // namespace YNet
