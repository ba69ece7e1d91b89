// Forward of the simd BinaryOp: the flat AVX2 or SSE kernels on equal shapes.
#include "impl_x86/binary_op/binary_kernels.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/layers/activation/activation_kinds.h"
#include "ynet/layers/binary_op/binary_op.h"

namespace YNet {
namespace simd {

bool BinaryOp::forward(core::RunEnv& env) {
    if (inputs.size() < 2 || outputs.empty()) return false;
    if (quantMode != 0 || env.halfPrecision) return ref::BinaryOp::forward(env);
    const CpuInfo& cpu = CpuInfo::get();
    const bool avx2 = cpu.avx2() && cpu.fma() && outputs[0]->c % 8 == 0;
    if (!sameShape()) return false;
    return flat(avx2);
}

bool BinaryOp::flat(bool avx2) {
    if (op > 2) return false;
    const float* a = inputs[0]->floatData(0, false, false, false);
    const float* b = inputs[1]->floatData(0, false, false, false);
    float* y = outputs[0]->floatData(0, false, false, false);
    const size_t n = inputs[0]->floatCapacity();
    if (!a || !b || !y || inputs[1]->floatCapacity() < n || outputs[0]->floatCapacity() < n)
        return false;
    act::Fused f;
    if (op != 2) f = act::takeFollower(*this, act::kReluClipLeaky, false);
    if (!f && fuseRelu == 1) f.kind = act::kRelu;
    if (avx2) return binary::flatAvx2(op, f, a, b, y, n);
    const uint32_t c = outputs[0]->c;
    const auto kernel = c % 12 == 0  ? binary::SseKernel::A12
                        : c % 8 == 0 ? binary::SseKernel::A8
                                     : binary::SseKernel::A4;
    return binary::flatSse(kernel, op, f, a, b, y, n);
}

}  // namespace simd

YNET_REGISTER_LAYER(3, "Add", simd::BinaryOp);
YNET_REGISTER_LAYER(3, "BinaryOp", simd::BinaryOp);
YNET_REGISTER_LAYER(3, "Mul", simd::BinaryOp);
YNET_REGISTER_LAYER(3, "Sub", simd::BinaryOp);

}  // namespace YNet
