// Scalar half <-> float rules and the whole-array entry points, which hand
// full groups of eight to the F16C kernels when the processor allows it.
#include <cstring>

#include "ynet/cpu_info.h"
#include "ynet/half_f16c.h"
#include "ynet/tensor.h"

namespace YNet {

namespace {

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

float floatOf(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

bool hardwareHalf() {
    const CpuInfo& cpu = CpuInfo::get();
    return cpu.f16c() && cpu.avx();
}

}  // namespace

float halfToFloatScalar(uint16_t h) {
    const uint32_t sign = uint32_t(h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1Fu;
    const uint32_t mantissa = h & 0x3FFu;
    if (exponent == 31) {
        // Infinity keeps mantissa 0; NaN is returned quiet with its payload,
        // as the hardware conversion does.
        return floatOf(sign | 0x7F800000u | (mantissa ? 0x400000u | (mantissa << 13) : 0u));
    }
    if (exponent != 0) return floatOf(sign | ((exponent + 112) << 23) | (mantissa << 13));
    const float magnitude = float(mantissa) * (1.0f / 16777216.0f);
    return sign ? -magnitude : magnitude;
}

uint16_t floatToHalfScalar(float f) {
    const uint32_t u = bitsOf(f);
    const uint32_t sign = (u >> 16) & 0x8000u;
    const uint32_t magnitude = u & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u) return 0x7FFF;
    if (magnitude == 0x7F800000u) return uint16_t(sign | 0x7C00u);
    const uint32_t exponent = magnitude >> 23;
    if (exponent < 113) {
        const uint32_t shift = 113 - exponent;
        if (shift >= 24) return uint16_t(sign);
        const uint32_t significand = (magnitude & 0x7FFFFFu) | 0x800000u;
        return uint16_t(sign | ((significand >> shift) >> 13));
    }
    // Magnitudes from 65536 up saturate to infinity, as in hardware.
    const uint32_t bits = (magnitude - 0x38000000u) >> 13;
    return uint16_t(sign | (bits < 0x7C00u ? bits : 0x7C00u));
}

void halfToFloatArray(size_t count, const uint16_t* src, float* dst) {
    size_t done = hardwareHalf() ? halfToFloatF16c(count, src, dst) : 0;
    for (; done < count; ++done) dst[done] = halfToFloatScalar(src[done]);
}

void floatToHalfArray(size_t count, const float* src, uint16_t* dst) {
    size_t done = hardwareHalf() ? floatToHalfF16c(count, src, dst) : 0;
    for (; done < count; ++done) dst[done] = floatToHalfScalar(src[done]);
}

}  // namespace YNet
