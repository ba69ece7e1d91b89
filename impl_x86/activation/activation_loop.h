#pragma once
// Range loop shared by every ISA variant of the activation kernels. T is a
// vector-traits struct of one ISA (V, kLanes, load, store, set1, add, sub,
// mul, min, max, fmadd, recip<exact>, exp); 8-lane traits name their 4-lane
// companion as T::Half for the tail group. Everything here has internal
// linkage so each ISA's translation unit keeps its own code.
#include <cstring>

#include "impl_x86/activation/activation_kernels.h"

namespace YNet {
namespace act {
namespace {

struct ReluOp {
    static constexpr uint32_t kKind = kRelu;
    template <class T, bool E>
    static typename T::V vec(typename T::V x, typename T::V) {
        return T::max(x, T::set1(0.0f));
    }
};

struct ClipOp {
    static constexpr uint32_t kKind = kClip;
    template <class T, bool E>
    static typename T::V vec(typename T::V x, typename T::V p) {
        return T::min(T::max(x, T::set1(0.0f)), p);
    }
};

struct LeakyOp {
    static constexpr uint32_t kKind = kLeakyRelu;
    template <class T, bool E>
    static typename T::V vec(typename T::V x, typename T::V p) {
        const auto zero = T::set1(0.0f);
        return T::fmadd(p, T::min(x, zero), T::max(x, zero));
    }
};

template <class T, bool E>
typename T::V sigmoidVec(typename T::V x) {
    const auto one = T::set1(1.0f);
    return T::template recip<E>(T::add(one, T::exp(T::sub(T::set1(0.0f), x))));
}

struct SigmoidOp {
    static constexpr uint32_t kKind = kSigmoid;
    template <class T, bool E>
    static typename T::V vec(typename T::V x, typename T::V) {
        return sigmoidVec<T, E>(x);
    }
};

struct SwishOp {
    static constexpr uint32_t kKind = kSwish;
    template <class T, bool E>
    static typename T::V vec(typename T::V x, typename T::V) {
        return T::mul(x, sigmoidVec<T, E>(x));
    }
};

struct HardSwishOp {
    static constexpr uint32_t kKind = kHardSwish;
    template <class T, bool E>
    static typename T::V vec(typename T::V x, typename T::V) {
        const auto g = T::min(T::max(T::add(x, T::set1(3.0f)), T::set1(0.0f)), T::set1(6.0f));
        return T::mul(T::mul(x, g), T::set1(1.0f / 6.0f));
    }
};

// Main loop in whole vectors (estimated reciprocal), then one exact 4-lane
// group for 8-lane ISAs, then exact scalar elements.
template <class T, class Op>
void runRange(float param, const float* x, float* y, size_t n) {
    const auto p = T::set1(param);
    size_t i = 0;
    for (; i + T::kLanes <= n; i += T::kLanes) {
        T::store(y + i, Op::template vec<T, false>(T::load(x + i), p));
    }
    if constexpr (T::kLanes == 8) {
        using H = typename T::Half;
        if (i + 4 <= n) {
            H::store(y + i, Op::template vec<H, true>(H::load(x + i), H::set1(param)));
            i += 4;
        }
    }
    for (; i < n; ++i) y[i] = applyScalar(Op::kKind, param, x[i]);
}

template <class T>
void applyRange(uint32_t kind, float param, const float* x, float* y, size_t n) {
    switch (kind) {
        case kRelu: return runRange<T, ReluOp>(param, x, y, n);
        case kClip: return runRange<T, ClipOp>(param, x, y, n);
        case kSigmoid: return runRange<T, SigmoidOp>(param, x, y, n);
        case kLeakyRelu: return runRange<T, LeakyOp>(param, x, y, n);
        case kSwish: return runRange<T, SwishOp>(param, x, y, n);
        case kHardSwish: return runRange<T, HardSwishOp>(param, x, y, n);
        default:
            if (x != y && n) std::memcpy(y, x, n * sizeof(float));
    }
}

// Whole vectors, then the last partial vector through a padded copy so that
// every element sees the same approximation.
template <class T>
void expRange(const float* t, float* out, size_t n) {
    size_t i = 0;
    for (; i + T::kLanes <= n; i += T::kLanes) T::store(out + i, T::exp(T::load(t + i)));
    if (i == n) return;
    float buf[T::kLanes] = {};
    std::memcpy(buf, t + i, (n - i) * sizeof(float));
    T::store(buf, T::exp(T::load(buf)));
    std::memcpy(out + i, buf, (n - i) * sizeof(float));
}

}  // namespace
}  // namespace act
}  // namespace YNet
