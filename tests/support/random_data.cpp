#include "tests/support/random_data.h"

#include <random>

namespace test_support {

namespace {

template <class Distribution>
std::vector<float> draw(size_t n, unsigned seed, Distribution d) {
    std::mt19937 rng(seed);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

}  // namespace

std::vector<float> uniformFloats(size_t n, unsigned seed, float lo, float hi) {
    return draw(n, seed, std::uniform_real_distribution<float>(lo, hi));
}

std::vector<float> normalFloats(size_t n, unsigned seed, float sigma) {
    return draw(n, seed, std::normal_distribution<float>(0.0f, sigma));
}

}  // namespace test_support
