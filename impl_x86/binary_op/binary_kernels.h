#pragma once
// Flat element-wise kernels of BinaryOp: y[i] = act(a[i] op b[i]) over n
// elements, op 0 add, 1 subtract, 2 multiply. The activation (`f`, kinds
// relu, clip and leaky; kNone for none) applies to add and subtract only.
// In-place use (y == a or y == b) is allowed. Each returns false for an op
// outside 0..2. The AVX2 variant needs AVX2 and FMA.
#include <cstddef>
#include <cstdint>

#include "ynet/layers/activation/activation_kinds.h"

namespace YNet {
namespace binary {

// 128-bit kernels by main step: A12 and A8 take 32 floats, A4 16 floats.
enum class SseKernel { A12, A8, A4 };

bool flatSse(SseKernel kernel, uint32_t op, act::Fused f, const float* a, const float* b,
             float* y, size_t n);
bool flatAvx2(uint32_t op, act::Fused f, const float* a, const float* b, float* y, size_t n);

}  // namespace binary
}  // namespace YNet
