// The time step shared by every float variant: the matrix-vector kernel is
// the only part that differs between them.
#include <emmintrin.h>

#include <cmath>

#include "impl_x86/gru/gru_kernels.h"

namespace YNet {
namespace gru {

float logistic(float v) {
    const float e = std::exp(-v);
    return float(1.0 / (1.0 + double(e)));
}

float hardSigmoid(float v) {
    if (v < -2.5f) return 0.0f;
    if (v > 2.5f) return 1.0f;
    return 0.2f * v + 0.5f;
}

float tanhRational(float v) {
    if (v > 5.0f) return 1.0f;
    if (v <= -5.0f) return -1.0f;
    const float q = v * v;
    const float num = v * (q * (q * (q + 378.0f) + 17325.0f) + 135135.0f);
    const float den = q * (q * (28.0f * q + 3150.0f) + 62370.0f) + 135135.0f;
    return num / den;
}

namespace {

// Four lanes of the hard sigmoid with the scalar thresholds.
__m128 hardSigmoid4(__m128 v) {
    const __m128 lin = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(0.2f), v), _mm_set1_ps(0.5f));
    const __m128 low = _mm_cmplt_ps(v, _mm_set1_ps(-2.5f));
    const __m128 high = _mm_cmpgt_ps(v, _mm_set1_ps(2.5f));
    const __m128 mid = _mm_andnot_ps(_mm_or_ps(low, high), lin);
    return _mm_or_ps(mid, _mm_and_ps(high, _mm_set1_ps(1.0f)));
}

void hardSigmoidGates(const float* gx, const float* gh, float* g, int n) {
    int j = 0;
    for (; j + 32 <= n; j += 32)
        for (int i = j; i < j + 32; i += 4) {
            const __m128 s = _mm_add_ps(_mm_loadu_ps(gx + i), _mm_loadu_ps(gh + i));
            _mm_storeu_ps(g + i, hardSigmoid4(s));
        }
    for (; j < n; ++j) g[j] = hardSigmoid(gx[j] + gh[j]);
}

// Rational tanh of four lanes, clamped like the scalar form.
__m128 tanhRational4(__m128 v) {
    const __m128 q = _mm_mul_ps(v, v);
    __m128 num = _mm_add_ps(q, _mm_set1_ps(378.0f));
    num = _mm_add_ps(_mm_mul_ps(q, num), _mm_set1_ps(17325.0f));
    num = _mm_mul_ps(v, _mm_add_ps(_mm_mul_ps(q, num), _mm_set1_ps(135135.0f)));
    __m128 den = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(28.0f), q), _mm_set1_ps(3150.0f));
    den = _mm_add_ps(_mm_mul_ps(q, den), _mm_set1_ps(62370.0f));
    den = _mm_add_ps(_mm_mul_ps(q, den), _mm_set1_ps(135135.0f));
    const __m128 t = _mm_div_ps(num, den);
    const __m128 high = _mm_cmpgt_ps(v, _mm_set1_ps(5.0f));
    const __m128 low = _mm_cmple_ps(v, _mm_set1_ps(-5.0f));
    const __m128 mid = _mm_andnot_ps(_mm_or_ps(high, low), t);
    return _mm_or_ps(mid, _mm_or_ps(_mm_and_ps(high, _mm_set1_ps(1.0f)),
                                    _mm_and_ps(low, _mm_set1_ps(-1.0f))));
}

void update4(const float* z, const float* a, float* h) {
    const __m128 zv = _mm_loadu_ps(z);
    const __m128 n = tanhRational4(_mm_loadu_ps(a));
    const __m128 keep = _mm_mul_ps(zv, _mm_loadu_ps(h));
    const __m128 fresh = _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(1.0f), zv), n);
    _mm_storeu_ps(h, _mm_add_ps(keep, fresh));
}

}  // namespace

void gateActivations(const float* gx, const float* gh, float* gates, int n, bool hard) {
    if (hard) {
        hardSigmoidGates(gx, gh, gates, n);
        return;
    }
    for (int j = 0; j < n; ++j) gates[j] = logistic(gx[j] + gh[j]);
}

void updateState(const float* z, const float* a, float* h, int n) {
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        update4(z + j, a + j, h + j);
        update4(z + j + 4, a + j + 4, h + j + 4);
    }
    for (; j < n; ++j) h[j] = z[j] * h[j] + (1.0f - z[j]) * tanhRational(a[j]);
}

void step(const StepArgs& a, const float* x, float* h) {
    const int H = a.H;
    const float* Rn = a.R + size_t(2) * H * H;
    const float* r = a.gates + H;
    float* cand = a.gates + 2 * H;
    a.matVec(x, a.W, a.Wb, a.gx, a.I, 3 * H);
    if (!a.reuseGh) a.matVec(h, a.R, a.Rb, a.gh, H, 2 * H);
    gateActivations(a.gx, a.gh, a.gates, 2 * H, a.hardSigmoid);
    if (a.linearBeforeReset) {
        if (!a.reuseGh) a.matVec(h, Rn, a.Rb + 2 * H, a.gh + 2 * H, H, H);
        for (int j = 0; j < H; ++j) cand[j] = a.gh[2 * H + j] * r[j] + a.gx[2 * H + j];
    } else {
        float* rh = a.gh + 2 * H;
        for (int j = 0; j < H; ++j) rh[j] = r[j] * h[j];
        a.matVec(rh, Rn, a.Rb + 2 * H, cand, H, H);
        for (int j = 0; j < H; ++j) cand[j] += a.gx[2 * H + j];
    }
    updateState(a.gates, cand, h, H);
}

}  // namespace gru
}  // namespace YNet
