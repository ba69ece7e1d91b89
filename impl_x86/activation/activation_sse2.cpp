// SSE2 activation kernels (baseline x86-64, no extra ISA flags).
#include "impl_x86/activation/activation_loop.h"
#include "impl_x86/activation/exp_sse.h"

namespace YNet {
namespace act {

void applySse(uint32_t kind, float param, const float* x, float* y, size_t n) {
    applyRange<Sse4>(kind, param, x, y, n);
}

void expSse(const float* t, float* out, size_t n) { expRange<Sse4>(t, out, n); }

}  // namespace act
}  // namespace YNet
