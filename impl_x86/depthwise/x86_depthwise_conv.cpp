#include "impl_x86/depthwise/x86_depthwise_conv.h"

#include "impl_x86/depthwise/dw_run.h"
#include "ynet/layer_registry.h"

namespace YNet {
namespace x86 {

dw::Choice DepthwiseConv::selectKernel(const core::RunEnv& env) const {
    return dw::selectDepthwise(depthwiseGeometry(*this, int(depthwiseGroup)), CpuInfo::get(),
                               env.halfPrecision);
}

bool DepthwiseConv::forward(core::RunEnv& env) {
    if (!shapesAgree(Kind::Forward, depthwiseGroup)) return false;
    return dw::runChoice(*this, selectKernel(env), depthwiseGeometry(*this, int(depthwiseGroup)));
}

YNET_REGISTER_LAYER(3, "DepthwiseConv", DepthwiseConv);

}  // namespace x86
}  // namespace YNet
