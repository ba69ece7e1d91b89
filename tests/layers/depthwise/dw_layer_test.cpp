// The depthwise layers driven as the net drives them: created through the
// registry from a record, weights bound in the stored order, an in-place
// LeakyRelu follower, prepare then forward on every dispatch level.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "impl_x86/depthwise/dw_run.h"
#include "impl_x86/depthwise/x86_depthwise_conv.h"
#include "tests/layers/depthwise/dw_reference.h"
#include "tests/support/layer_records.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/run_env.h"

namespace YNet {
namespace {

using dw::test::Vec;

using test_support::RecordBuilder;
using test_support::TestEnv;

struct Spec {
    const char* type;
    int rows, channels, group;
    int stride, dilation, pad;
    float biasShift = 0.0f;  // added to every bias value
};

// A five-tap layer along the rows of a (rows, 1, channels) input, with an
// in-place LeakyRelu (slope 0.01) after it.
struct Fixture {
    TensorMap blobs, weights;
    std::unique_ptr<Layer> layer, follower;
    dw::Geometry g;
    Vec in, w, bias;

    explicit Fixture(const Spec& s, std::mt19937& rng) {
        const int K = s.channels / s.group;
        const RecordBuilder r(s.type, {"x", "y"}, {1, 5, 0, 0, s.pad, s.pad, 1, s.stride, 0, s.dilation, s.group},
                              {"w", "b"});
        in = dw::test::randomVec(size_t(s.rows) * s.channels, rng);
        w = dw::test::randomVec(size_t(s.channels) * K * 5, rng);
        bias = dw::test::randomVec(s.channels, rng);
        for (float& b : bias) b += s.biasShift;
        fill(lookup(weights, "w"), s.channels, 5, 1, K, kNCHW, w);
        fill(lookup(weights, "b"), s.channels, 1, 1, 1, kNCHW, bias);
        fill(lookup(blobs, "x"), 1, s.rows, 1, s.channels, kNHWC, in);
        layer.reset(LayerRegistry::create(3, r, blobs, weights));
        follower.reset(LayerRegistry::create(3, test_support::inPlaceActivation(6, 0.01f, "y"), blobs, weights));
    }

    static void fill(Tensor& t, int n, int h, int w, int c, uint32_t layout, const Vec& v) {
        t.set(n, h, w, c, layout);
        std::copy(v.begin(), v.end(), t.floatData(layout));
    }

    bool run(bool halfPrecision = false) {
        TestEnv env;
        env.halfPrecision = halfPrecision;
        if (!layer->prepare(env)) return false;
        auto& conv = static_cast<core::Conv&>(*layer);
        g = depthwiseGeometry(conv, int(conv.group));
        return layer->forward(env);
    }

