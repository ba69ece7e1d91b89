// AVX2 + FMA activation kernels.
#include "impl_x86/activation/activation_loop.h"
#include "impl_x86/activation/vec_avx2.h"

namespace YNet {
namespace act {

void applyAvx2(uint32_t kind, float param, const float* x, float* y, size_t n) {
    applyRange<Avx2Fma>(kind, param, x, y, n);
}

void expAvx2(const float* t, float* out, size_t n) { expRange<Avx2Fma>(t, out, n); }

}  // namespace act
}  // namespace YNet
