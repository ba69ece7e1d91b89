// Forwards of the Concat classes: the portable, SSE and AVX row copies and
// the 8 + 2 + 2 channel kernel.
#include "impl_x86/concat/x86_concat.h"

#include "impl_x86/concat/concat_kernels.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"

namespace YNet {
namespace ref {

bool Concat::forward(core::RunEnv&) {
    if (quantMode != 0 || !plan()) return false;
    concat::copyRowsPortable(copy.src.data(), copy.len.data(), copy.src.size(), copy.rows, copy.dst);
    return true;
}

}  // namespace ref

namespace simd {

bool Concat::forward(core::RunEnv&) {
    if (quantMode != 0 || !plan()) return false;
    concat::copyRowsSse(copy.src.data(), copy.len.data(), copy.src.size(), copy.rows, copy.dst);
    return true;
}

}  // namespace simd

namespace x86 {

bool Concat::forward(core::RunEnv& env) {
    if (inputs.empty() || outputs.empty()) return false;
    const bool is822 = axis == 3 && inputs.size() == 3 && inputs[0]->c == 8 &&
                       inputs[1]->c == 2 && inputs[2]->c == 2;
    if ((quantMode != 0 && !is822) || !plan()) return false;
    const Plan& p = copy;
    if (is822) {
        concat::concat822(p.src[0], p.src[1], p.src[2], p.rows, p.dst);
    } else if (!env.halfPrecision && CpuInfo::get().avx()) {
        concat::copyRowsAvx(p.src.data(), p.len.data(), p.src.size(), p.rows, p.dst);
    } else {
        concat::copyRowsSse(p.src.data(), p.len.data(), p.src.size(), p.rows, p.dst);
    }
    return true;
}

}  // namespace x86

YNET_REGISTER_LAYER(3, "Concat", x86::Concat);

}  // namespace YNet
