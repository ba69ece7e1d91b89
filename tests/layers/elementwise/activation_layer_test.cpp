#include <gtest/gtest.h>

#include <cmath>

#include "impl_x86/activation/x86_activation.h"
#include "tests/layers/elementwise/test_util.h"
#include "ynet/cpu_info.h"

namespace {

using namespace YNet;
using test_support::RecordBuilder;
using test_support::uniformFloats;

TEST(ActivationLayer, RegistryClassesKindWordsAndSelfLinking) {
    Net net(new x86::RunEnv);
    RecordBuilder leaky("LeakyRelu", {"x", "y"}, {6});
    leaky.floatWord(16, 0.01f);
    auto* l = dynamic_cast<simd::Activation*>(elemtest::addLayer(net, leaky));
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(dynamic_cast<x86::Activation*>(l), nullptr);
    EXPECT_EQ(l->kind, 6u);
    EXPECT_FLOAT_EQ(l->beta, 0.01f);
    EXPECT_FLOAT_EQ(l->alpha, 0.01f);
    EXPECT_EQ(net.blobs["y"].producer, l);
    ASSERT_EQ(net.blobs["x"].consumers.size(), 1u);
    EXPECT_EQ(net.blobs["x"].consumers[0], l);
    for (const char* t : {"Relu", "PRelu"}) {
        Layer* r = elemtest::addLayer(net, RecordBuilder(t, {"y", "z"}, {1}));
        EXPECT_NE(dynamic_cast<x86::Activation*>(r), nullptr) << t;
    }
    for (const char* t : {"Activation", "HardSigmoid", "HardSwish", "Sigmoid", "Swish"})
        EXPECT_NE(LayerRegistry::find(3, t), nullptr) << t;
    // An in-place record becomes a follower of the tensor's producer.
    Layer* inPlace = elemtest::addLayer(net, RecordBuilder("Sigmoid", {"y", "y"}, {5}));
    ASSERT_EQ(l->followers.size(), 1u);
    EXPECT_EQ(l->followers[0], inPlace);
}

TEST(ActivationLayer, ForwardOnEveryLevelAndSkipOfFusedFollower) {
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (uint32_t kind : {5u, 6u, 7u}) {
            for (const char* type : {"Sigmoid", "Relu"}) {
                Net net(new x86::RunEnv);
                RecordBuilder r(type, {"x", "y"}, {int32_t(kind)});
                r.floatWord(16, 0.25f);
                Layer* l = elemtest::addLayer(net, r);
                const auto x = uniformFloats(3 * 5 * 13, kind, -4, 4);
                elemtest::fill(net.blobs["x"], 1, 3, 5, 13, x);
                ASSERT_TRUE(l->reshape());
                ASSERT_TRUE(l->forward(*net.env));
                const auto y = elemtest::contents(net.blobs["y"]);
                for (size_t i = 0; i < x.size(); ++i) {
                    const double s = 1 / (1 + std::exp(-double(x[i])));
                    const double ref = kind == 5 ? s : kind == 7 ? x[i] * s
                                                                 : (x[i] > 0 ? x[i] : 0.25 * x[i]);
                    ASSERT_NEAR(y[i], ref, 5e-4 * std::fabs(ref) + 1e-6)
                        << isaLevelName(level) << " " << type << " kind " << kind;
                }
            }
        }
    }
    // A producer already applied an in-place follower: forward only clears skip.
    Net net(new x86::RunEnv);
    Layer* l = elemtest::addLayer(net, RecordBuilder("Sigmoid", {"x", "x"}, {5}));
    elemtest::fill(net.blobs["x"], 1, 1, 1, 4, {1, 2, 3, 4});
    l->skip = true;
    EXPECT_TRUE(l->forward(*net.env));
    EXPECT_FALSE(l->skip);
    EXPECT_EQ(elemtest::contents(net.blobs["x"]), (std::vector<float>{1, 2, 3, 4}));
}

}  // namespace
