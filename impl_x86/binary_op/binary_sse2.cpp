// 128-bit flat binary kernels (baseline SSE2).
#include "impl_x86/activation/exp_sse.h"
#include "impl_x86/binary_op/binary_loop.h"

namespace YNet {
namespace binary {
namespace {

// 4-lane traits are their own tail group.
struct Sse4Flat : act::Sse4 {
    using Half = act::Sse4;
};

}  // namespace

bool flatSse(SseKernel kernel, uint32_t op, act::Fused f, const float* a, const float* b,
             float* y, size_t n) {
    if (kernel == SseKernel::A4) return flat<Sse4Flat, 4>(op, f, a, b, y, n);
    return flat<Sse4Flat, 8>(op, f, a, b, y, n);
}

}  // namespace binary
}  // namespace YNet
