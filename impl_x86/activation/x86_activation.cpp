#include "impl_x86/activation/x86_activation.h"

#include "impl_x86/activation/activation_kernels.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"

namespace YNet {
namespace x86 {

bool Activation::forward(core::RunEnv& env) {
    if (inputs.empty() || outputs.empty()) return false;
    if (kind != act::kSigmoid && kind != act::kSwish) return simd::Activation::forward(env);
    if (consumeSkip()) return true;
    const float* x;
    float* y;
    size_t n;
    if (!buffers(x, y, n)) return false;
    const CpuInfo& cpu = CpuInfo::get();
    if (cpu.avx2() && cpu.fma()) {
        act::applyAvx2(kind, 0.0f, x, y, n);
    } else if (cpu.avx()) {
        act::applyAvx(kind, 0.0f, x, y, n);
    } else {
        act::applySse(kind, 0.0f, x, y, n);
    }
    return true;
}

}  // namespace x86

YNET_REGISTER_LAYER(3, "PRelu", x86::Activation);
YNET_REGISTER_LAYER(3, "Relu", x86::Activation);

}  // namespace YNet
