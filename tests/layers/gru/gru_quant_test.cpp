// The 8-bit quantized GRU variants against a double-precision step that
// quantizes the same way: integer sums are exact, so the float products
// may differ from the reference only by their roundings, and the stored
// state only where the reference lies within that rounding of a half step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "impl_x86/gru/x86_gru.h"
#include "tests/layers/gru/gru_reference.h"
#include "tests/support/layer_records.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/run_env.h"

namespace {

using namespace YNet;

using test_support::RecordBuilder;
using test_support::TestEnv;
using test_support::uniformFloats;

struct QuantWeights {
    int I = 0, H = 0, G = 0;  // G: scale groups per row of W (0 = one per row)
    std::vector<int8_t> W, R;
    std::vector<float> sW, sR, B;
    float sx = 1.0f / 127, sh = 1.0f / 100;
    int groups() const { return G > 0 ? G : 1; }
};

QuantWeights randomQuant(int I, int H, int G, unsigned seed, bool wideX) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> q(-127, 127);
    std::uniform_real_distribution<float> u(0.8f, 1.2f);
    QuantWeights w;
    w.I = I;
    w.H = H;
    w.G = G;
    w.sx = wideX ? 1.0f / 2000 : 1.0f / 127;
    w.W.resize(size_t(3) * H * I);
    w.R.resize(size_t(3) * H * H);
    for (auto* v : {&w.W, &w.R})
        for (int8_t& b : *v) b = int8_t(q(rng));
    w.sW.resize(size_t(3) * H * w.groups());
    for (float& s : w.sW) s = u(rng) * 1.5f / (127 * std::sqrt(float(I)));
    w.sR.resize(size_t(3) * H);
    for (float& s : w.sR) s = u(rng) * 1.5f / (127 * std::sqrt(float(H)));
    w.B = uniformFloats(size_t(6) * H, seed + 1, -0.3f, 0.3f);
    return w;
}

// Row j of the scaled product plus bias, and the sum of the magnitudes of its
// float terms (what the roundings scale with).
struct RefRow {
    double value, magnitude;
};

template <class X>
RefRow refQuantRow(const std::vector<int8_t>& M, const std::vector<float>& scales, int groups,
                   const X* x, int K, int j, double inScale, double bias) {
    RefRow r{bias, std::fabs(bias)};
    const int run = K / groups;
    for (int g = 0; g < groups; ++g) {
        long long sum = 0;
        for (int k = g * run; k < (g + 1) * run; ++k) sum += int(x[k]) * M[size_t(j) * K + k];
        const double part = double(sum) * inScale * scales[size_t(j) * groups + g];
        r.value += part;
        r.magnitude += std::fabs(part);
    }
    return r;
}

// The reference step: gx and gh rows, and the new state before quantizing.
struct RefStep {
    std::vector<RefRow> gx, gh;
    std::vector<double> h;
};

template <class X>
RefStep refQuantStep(const QuantWeights& w, bool hard, const X* x, const int8_t* hq) {
    const int H = w.H;
    RefStep s;
    for (int j = 0; j < 3 * H; ++j) {
        s.gx.push_back(refQuantRow(w.W, w.sW, w.groups(), x, w.I, j, w.sx, w.B[j]));
        s.gh.push_back(refQuantRow(w.R, w.sR, 1, hq, H, j, w.sh, w.B[3 * H + j]));
    }
    for (int j = 0; j < H; ++j) {
        const double z = gru_test::refSigmoid(s.gx[j].value + s.gh[j].value, hard);
        const double r = gru_test::refSigmoid(s.gx[H + j].value + s.gh[H + j].value, hard);
        const double a = s.gh[2 * H + j].value * r + s.gx[2 * H + j].value;
        const double h = hq[j] * double(w.sh);
        s.h.push_back(z * h + (1 - z) * gru_test::refTanh(a));
    }
    return s;
}

struct QuantGru {
    TensorMap blobs, weights;
    std::unique_ptr<x86::GRU> layer;
    int H;

