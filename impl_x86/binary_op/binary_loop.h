#pragma once
// Flat binary loop shared by the ISA variants: U vectors of T per main step,
// then 4-lane groups (T::Half for 8-lane T), then single elements.
// Internal linkage, like the activation loop it builds on.
#include "impl_x86/activation/activation_loop.h"
#include "impl_x86/binary_op/binary_kernels.h"

namespace YNet {
namespace binary {
namespace {

struct AddOp {
    template <class T>
    static typename T::V vec(typename T::V a, typename T::V b) { return T::add(a, b); }
    static float scalar(float a, float b) { return a + b; }
};
struct SubOp {
    template <class T>
    static typename T::V vec(typename T::V a, typename T::V b) { return T::sub(a, b); }
    static float scalar(float a, float b) { return a - b; }
};
struct MulOp {
    template <class T>
    static typename T::V vec(typename T::V a, typename T::V b) { return T::mul(a, b); }
    static float scalar(float a, float b) { return a * b; }
};
struct NoAct {
    static constexpr uint32_t kKind = act::kNone;
    template <class T, bool E>
    static typename T::V vec(typename T::V x, typename T::V) { return x; }
};

template <class T, class Op, class Act>
void step(const float* a, const float* b, float* y, typename T::V p) {
    T::store(y, Act::template vec<T, true>(Op::template vec<T>(T::load(a), T::load(b)), p));
}

template <class T, int U, class Op, class Act>
void run(float param, const float* a, const float* b, float* y, size_t n) {
    const auto p = T::set1(param);
    constexpr size_t kStep = size_t(U) * T::kLanes;
    size_t i = 0;
    for (; i + kStep <= n; i += kStep) {
        for (int u = 0; u < U; ++u) {
            const size_t j = i + size_t(u) * T::kLanes;
            step<T, Op, Act>(a + j, b + j, y + j, p);
        }
    }
    using H = typename T::Half;
    const auto hp = H::set1(param);
    for (; i + 4 <= n; i += 4) step<H, Op, Act>(a + i, b + i, y + i, hp);
    for (; i < n; ++i) y[i] = act::applyScalar(Act::kKind, param, Op::scalar(a[i], b[i]));
}

template <class T, int U, class Op>
void withAct(act::Fused f, const float* a, const float* b, float* y, size_t n) {
    switch (f.kind) {
        case act::kRelu: return run<T, U, Op, act::ReluOp>(f.param, a, b, y, n);
        case act::kClip: return run<T, U, Op, act::ClipOp>(f.param, a, b, y, n);
        case act::kLeakyRelu: return run<T, U, Op, act::LeakyOp>(f.param, a, b, y, n);
        default: return run<T, U, Op, NoAct>(f.param, a, b, y, n);
    }
}

template <class T, int U>
bool flat(uint32_t op, act::Fused f, const float* a, const float* b, float* y, size_t n) {
    switch (op) {
        case 0: withAct<T, U, AddOp>(f, a, b, y, n); return true;
        case 1: withAct<T, U, SubOp>(f, a, b, y, n); return true;
        case 2: run<T, U, MulOp, NoAct>(0.0f, a, b, y, n); return true;
        default: return false;
    }
}

}  // namespace
}  // namespace binary
}  // namespace YNet
