#pragma once
// Point-wise activation kernels: the Activation layer's and those every
// fusing producer applies to its output (see activation_kinds.h).
//
// All range functions compute y[i] = f(x[i]) for i < n; x == y (in place) is
// allowed, partial overlap is not. Kinds without a function copy x to y.
// The ISA variants may only be called when CpuInfo reports their ISA;
// `apply` picks the best one itself.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ynet/layers/activation/activation_kinds.h"

namespace YNet {
namespace act {

// Exact single-element form (std::exp, true division). Internal linkage on
// purpose: translation units built with wider ISA flags must not hand their
// copy to baseline callers.
static inline float applyScalar(uint32_t kind, float param, float x) {
    switch (kind) {
        case kRelu: return x > 0.0f ? x : 0.0f;
        case kClip: return x > 0.0f ? (x < param ? x : param) : 0.0f;
        case kSigmoid: return 1.0f / (1.0f + std::exp(-x));
        case kLeakyRelu: return x > 0.0f ? x : (x < 0.0f ? x * param : 0.0f);
        case kSwish: return x / (1.0f + std::exp(-x));
        case kHardSwish: {
            float g = x + 3.0f;
            g = g < 0.0f ? 0.0f : (g > 6.0f ? 6.0f : g);
            return x * g * (1.0f / 6.0f);
        }
        default: return x;
    }
}

// A leaky slope in [0, 1] makes max(x, 0) + slope * min(x, 0) equal to
// max(x, slope * x): two vector operations instead of three.
inline bool leakyIsMax(uint32_t kind, float param) {
    return kind == kLeakyRelu && param >= 0.0f && param <= 1.0f;
}

// Range kernels. The vector main loops of sigmoid and swish use the
// processor's reciprocal estimate (about 12 bits); tails are exact.
void applyPortable(uint32_t kind, float param, const float* x, float* y, size_t n);
void applySse(uint32_t kind, float param, const float* x, float* y, size_t n);   // SSE2
void applyAvx(uint32_t kind, float param, const float* x, float* y, size_t n);   // AVX
void applyAvx2(uint32_t kind, float param, const float* x, float* y, size_t n);  // AVX2+FMA
void apply(uint32_t kind, float param, const float* x, float* y, size_t n);      // dispatch
inline void apply(const Fused& f, float* data, size_t n) { apply(f.kind, f.param, data, data, n); }

// Vector exponential out[i] ~ e^t[i], t clamped to +-88.37626 (values below
// about -87.3 flush towards zero). Exposed for tests and benchmarks.
void expPortable(const float* t, float* out, size_t n);
void expSse(const float* t, float* out, size_t n);
void expAvx(const float* t, float* out, size_t n);
void expAvx2(const float* t, float* out, size_t n);

}  // namespace act
}  // namespace YNet