    QuantGru(const QuantWeights& w, bool wideX, int linearBeforeReset = 1, int T = 1,
             bool withVectorScales = true, int hardSigmoid = 0)
        : H(w.H) {
        static const char* names[] = {"xs", "hs", "ws", "rs", "W", "R", "B"};
        const int first = withVectorScales ? 0 : 2;
        const RecordBuilder rec("GRU", {"x", "y", "s"}, {w.H, 1, hardSigmoid, linearBeforeReset, w.G},
                                {names + first, names + 7});
        floats("xs", {w.sx});
        floats("hs", {w.sh});
        floats("ws", w.sW);
        floats("rs", w.sR);
        floats("B", w.B);
        bytes("W", w.W, 3 * w.H, w.I);
        bytes("R", w.R, 3 * w.H, w.H);
        Tensor& x = lookup(blobs, "x");
        x.set(1, uint32_t(T), 1, uint32_t(w.I), kNHWC);
        if (wideX) x.data[kS16] = alignedAlloc(x.count * sizeof(int16_t));
        x.data[kS8] = alignedAlloc(x.count);
        layer.reset(static_cast<x86::GRU*>(LayerRegistry::create(3, rec, blobs, weights)));
        TestEnv env;
        layer->prepare(env);
        Tensor& s = blobs["s"];
        s.data[kS8] = alignedAlloc(s.count);
    }
    void floats(const char* name, const std::vector<float>& v) {
        Tensor& t = lookup(weights, name);
        t.set(1, 1, 1, uint32_t(v.size()), kNCHW);
        std::memcpy(t.floatData(0), v.data(), v.size() * sizeof(float));
    }
    void bytes(const char* name, const std::vector<int8_t>& v, int rows, int cols) {
        Tensor& t = lookup(weights, name);
        t.set(1, 1, uint32_t(rows), uint32_t(cols), kNCHW);
        t.data[kS8] = alignedAlloc(v.size());
        std::memcpy(t.data[kS8], v.data(), v.size());
    }
    Tensor& x() { return blobs["x"]; }
    int8_t* s() { return blobs["s"].s8(); }
    std::vector<int8_t> state() { return {s(), s() + H}; }
    bool run(uint32_t mode = 0) {
        TestEnv env;
        env.stepMode = mode;
        return layer->forward(env);
    }
};

// Per frame: a fresh input, one run, then gx, gh and the state against the
// reference started from the state the layer held before the run.
template <class X>
void checkFrames(const QuantWeights& w, bool hard, int frames, X* x, QuantGru& g, int range) {
    std::mt19937 rng(unsigned(w.I * 31 + w.H));
    std::uniform_int_distribution<int> q(-range, range);
    const double eps = std::ldexp(1.0, -23) * (w.groups() + 3);
    for (int f = 0; f < frames; ++f) {
        for (int k = 0; k < w.I; ++k) x[k] = X(q(rng));
        const std::vector<int8_t> before = g.state();
        const RefStep ref = refQuantStep(w, hard, x, before.data());
        ASSERT_TRUE(g.run());
        for (int j = 0; j < 3 * w.H; ++j) {
            ASSERT_NEAR(g.layer->gx[j], ref.gx[j].value, eps * ref.gx[j].magnitude)
                << f << " " << j;
            ASSERT_NEAR(g.layer->gh[j], ref.gh[j].value, eps * ref.gh[j].magnitude)
                << f << " " << j;
        }
        for (int j = 0; j < w.H; ++j) {
            const double v = ref.h[j] / w.sh;
            const double expect = std::fmax(-127, std::fmin(127, std::round(v)));
            // Float gates and candidate: off by one only right at a half step.
            const double slack = std::fabs(std::fabs(v - std::trunc(v)) - 0.5) < 1e-3 ? 1 : 0;
            ASSERT_LE(std::fabs(g.s()[j] - expect), slack) << f << " " << j << " v " << v;
            ASSERT_EQ(g.blobs["y"].s8()[j], g.s()[j]);
        }
    }
}

struct Shape {
    int I, H, G;
};

TEST(GruQuant, EveryVariantAgainstQuantizingReference) {
    const Shape shapes[] = {{1056, 128, 0}, {128, 128, 0}, {1056, 128, 4}, {37, 32, 0},
                            {33, 32, 3},    {9, 16, 0},    {21, 48, 7}};
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        const CpuInfo& cpu = CpuInfo::get();
        for (const Shape& sh : shapes)
            for (bool wide : {false, true}) {
                SCOPED_TRACE(testing::Message() << isaLevelName(level) << " I " << sh.I << " H "
                                                << sh.H << " G " << sh.G << " wide " << wide);
                const QuantWeights w = randomQuant(sh.I, sh.H, sh.G, unsigned(sh.I + sh.H), wide);
                const bool hard = sh.G == 3;
                QuantGru g(w, wide, 1, 1, true, hard);
                const bool runs = cpu.avx2() ? sh.H % 32 == 0 : cpu.sse41() && sh.H % 16 == 0;
                if (!runs) {
                    EXPECT_FALSE(g.run());
                    EXPECT_EQ(g.state(), std::vector<int8_t>(size_t(sh.H), 0));
                    continue;
                }
                if (wide)
                    checkFrames(w, hard, 50, g.x().s16(), g, 2000);
                else
                    checkFrames(w, hard, 50, g.x().s8(), g, 127);
            }
    }
}

