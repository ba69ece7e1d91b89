// The GRU layer driven as the Net drives it: created from a record through
// the registry, reshaped, then run frame after frame with its state tensor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "impl_x86/gru/x86_gru.h"
#include "tests/layers/gru/gru_reference.h"
#include "tests/support/layer_records.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/run_env.h"

namespace {

using namespace YNet;
using gru_test::Weights;

using test_support::RecordBuilder;
using test_support::TestEnv;
using test_support::uniformFloats;

struct Params {
    int sequenceOutput = 1, hardSigmoid = 0, linearBeforeReset = 1;
};

void fill(Tensor& t, const std::vector<float>& v) {
    float* d = t.f32() ? t.f32() : t.floatData(t.layout);
    std::copy(v.begin(), v.end(), d);
}

// One GRU layer with blobs (x, y, s) and weights (W, R, B) bound from `w`;
// `extraWeights` names more leading entries of the weight list.
struct GruLayer {
    TensorMap blobs, weights;
    std::unique_ptr<x86::GRU> layer;
    int T;

    GruLayer(const Weights& w, int steps, Params p = {}, int extraWeights = 0) : T(steps) {
        static const char* names[] = {"q0", "q1", "q2", "q3", "W", "R", "B"};
        const char** first = names + 4 - extraWeights;
        const RecordBuilder rec("GRU", {"x", "y", "s"}, {w.H, p.sequenceOutput, p.hardSigmoid, p.linearBeforeReset},
                                {first, first + 3 + extraWeights});
        for (int i = 0; i < 3 + extraWeights; ++i) lookup(weights, first[i]).set(1, 1, 1, 1, kNCHW);
        lookup(weights, "W").set(1, 1, 3 * w.H, w.I, kNCHW);
        lookup(weights, "R").set(1, 1, 3 * w.H, w.H, kNCHW);
        lookup(weights, "B").set(1, 1, 1, 6 * w.H, kNCHW);
        fill(weights["W"], w.W);
        fill(weights["R"], w.R);
        fill(weights["B"], w.B);
        lookup(blobs, "x").set(1, uint32_t(steps), 1, uint32_t(w.I), kNHWC);
        layer.reset(static_cast<x86::GRU*>(LayerRegistry::create(3, rec, blobs, weights)));
        TestEnv env;
        layer->prepare(env);
    }
    Tensor& x() { return blobs["x"]; }
    Tensor& y() { return blobs["y"]; }
    Tensor& s() { return blobs["s"]; }
    std::vector<float> state() { return {s().f32(), s().f32() + layer->hiddenSize}; }
    bool run(const std::vector<float>& input, uint32_t mode = 0) {
        fill(x(), input);
        TestEnv env;
        env.stepMode = mode;
        return layer->forward(env);
    }
};

TEST(GruLayer, RecordBindingAndShapes) {
    const Weights w = gru_test::randomWeights(1056, 128, 1);
    GruLayer g(w, 1);
    EXPECT_EQ(g.layer->shapeKey, "1x128");
    EXPECT_EQ(g.layer->quantMode, 0u);
    ASSERT_EQ(g.layer->inputs.size(), 2u);
    EXPECT_EQ(g.layer->inputs[1], &g.s());
    EXPECT_EQ(g.s().producer, g.layer.get());
    EXPECT_NE(std::find(g.s().consumers.begin(), g.s().consumers.end(), g.layer.get()),
              g.s().consumers.end());
    EXPECT_EQ(g.layer->W, &g.weights["W"]);
    EXPECT_EQ(g.layer->B, &g.weights["B"]);
    EXPECT_EQ(g.y().w * g.y().c, 128u);
    EXPECT_EQ(g.s().count, 128u);
    GruLayer seq(gru_test::randomWeights(64, 128, 2), 12);
    EXPECT_EQ(seq.y().w, 12u);
    EXPECT_EQ(seq.y().count, 12u * 128);
    EXPECT_EQ(seq.s().c, 128u);
    EXPECT_EQ(seq.layer->shapeKey, "12x128");

    const Weights small = gru_test::randomWeights(8, 8, 3);
    GruLayer q5(small, 1, {}, 2);
    EXPECT_EQ(q5.layer->quantMode, 1u);
    EXPECT_EQ(q5.layer->wScales, &q5.weights["q2"]);
    EXPECT_EQ(q5.layer->W, &q5.weights["W"]);
    GruLayer q7(small, 1, {}, 4);
    EXPECT_EQ(q7.layer->xQuant, &q7.weights["q0"]);
    EXPECT_EQ(q7.layer->rScales, &q7.weights["q3"]);
    fill(q7.s(), std::vector<float>(8, 0.25f));
    EXPECT_FALSE(q7.run(std::vector<float>(8, 1.0f)));  // float weights only
    EXPECT_EQ(q7.state(), std::vector<float>(8, 0.25f));
}

// Frames of one step each: the state must carry from run to run.
void checkFrames(const Weights& w, Params p, int frames, const char* what) {
    GruLayer g(w, 1, p);
    std::vector<double> ref(w.H, 0.0);
    double err = 0;
    for (int f = 0; f < frames; ++f) {
        const std::vector<float> x = uniformFloats(w.I, 100 + f);
        ASSERT_TRUE(g.run(x));
        gru_test::refStep(w, p.hardSigmoid, p.linearBeforeReset, x.data(), ref);
        for (int j = 0; j < w.H; ++j) {
            err = std::max(err, std::fabs(g.state()[j] - ref[j]));
            ASSERT_EQ(g.y().f32()[j], g.state()[j]);
        }
    }
    EXPECT_LT(err, 2e-5) << what << " I " << w.I << " H " << w.H;
}

// One run over a T-step sequence.
void checkSequence(const Weights& w, Params p, int T, const char* what) {
    GruLayer g(w, T, p);
    const std::vector<float> h0 = uniformFloats(w.H, 5, -0.5f, 0.5f);
    fill(g.s(), h0);
    const std::vector<float> xs = uniformFloats(size_t(T) * w.I, 6);
    ASSERT_TRUE(g.run(xs));
    std::vector<double> ref(h0.begin(), h0.end());
    for (int t = 0; t < T; ++t) {
        gru_test::refStep(w, p.hardSigmoid, p.linearBeforeReset, xs.data() + size_t(t) * w.I, ref);
        const float* y = g.y().f32() + (p.sequenceOutput ? size_t(t) * w.H : 0);
        if (!p.sequenceOutput && t + 1 < T) continue;
        for (int j = 0; j < w.H; ++j) ASSERT_NEAR(y[j], ref[j], 2e-5) << what << " t " << t;
    }
}

TEST(GruLayer, EveryDispatchPathAgainstReference) {
    const Weights big = gru_test::randomWeights(1056, 128, 7, 0.05f);
    const Weights rec = gru_test::randomWeights(128, 128, 8, 0.15f);
    const Weights h12 = gru_test::randomWeights(40, 12, 9);
    const Weights h10 = gru_test::randomWeights(17, 10, 10);
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        const char* name = isaLevelName(level);
        checkFrames(big, {}, 50, name);
        checkFrames(rec, {}, 50, name);
        checkFrames(h12, {1, 1, 0}, 50, name);
        checkFrames(h10, {1, 0, 0}, 50, name);
        checkSequence(rec, {}, 3, name);
        checkSequence(h12, {1, 1, 1}, 12, name);
        checkSequence(h10, {0, 0, 1}, 50, name);
        checkSequence(big, {0, 0, 0}, 1, name);
    }
}

