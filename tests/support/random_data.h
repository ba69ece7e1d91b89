#pragma once
// Seeded test data: the same values on every run (the engine's sequence is
// fixed by the standard, the distributions by the library).
#include <cstddef>
#include <vector>

namespace test_support {

// n values uniform in [lo, hi).
std::vector<float> uniformFloats(size_t n, unsigned seed, float lo = -1.0f, float hi = 1.0f);

// n values of a zero-mean normal distribution.
std::vector<float> normalFloats(size_t n, unsigned seed, float sigma);

}  // namespace test_support
