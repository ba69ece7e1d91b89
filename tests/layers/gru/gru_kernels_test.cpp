// Kernels called directly: activations, the vectorised gate and update loops,
// the packing layout, every matrix-vector variant and whole steps against the
// double-precision reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "impl_x86/gru/gru_kernels.h"
#include "tests/layers/gru/gru_reference.h"
#include "ynet/cpu_info.h"

namespace {

using namespace YNet::gru;
using gru_test::Weights;
using test_support::uniformFloats;

struct Kernel {
    std::string name;
    MatVecFn fn;
    int blockRows;  // 0: row-major weights
};

std::vector<Kernel> supportedKernels() {
    std::vector<Kernel> ks{{"sse", matVecSse, 0}};
    const YNet::CpuInfo& cpu = YNet::CpuInfo::hardware();
    if (cpu.avx() && cpu.fma()) {
        ks.push_back({"packed8", matVecPacked8Fma, 8});
        ks.push_back({"packed4", matVecPacked4Fma, 4});
    }
    if (cpu.avx2() && cpu.fma()) ks.push_back({"avx2", matVecAvx2, 0});
    return ks;
}

// The weights as the kernel reads them.
std::vector<float> formatFor(const Kernel& k, const std::vector<float>& m, int rows, int K) {
    if (k.blockRows == 0) return m;
    std::vector<float> p(m.size());
    packRows(m.data(), rows, K, k.blockRows, k.blockRows * 4, p.data());
    return p;
}

TEST(GruActivations, HandComputedValues) {
    EXPECT_FLOAT_EQ(tanhRational(5.0f), 1.0000098f);
    EXPECT_EQ(tanhRational(5.0001f), 1.0f);
    EXPECT_EQ(tanhRational(-5.0f), -1.0f);
    EXPECT_EQ(tanhRational(7.0f), 1.0f);
    EXPECT_FLOAT_EQ(tanhRational(1.0f), 0.7615942f);
    EXPECT_EQ(tanhRational(0.0f), 0.0f);
    EXPECT_EQ(hardSigmoid(-2.6f), 0.0f);
    EXPECT_EQ(hardSigmoid(0.0f), 0.5f);
    EXPECT_EQ(hardSigmoid(2.6f), 1.0f);
    EXPECT_EQ(hardSigmoid(2.5f), 1.0f);
    EXPECT_EQ(logistic(0.0f), 0.5f);
    EXPECT_FLOAT_EQ(logistic(2.0f), 0.880797078f);
    EXPECT_EQ(logistic(-200.0f), 0.0f);
}

// The vector loops must give the scalar formulas bit for bit, over lengths
// around the 8- and 32-wide blocks and values at the clamps.
TEST(GruActivations, VectorLoopsMatchScalarForms) {
    const float edges[] = {-5.0f, -4.999f, 5.0f, 5.0001f, -2.5f, 2.5f, -2.6f, 2.6f, 0.0f};
    for (int n : {1, 7, 8, 9, 31, 32, 33, 64, 70}) {
        std::vector<float> a = uniformFloats(n, 11 + n, -7.0f, 7.0f);
        std::vector<float> b = uniformFloats(n, 12 + n, -1.0f, 1.0f);
        for (int i = 0; i < n && i < 9; ++i) a[i] = edges[i];
        std::vector<float> z = uniformFloats(n, 13 + n, -1.0f, 1.0f);
        for (float& v : z) v = std::fabs(v);
        std::vector<float> h = uniformFloats(n, 14 + n), hv = h, g(n), gs(n);
        updateState(z.data(), a.data(), hv.data(), n);
        for (bool hard : {false, true}) {
            gateActivations(a.data(), b.data(), g.data(), n, hard);
            for (int j = 0; j < n; ++j)
                ASSERT_EQ(g[j], hard ? hardSigmoid(a[j] + b[j]) : logistic(a[j] + b[j]))
                    << n << " " << j;
        }
        for (int j = 0; j < n; ++j)
            ASSERT_EQ(hv[j], z[j] * h[j] + (1.0f - z[j]) * tanhRational(a[j])) << n << " " << j;
    }
}

TEST(GruPacking, RowBlockLayout) {
    const int rows = 16, K = 40;  // one 32-column chunk and an 8-column tail per block
    std::vector<float> m(rows * K), p(rows * K);
    for (size_t i = 0; i < m.size(); ++i) m[i] = float(i);
    packRows(m.data(), rows, K, 8, 32, p.data());
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < K; ++k) {
            const int b = r / 8, rr = r % 8;
            const int pos = b * 8 * K + (k < 32 ? rr * 32 + k : 256 + rr * 8 + (k - 32));
            ASSERT_EQ(p[pos], m[r * K + k]) << r << " " << k;
        }
    packRows(m.data(), 8, 20, 4, 16, p.data());  // 4-row blocks, 16 + 4 tail
    EXPECT_EQ(p[16], m[20]);                     // row 1, column 0
    EXPECT_EQ(p[64], m[16]);                     // tail of row 0
    EXPECT_EQ(p[4 * 20 + 68], m[5 * 20 + 16]);   // second block, tail of its row 1
}

