// 256-bit flat binary kernel: 32 floats per main step.
#include "impl_x86/activation/vec_avx2.h"
#include "impl_x86/binary_op/binary_loop.h"

namespace YNet {
namespace binary {

bool flatAvx2(uint32_t op, act::Fused f, const float* a, const float* b, float* y, size_t n) {
    return flat<act::Avx2Fma, 4>(op, f, a, b, y, n);
}

}  // namespace binary
}  // namespace YNet
