#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace aec_test {

// Echo reduction in dB: mic energy over output energy from sample `from` on.
inline double erleDb(const std::vector<float>& mic, const std::vector<float>& out, size_t from) {
  double in = 1e-20, left = 1e-20;
  for (size_t n = from; n < mic.size(); ++n) {
    in += double(mic[n]) * mic[n];
    left += double(out[n]) * out[n];
  }
  return 10.0 * std::log10(in / left);
}

}  // namespace aec_test
