// Forward of the simd Activation: the FMA or the SSE range kernel.
#include "impl_x86/activation/activation_kernels.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/layers/activation/activation.h"

namespace YNet {
namespace simd {

bool Activation::forward(core::RunEnv& env) {
    if (inputs.empty() || outputs.empty()) return false;
    if (consumeSkip()) return true;
    const float* x;
    float* y;
    size_t n;
    if (!buffers(x, y, n)) return false;
    const float param = kind == act::kClip ? alpha : beta;
    const CpuInfo& cpu = CpuInfo::get();
    if (!env.halfPrecision && cpu.avx2() && cpu.fma()) {
        act::applyAvx2(kind, param, x, y, n);
    } else {
        act::applySse(kind, param, x, y, n);
    }
    return true;
}

}  // namespace simd

YNET_REGISTER_LAYER(3, "Activation", simd::Activation);
YNET_REGISTER_LAYER(3, "HardSigmoid", simd::Activation);
YNET_REGISTER_LAYER(3, "HardSwish", simd::Activation);
YNET_REGISTER_LAYER(3, "LeakyRelu", simd::Activation);
YNET_REGISTER_LAYER(3, "Sigmoid", simd::Activation);
YNET_REGISTER_LAYER(3, "Swish", simd::Activation);

}  // namespace YNet
