// Portable activation kernels (one lane, the same exponential in scalar
// form) and the dispatcher over the ISA variants.
#include <cstring>

#include "impl_x86/activation/activation_loop.h"
#include "impl_x86/activation/exp_sse.h"
#include "ynet/cpu_info.h"

namespace YNet {
namespace act {
namespace {

struct Scalar {
    using V = float;
    static constexpr int kLanes = 1;
    static V load(const float* p) { return *p; }
    static void store(float* p, V v) { *p = v; }
    static V set1(float v) { return v; }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static V min(V a, V b) { return b < a ? b : a; }
    static V max(V a, V b) { return a < b ? b : a; }
    static V fmadd(V a, V b, V c) { return a * b + c; }
    template <bool kExact>
    static V recip(V v) { return 1.0f / v; }
    static V exp(V t) {
        t = min(max(t, -kExpHi), kExpHi);
        const float f = t * kLog2e + 0.5f;
        float k = float(int32_t(f));
        if (k > f) k -= 1.0f;
        const float r = t - k * kLn2Hi - k * kLn2Lo;
        float p = kExpPoly[0];
        for (int i = 1; i < 6; ++i) p = p * r + kExpPoly[i];
        const uint32_t bits = uint32_t(int32_t(k) + 127) << 23;
        float scale;
        std::memcpy(&scale, &bits, sizeof scale);
        return (p * r * r + r + 1.0f) * scale;
    }
};

}  // namespace

void applyPortable(uint32_t kind, float param, const float* x, float* y, size_t n) {
    applyRange<Scalar>(kind, param, x, y, n);
}

void expPortable(const float* t, float* out, size_t n) { expRange<Scalar>(t, out, n); }

void apply(uint32_t kind, float param, const float* x, float* y, size_t n) {
    const CpuInfo& cpu = CpuInfo::get();
    if (cpu.avx2() && cpu.fma()) return applyAvx2(kind, param, x, y, n);
    if (cpu.avx()) return applyAvx(kind, param, x, y, n);
    applySse(kind, param, x, y, n);
}

}  // namespace act
}  // namespace YNet
