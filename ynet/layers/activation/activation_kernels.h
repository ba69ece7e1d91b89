#pragma once
// Point-wise activation kernels, shared by the Activation layer and by every
// producer that applies its follower activation inside its own kernel
// (convolutions, BinaryOp, ...).
//
// Typical use in a producer's forward:
//     act::Fused f = act::takeFollower(*this, act::kReluClipLeaky, false);
//     ... compute a row / block of outputs into out[0..n) ...
//     if (f) act::apply(f, out, n);   // or act::applyScalar per element
// takeFollower marks the follower (skip or removed) so it does not run again.
//
// All range functions compute y[i] = f(x[i]) for i < n; x == y (in place) is
// allowed, partial overlap is not. Kinds without a function copy x to y.
// The ISA variants may only be called when CpuInfo reports their ISA;
// `apply` picks the best one itself.
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace YNet {

class Layer;

namespace act {

// Activation kind numbers as stored in parameter word 0 of a layer record.
enum Kind : uint32_t {
    kNone = 0,
    kRelu = 1,       // max(x, 0)
    kClip = 2,       // min(max(x, 0), param)
    kSigmoid = 5,    // 1 / (1 + e^-x)
    kLeakyRelu = 6,  // max(x, 0) + param * min(x, 0)
    kSwish = 7,      // x / (1 + e^-x)
    kHardSwish = 9,  // x * min(max(x + 3, 0), 6) / 6
};

constexpr uint32_t kindBit(uint32_t kind) { return 1u << kind; }
// The kinds producers fuse: the three rectifiers.
constexpr uint32_t kReluClipLeaky = kindBit(kRelu) | kindBit(kClip) | kindBit(kLeakyRelu);

// An activation taken over by a producer; kind kNone means "nothing to do".
struct Fused {
    uint32_t kind = kNone;
    float param = 0.0f;  // clip bound (kind 2) or negative slope (kind 6)
    explicit operator bool() const { return kind != kNone; }
};

// If `producer.followers[0]` is an Activation whose kind is in `kindMask`
// (bits from kindBit), marks it `removed` (markRemoved) or `skip` and
// returns its kind and parameter; otherwise returns kind kNone and marks
// nothing.
Fused takeFollower(Layer& producer, uint32_t kindMask, bool markRemoved);

// True for the kinds that have a function above (the others are copies).
bool hasFunction(uint32_t kind);

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