TEST(GruMatVec, EveryKernelAgainstReference) {
    for (const Kernel& kern : supportedKernels())
        for (int rows : {4, 8, 12, 24, 384, 3, 5})
            for (int K : {1, 3, 7, 8, 15, 16, 17, 31, 32, 33, 40, 63, 65, 128, 1056}) {
                if (kern.blockRows && rows % kern.blockRows) continue;
                const std::vector<float> m = uniformFloats(size_t(rows) * K, rows * K);
                const std::vector<float> v = uniformFloats(K, K + 5);
                const std::vector<float> bias = uniformFloats(rows, rows + 9);
                const std::vector<float> w = formatFor(kern, m, rows, K);
                std::vector<float> out(rows);
                kern.fn(v.data(), w.data(), bias.data(), out.data(), K, rows);
                for (int j = 0; j < rows; ++j) {
                    double ref = bias[j], mag = std::fabs(bias[j]);
                    for (int k = 0; k < K; ++k) {
                        ref += double(m[size_t(j) * K + k]) * v[k];
                        mag += std::fabs(double(m[size_t(j) * K + k]) * v[k]);
                    }
                    ASSERT_NEAR(out[j], ref, 1e-6 * mag + 1e-7)
                        << kern.name << " rows " << rows << " K " << K << " row " << j;
                }
            }
}

// The generic kernels add the columns after the 8-wide chunks in chunks of 4
// summed first: four products of 2^-24 each vanish one by one against a sum
// of 1, but their chunk sum 2^-22 does not.
TEST(GruMatVec, GenericLeftoverColumnsInChunksOfFour) {
    const float tiny = std::ldexp(1.0f, -24);
    for (const Kernel& kern : supportedKernels()) {
        if (kern.blockRows) continue;
        for (int K : {4, 5, 12, 13, 15}) {
            std::vector<float> row(K, 0.0f), v(K, 1.0f);
            const int chunked = (K % 8) / 4 * 4;
            for (int k = K - K % 8; k < K; ++k) row[k] = tiny;
            const float bias = 1.0f;
            float out = 0;
            kern.fn(v.data(), row.data(), &bias, &out, K, 1);
            EXPECT_EQ(out, 1.0f + float(chunked) * tiny) << kern.name << " K " << K;
        }
    }
}

// Runs `steps` steps from a random state, then compares with the reference.
double sequenceError(const Kernel& kern, const Weights& w, bool hard, bool lbr, int steps) {
    const int I = w.I, H = w.H;
    const std::vector<float> W = formatFor(kern, w.W, 3 * H, I);
    const std::vector<float> R = formatFor(kern, w.R, 3 * H, H);
    std::vector<float> gx(3 * H), gh(3 * H), gates(3 * H);
    StepArgs a{W.data(), R.data(), w.B.data(), w.B.data() + 3 * H, I, H, hard, lbr, false,
               gx.data(), gh.data(), gates.data(), kern.fn};
    const std::vector<float> xs = uniformFloats(size_t(steps) * I, I * 31 + H);
    std::vector<float> h = uniformFloats(H, H + 77, -0.8f, 0.8f);
    std::vector<double> ref(h.begin(), h.end());
    double err = 0;
    for (int t = 0; t < steps; ++t) {
        step(a, xs.data() + size_t(t) * I, h.data());
        gru_test::refStep(w, hard, lbr, xs.data() + size_t(t) * I, ref);
        for (int j = 0; j < H; ++j) err = std::max(err, std::fabs(h[j] - ref[j]));
    }
    return err;
}

TEST(GruStep, OneStepAndSequencesAgainstReference) {
    const int shapes[][2] = {{1056, 128}, {128, 128}, {5, 3}, {40, 12}, {17, 10}, {33, 8}};
    for (const Kernel& kern : supportedKernels())
        for (const auto& s : shapes) {
            if (kern.blockRows && s[1] % kern.blockRows) continue;
            const Weights w = gru_test::randomWeights(s[0], s[1], s[0] * 7 + s[1], 0.15f);
            for (int flags = 0; flags < 4; ++flags) {
                const bool hard = flags & 1, lbr = flags & 2;
                for (int steps : {1, 50})
                    EXPECT_LT(sequenceError(kern, w, hard, lbr, steps), 2e-5)
                        << kern.name << " I " << s[0] << " H " << s[1] << " hard " << hard
                        << " lbr " << lbr << " steps " << steps;
            }
        }
}

}  // namespace
