// Portable parts of the quantized row-vector products: the general
// float-output kernel, exact column sums, the two finishing steps and the
// fixed-point requantization.
#include <cmath>
#include <cstdint>

#include "impl_x86/gemm/gemm_kernels.h"

namespace YNet {
namespace gemm {
namespace {

template <class A>
void floatGeneral(const A* a, const int8_t* w, float inScale, const float* wScale,
                  const float* bias, float* y, int N, int K) {
    for (int n = 0; n < N; ++n) {
        float s = bias ? bias[n] : 0.f;
        for (int k = 0; k < K; ++k)
            s += (float(a[k]) * inScale) * (float(w[size_t(k) * N + n]) * wScale[n]);
        y[n] = s;
    }
}

template <class A>
void sums(const A* a, const int8_t* w, int32_t* out, int N, int K) {
    for (int n = 0; n < N; ++n) out[n] = 0;
    for (int k = 0; k < K; ++k)
        for (int n = 0; n < N; ++n) out[n] += int32_t(a[k]) * w[size_t(k) * N + n];
}

// Rounding doubling high half of x * m, saturating the one overflow case.
int32_t doublingHigh(int32_t x, int32_t m) {
    if (x == INT32_MIN && m == INT32_MIN) return INT32_MAX;
    int64_t p = int64_t(x) * m;
    p += p >= 0 ? (int64_t(1) << 30) : 1 - (int64_t(1) << 30);
    return int32_t(p / (int64_t(1) << 31));
}

int32_t roundingShiftRight(int32_t v, int right) {
    const int32_t mask = int32_t((int64_t(1) << right) - 1);
    const int32_t remainder = v & mask;
    const int32_t threshold = (mask >> 1) + (v < 0 ? 1 : 0);
    return (v >> right) + (remainder > threshold ? 1 : 0);
}

}  // namespace

void qgemvFloatGeneral(const int8_t* a, const int8_t* w, float inScale, const float* wScale,
                       const float* bias, float* y, int N, int K) {
    floatGeneral(a, w, inScale, wScale, bias, y, N, K);
}
void qgemvFloatGeneral(const int16_t* a, const int8_t* w, float inScale, const float* wScale,
                       const float* bias, float* y, int N, int K) {
    floatGeneral(a, w, inScale, wScale, bias, y, N, K);
}

void qsumColumns(const int8_t* a, const int8_t* w, int32_t* out, int N, int K) {
    sums(a, w, out, N, K);
}
void qsumColumns(const int16_t* a, const int8_t* w, int32_t* out, int N, int K) {
    sums(a, w, out, N, K);
}

void qfinishFloat(const int32_t* s, float inScale, const float* wScale, const float* bias,
                  float* y, int N) {
    for (int n = 0; n < N; ++n) y[n] = float(s[n]) * (wScale[n] * inScale) + (bias ? bias[n] : 0.f);
}

Requant requantFactor(float f) {
    Requant r;
    if (f == 0.f) {
        r.multiplier = 0;
        r.shift = 0;
        return r;
    }
    int e = 0;
    const double q = std::frexp(double(f), &e);
    int64_t m = std::llround(q * double(int64_t(1) << 31));
    if (m == (int64_t(1) << 31)) {
        m = int64_t(1) << 30;
        ++e;
    }
    r.multiplier = int32_t(m);
    r.shift = e;
    return r;
}

int8_t requantize(int32_t acc, Requant r) {
    // Shifts beyond 31 bits saturate to 31 (no representable factor needs more).
    const int left = r.shift > 0 ? (r.shift < 31 ? r.shift : 31) : 0;
    const int right = r.shift < 0 ? (-r.shift < 31 ? -r.shift : 31) : 0;
    const int32_t x = int32_t(uint32_t(acc) << left);
    int32_t v = roundingShiftRight(doublingHigh(x, r.multiplier), right);
    if (v > 127) v = 127;
    if (v < -127) v = -127;
    return int8_t(v);
}

void qfinishInt8(const int32_t* s, const int32_t* bias, Requant r, int8_t* y, int N) {
    for (int n = 0; n < N; ++n) y[n] = requantize(s[n] + (bias ? bias[n] : 0), r);
}

void packQuantPairs64(const int8_t* w, int K, int N, int8_t* packed) {
    int8_t* out = packed;
    for (int j = 0; j < N; j += 64)
        for (int k = 0; k < K; k += 2)
            for (int n = j; n < j + 64; ++n) {
                *out++ = w[size_t(k) * N + n];
                *out++ = w[size_t(k + 1) * N + n];
            }
}

}  // namespace gemm
}  // namespace YNet
