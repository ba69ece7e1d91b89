#pragma once
// Shared helpers of the matrix product tests: random operands and a
// double-precision reference product with its float error bound.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/random_data.h"

namespace gemmtest {

template <class T>
std::vector<T> randomInts(size_t count, int lo, int hi, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(lo, hi);
    std::vector<T> v(count);
    for (auto& x : v) x = T(dist(gen));
    return v;
}

// One reference value and the bound a float accumulation of its K terms can
// stray from it: (K + 2) * eps * (|bias| + sum |terms|).
struct Ref {
    double value = 0, bound = 0;
};

// at(k) returns the k-th (a, b) pair of the dot.
template <class Pair>
Ref referenceDot(int K, double bias, Pair at) {
    Ref r{bias, std::fabs(bias)};
    for (int k = 0; k < K; ++k) {
        const auto p = at(k);
        r.value += double(p.first) * double(p.second);
        r.bound += std::fabs(double(p.first) * double(p.second));
    }
    r.bound *= (K + 2) * double(FLT_EPSILON);
    r.bound += 1e-30;
    return r;
}

inline void expectNear(const Ref& r, float got, const char* what, int i) {
    EXPECT_NEAR(double(got), r.value, r.bound) << what << " at " << i;
}

}  // namespace gemmtest