TEST(GruLayer, PackedWeightsReplaceTheSourceTensors) {
    const CpuInfo& cpu = CpuInfo::hardware();
    if (!(cpu.avx() && cpu.fma())) GTEST_SKIP() << "no AVX+FMA";
    GruLayer g(gru_test::randomWeights(40, 16, 11), 1);
    const Tensor& W = g.weights["W"];
    ASSERT_TRUE(g.run(uniformFloats(40, 1)));
    EXPECT_TRUE(g.layer->packed);
    EXPECT_EQ(W.f32(), g.layer->packedW);
    EXPECT_TRUE(W.notOwned[kFloat]);
    EXPECT_EQ(W.w, 48u);
    EXPECT_EQ(W.c, 40u);
    EXPECT_EQ(W.count, 48u * 40);
    EXPECT_EQ(g.weights["R"].f32(), g.layer->packedR);

    // Which shapes pack: T = 1 with H a multiple of 4; never below AVX+FMA.
    struct Case { int H, T; bool packs; };
    for (Case c : {Case{12, 1, true}, Case{10, 1, false}, Case{16, 3, false}}) {
        GruLayer other(gru_test::randomWeights(9, c.H, 18), c.T);
        ASSERT_TRUE(other.run(uniformFloats(size_t(9) * c.T, 2)));
        EXPECT_EQ(other.layer->packed, c.packs) << c.H << " " << c.T;
    }
    // AVX and FMA are enough (no AVX2); AVX alone is not.
    for (IsaLevel level : {IsaLevel::Avx, IsaLevel::AvxFma}) {
        ScopedCpuOverride guard(level);
        GruLayer tier(gru_test::randomWeights(9, 16, 19), 1);
        ASSERT_TRUE(tier.run(uniformFloats(9, 3)));
        EXPECT_EQ(tier.layer->packed, level == IsaLevel::AvxFma) << isaLevelName(level);
    }
}

