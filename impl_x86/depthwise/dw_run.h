#pragma once
// Runs a chosen depthwise kernel on a layer: packed weights, bias, the
// follower activation as the choice fuses it, and the kernel call.
#include "impl_x86/depthwise/dw_select.h"
#include "ynet/layers/conv/conv_base.h"

namespace YNet {

// The geometry of a layer's current input and output, for the kernels.
dw::Geometry depthwiseGeometry(const core::Conv& layer, int group);

namespace dw {

// False (nothing written) when the choice is Path::None or a buffer is
// missing.
bool runChoice(core::Conv& layer, const Choice& choice, const Geometry& g);

}  // namespace dw
}  // namespace YNet
