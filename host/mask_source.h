#pragma once

#include <functional>

namespace aec {

// Writes 513 gains in [0, 1] for one 10 ms frame from the 18 x 513 feature
// buffer the pipeline builds (rows E, D, Y for frames t-5..t).
using MaskSource = std::function<void(const float* features, float* mask)>;

}  // namespace aec
