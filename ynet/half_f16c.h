#pragma once
// F16C kernels behind halfToFloatArray / floatToHalfArray. They convert whole
// groups of eight and return how many elements they did; the caller finishes
// the tail with the scalar rule. Only call them when CpuInfo reports F16C and
// AVX.
#include <cstddef>
#include <cstdint>

namespace YNet {

size_t halfToFloatF16c(size_t count, const uint16_t* src, float* dst);
size_t floatToHalfF16c(size_t count, const float* src, uint16_t* dst);

}  // namespace YNet