TEST(GruQuant, HandComputedStateRounding) {
    const CpuInfo& cpu = CpuInfo::hardware();
    if (!cpu.sse41()) GTEST_SKIP() << "no SSE4.1";
    QuantWeights w = randomQuant(8, 32, 0, 3, false);
    std::fill(w.W.begin(), w.W.end(), 0);
    std::fill(w.R.begin(), w.R.end(), 0);
    std::fill(w.B.begin(), w.B.end(), 0.0f);
    w.sh = 1.0f / 128;  // exact, so the half steps stay exact
    // Rows 0..15: z = r = 0.5, n = 0, so h becomes half its value.
    // Rows 16..23: z ~ 0, n = +-1 -> +-128, clamped to +-127.
    for (int j = 16; j < 32; ++j) {
        w.B[j] = -20.0f;
        w.B[64 + j] = j < 24 ? 10.0f : -10.0f;
    }
    QuantGru g(w, false);
    const int8_t h0[16] = {3, -3, 5, -5, 1, -1, 0, 127, -127, 2, -2, 100, -99, 7, 9, -9};
    const int8_t h1[16] = {2, -2, 3, -3, 1, -1, 0, 64, -64, 1, -1, 50, -50, 4, 5, -5};
    std::memcpy(g.s(), h0, 16);
    ASSERT_TRUE(g.run());
    for (int j = 0; j < 16; ++j) EXPECT_EQ(g.s()[j], h1[j]) << j;
    for (int j = 16; j < 32; ++j) EXPECT_EQ(g.s()[j], j < 24 ? 127 : -127) << j;
}

TEST(GruQuant, UnsupportedCombinationsLeaveTheStateAlone) {
    const QuantWeights w = randomQuant(40, 32, 0, 5, false);
    struct Case {
        int linearBeforeReset, T;
        bool vectorScales;
    };
    for (Case c : {Case{0, 1, true}, Case{1, 3, true}, Case{1, 1, false}}) {
        QuantGru g(w, false, c.linearBeforeReset, c.T, c.vectorScales);
        std::memset(g.s(), 9, 32);
        EXPECT_FALSE(g.run()) << c.linearBeforeReset << " " << c.T;
        EXPECT_EQ(g.state(), std::vector<int8_t>(32, 9));
        EXPECT_FALSE(g.layer->packed);
    }
}

TEST(GruQuant, StepModesPackingAndReset) {
    if (!CpuInfo::hardware().sse41()) GTEST_SKIP() << "no SSE4.1";
    const QuantWeights w = randomQuant(66, 32, 2, 7, false);
    QuantGru whole(w, false), split(w, false), fresh(w, false);
    for (QuantGru* g : {&whole, &split, &fresh})
        for (int k = 0; k < 66; ++k) g->x().s8()[k] = int8_t(k * 7 % 200 - 100);
    std::memset(whole.s(), 20, 32);
    std::memset(split.s(), 20, 32);
    ASSERT_TRUE(whole.run());
    ASSERT_TRUE(split.run(1));
    EXPECT_EQ(split.state(), std::vector<int8_t>(32, 20));  // mode 1 only precomputes
    ASSERT_TRUE(split.run(2));
    EXPECT_EQ(split.state(), whole.state());
    EXPECT_TRUE(split.run(3));
    EXPECT_EQ(split.state(), whole.state());

    // Grouped scales are rebound to the layer's packed copy.
    const Tensor& ws = split.weights["ws"];
    EXPECT_TRUE(split.layer->packed);
    EXPECT_EQ(ws.f32(), split.layer->packedQuant);
    EXPECT_EQ(ws.w, 96u);
    EXPECT_EQ(ws.c, 2u);

    // A cleared state runs like a fresh layer.
    std::memset(whole.s(), 0, 32);
    for (int f = 0; f < 4; ++f) {
        ASSERT_TRUE(whole.run());
        ASSERT_TRUE(fresh.run());
        ASSERT_EQ(whole.state(), fresh.state()) << f;
    }
}

}  // namespace