TEST(GruLayer, StepModes) {
    const Weights w = gru_test::randomWeights(40, 16, 12);
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (int lbr : {1, 0}) {
            GruLayer whole(w, 1, {1, 0, lbr}), split(w, 1, {1, 0, lbr});
            const std::vector<float> h0 = uniformFloats(16, 13);
            const std::vector<float> x = uniformFloats(40, 14);
            fill(whole.s(), h0);
            fill(split.s(), h0);
            ASSERT_TRUE(whole.run(x));
            ASSERT_TRUE(split.run(x, 1));
            EXPECT_EQ(split.state(), h0);  // mode 1 only precomputes
            ASSERT_TRUE(split.run(x, 2));
            EXPECT_EQ(split.state(), whole.state()) << isaLevelName(level) << " lbr " << lbr;
            const std::vector<float> before = split.state();
            const float y0 = split.y().f32()[0];
            EXPECT_TRUE(split.run(x, 3));
            EXPECT_EQ(split.state(), before);
            EXPECT_EQ(split.y().f32()[0], y0);
        }
    }
}

TEST(GruLayer, StateCarriesAndResets) {
    const Weights w = gru_test::randomWeights(128, 128, 15);
    GruLayer used(w, 1), fresh(w, 1);
    const std::vector<float> x = uniformFloats(128, 16);
    ASSERT_TRUE(used.run(x));
    const std::vector<float> first = used.state();
    ASSERT_TRUE(used.run(x));
    EXPECT_NE(used.state(), first);  // the second run starts from the first's state
    fill(used.s(), std::vector<float>(128, 0.0f));
    for (int f = 0; f < 5; ++f) {
        const std::vector<float> xf = uniformFloats(128, 40 + f);
        ASSERT_TRUE(used.run(xf));
        ASSERT_TRUE(fresh.run(xf));
        ASSERT_EQ(used.state(), fresh.state()) << f;
        ASSERT_EQ(0, std::memcmp(used.y().f32(), fresh.y().f32(), 128 * sizeof(float)));
    }
}

TEST(GruLayer, ZeroInputsStateAndBiasesGiveZero) {
    Weights w = gru_test::randomWeights(24, 8, 17);
    std::fill(w.B.begin(), w.B.end(), 0.0f);
    GruLayer g(w, 1);
    ASSERT_TRUE(g.run(std::vector<float>(24, 0.0f)));
    EXPECT_EQ(g.state(), std::vector<float>(8, 0.0f));
    for (int j = 0; j < 16; ++j) EXPECT_EQ(g.layer->gates[j], 0.5f);
}

}  // namespace