    const float* out() { return lookup(blobs, "y").f32(); }
};

const dw::Activation kLeaky{6, 0.01f};

TEST(DepthwiseLayers, NetworkShapesOnEveryLevel) {
    const Spec specs[] = {
        {"DepthwiseConv", 513, 12, 12, 2, 2, 4},  {"DepthwiseConv", 257, 64, 64, 2, 2, 4},
        {"DepthwiseConv", 33, 64, 64, 2, 2, 4},   {"DepthwiseConv", 65, 96, 96, 1, 1, 2},
        {"DepthwiseConv", 40, 20, 20, 2, 2, 4},   {"DepthwiseConv", 17, 6, 6, 2, 2, 4},
        {"DepthwiseConv", 30, 32, 4, 2, 1, 2},    {"DepthwiseConv", 30, 20, 20, 1, 1, 1},
    };
    std::mt19937 rng(3);
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (const Spec& s : specs) {
            Fixture f(s, rng);
            ASSERT_TRUE(dynamic_cast<x86::DepthwiseConv*>(f.layer.get()));
            testing::internal::CaptureStdout();
            ASSERT_TRUE(f.run()) << s.rows << " " << s.channels;
            testing::internal::GetCapturedStdout();
            const dw::Choice c = static_cast<x86::DepthwiseConv&>(*f.layer).selectKernel(TestEnv{});
            // Portable kernels leave the activation to the follower.
            const bool fused = c.path == dw::Path::Vector;
            EXPECT_EQ(f.follower->removed, fused);
            const Vec ref = dw::test::referenceConv(f.g, f.in, f.w, f.bias, fused ? kLeaky : dw::Activation{});
            dw::test::expectClose(ref, f.out(), (std::string(isaLevelName(level)) + " " + std::to_string(s.channels)).c_str());
        }
    }
}

TEST(DepthwiseLayers, SelectionFollowsShapeAndProcessor) {
    std::mt19937 rng(5);
    auto choice = [&](const Spec& s, bool half = false) {
        Fixture f(s, rng);
        TestEnv env;
        env.halfPrecision = half;
        f.layer->prepare(env);
        return static_cast<x86::DepthwiseConv&>(*f.layer).selectKernel(env);
    };
    const Spec hot12{"DepthwiseConv", 513, 12, 12, 2, 2, 4}, hot64{"DepthwiseConv", 257, 64, 64, 2, 2, 4};
    const Spec s1{"DepthwiseConv", 65, 96, 96, 1, 1, 2};
    if (CpuInfo::hardware().avx2() && CpuInfo::hardware().fma()) {
        ScopedCpuOverride guard(IsaLevel::Avx2Fma);
        dw::Choice c = choice(hot12);
        EXPECT_EQ(c.weightCode, 10u);
        EXPECT_FALSE(c.avx);
        c = choice(hot64);
        EXPECT_TRUE(c.avx);
        EXPECT_EQ(c.block, 16);
        EXPECT_EQ(c.weightCode, 9u);
        c = choice(s1);
        EXPECT_TRUE(c.avx);
        EXPECT_EQ(c.weightCode, 37u);
        c = choice(hot64, true);  // half precision: the SSE table
        EXPECT_FALSE(c.avx);
        EXPECT_EQ(c.weightCode, 11u);
    }
    ScopedCpuOverride guard(IsaLevel::Portable);
    EXPECT_EQ(choice({"DepthwiseConv", 17, 6, 6, 1, 1, 1}).path, dw::Path::Generic);
    EXPECT_EQ(choice({"DepthwiseConv", 17, 6, 6, 2, 2, 4}).path, dw::Path::Dilated);
    // Grouped layers meet the five-tap lines and the dilated kernel before
    // the grouped kernel (two outputs per group here).
    EXPECT_EQ(choice({"DepthwiseConv", 17, 8, 4, 1, 2, 1}).path, dw::Path::Dilated);
    const dw::Choice groupedS1 = choice({"DepthwiseConv", 17, 8, 4, 1, 1, 2});
    EXPECT_EQ(groupedS1.path, dw::Path::Vector);
    EXPECT_EQ(groupedS1.weightCode, 37u);
    EXPECT_EQ(choice({"DepthwiseConv", 17, 8, 4, 2, 2, 4}).weightCode, 11u);

    Fixture generic({"DepthwiseConv", 17, 6, 6, 1, 1, 1}, rng);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(generic.run());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "***simd dwise commone****\n");

    Fixture grouped({"DepthwiseConv", 9, 8, 4, 1, 1, 1}, rng);  // two outputs per group
    lookup(grouped.blobs, "y").floatData();
    EXPECT_FALSE(grouped.run());
}

TEST(DepthwiseLayers, TransposedUpsamplingMatchesScatterForm) {
    const Spec specs[] = {
        {"DepthwiseDeConv", 33, 64, 64, 2, 2, 4, -3.0f},
        {"DepthwiseDeConv", 129, 64, 64, 2, 2, 4},
        {"DepthwiseDeConv", 20, 12, 12, 2, 2, 4, -3.0f},
        {"DepthwiseDeConv", 20, 12, 12, 2, 2, 3},
        {"DepthwiseDeConv", 7, 6, 6, 2, 2, 4},
        {"DepthwiseDeConv", 7, 6, 6, 3, 1, 1},
    };
    std::mt19937 rng(9);
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (const Spec& s : specs) {
            Fixture f(s, rng);
            ASSERT_TRUE(dynamic_cast<simd::DepthwiseDeConv*>(f.layer.get()));
            ASSERT_TRUE(f.run());
            EXPECT_TRUE(f.follower->removed);
            EXPECT_EQ(int(lookup(f.blobs, "y").h), (s.rows - 1) * s.stride + 4 * s.dilation - 2 * s.pad + 1);
            const Vec ref = dw::test::referenceDeconvScatter(f.g, f.in, f.w, f.bias, kLeaky);
            dw::test::expectClose(ref, f.out(), (std::string(isaLevelName(level)) + " " + std::to_string(s.rows)).c_str());
            if (s.pad == 4 && s.stride == 2) {  // odd rows: the activated bias alone
                EXPECT_FLOAT_EQ(f.out()[s.channels + 1], f.bias[1] < 0 ? 0.01f * f.bias[1] : f.bias[1]);
            }
        }
    }
    Fixture bad({"DepthwiseDeConv", 9, 8, 4, 2, 2, 4}, rng);
    EXPECT_FALSE(bad.run());
}

}  // namespace
}  // namespace YNet
