#pragma once
// Double-precision GRU step written from the gate equations, plus random
// test weights. Independent of the engine's kernels.
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "tests/support/random_data.h"

namespace gru_test {

struct Weights {
    int I = 0, H = 0;
    std::vector<float> W, R, B;  // 3H x I, 3H x H row-major; 6H biases
};

inline Weights randomWeights(int I, int H, unsigned seed, float scale = 0.3f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-scale, scale);
    Weights w;
    w.I = I;
    w.H = H;
    w.W.resize(size_t(3) * H * I);
    w.R.resize(size_t(3) * H * H);
    w.B.resize(size_t(6) * H);
    for (auto* v : {&w.W, &w.R, &w.B})
        for (float& f : *v) f = u(rng);
    return w;
}

inline double refSigmoid(double v, bool hard) {
    if (!hard) return 1.0 / (1.0 + std::exp(-v));
    if (v < -2.5) return 0.0;
    if (v > 2.5) return 1.0;
    return 0.2 * v + 0.5;
}

inline double refTanh(double v) {
    if (v > 5) return 1;
    if (v <= -5) return -1;
    const double q = v * v;
    return v * (q * (q * (q + 378) + 17325) + 135135) /
           (q * (q * (28 * q + 3150) + 62370) + 135135);
}

// Row j of (M * v) + bias[j], M with K columns.
inline double refRow(const std::vector<float>& M, const double* v, int j, int K, double bias) {
    double s = bias;
    for (int k = 0; k < K; ++k) s += double(M[size_t(j) * K + k]) * v[k];
    return s;
}

// One step: h (H values) is overwritten with the new state.
inline void refStep(const Weights& w, bool hard, bool linearBeforeReset, const float* xf,
                    std::vector<double>& h) {
    const int I = w.I, H = w.H;
    std::vector<double> x(xf, xf + I), rh(H), z(H), r(H), hn(H);
    const float* Wb = w.B.data();
    const float* Rb = w.B.data() + 3 * H;
    for (int j = 0; j < H; ++j) {
        z[j] = refSigmoid(refRow(w.W, x.data(), j, I, Wb[j]) + refRow(w.R, h.data(), j, H, Rb[j]),
                          hard);
        r[j] = refSigmoid(refRow(w.W, x.data(), H + j, I, Wb[H + j]) +
                              refRow(w.R, h.data(), H + j, H, Rb[H + j]),
                          hard);
        rh[j] = r[j] * h[j];
    }
    for (int j = 0; j < H; ++j) {
        const int row = 2 * H + j;
        const double gxn = refRow(w.W, x.data(), row, I, Wb[row]);
        const double a = linearBeforeReset ? refRow(w.R, h.data(), row, H, Rb[row]) * r[j] + gxn
                                           : refRow(w.R, rh.data(), row, H, Rb[row]) + gxn;
        hn[j] = z[j] * h[j] + (1 - z[j]) * refTanh(a);
    }
    h = hn;
}

}  // namespace gru_test
