#include <gtest/gtest.h>

#include <cmath>

#include "impl_x86/binary_op/binary_kernels.h"
#include "tests/layers/elementwise/test_util.h"
#include "ynet/cpu_info.h"
#include "ynet/layers/activation/activation.h"
#include "ynet/layers/binary_op/binary_op.h"

namespace {

using namespace YNet;
using test_support::RecordBuilder;
using test_support::uniformFloats;

float refOp(uint32_t op, uint32_t kind, float p, float a, float b) {
    float r = op == 0 ? a + b : op == 1 ? a - b : a * b;
    if (op == 2) return r;
    if (kind == 1 || kind == 2) r = r < 0 ? 0 : r;
    if (kind == 2 && r > p) r = p;
    if (kind == 6 && r < 0) r *= p;
    return r;
}

TEST(BinaryKernels, FlatVariantsMatchReferenceWithActivationsAndAliasing) {
    std::vector<std::pair<const char*, int>> kernels = {{"A12", 0}, {"A8", 1}, {"A4", 2}};
    if (CpuInfo::hardware().avx2() && CpuInfo::hardware().fma()) kernels.push_back({"avx2", 3});
    const binary::SseKernel sse[] = {binary::SseKernel::A12, binary::SseKernel::A8,
                                     binary::SseKernel::A4};
    for (auto [name, k] : kernels) {
        const auto run = [k = k, &sse](uint32_t op, act::Fused f, const float* a, const float* b,
                                       float* y, size_t n) {
            return k == 3 ? binary::flatAvx2(op, f, a, b, y, n)
                          : binary::flatSse(sse[k], op, f, a, b, y, n);
        };
        for (uint32_t op = 0; op < 3; ++op) {
            for (uint32_t kind : {0u, 1u, 2u, 6u}) {
                const act::Fused f{kind, 0.75f};
                for (size_t n : {1u, 3u, 5u, 15u, 19u, 33u, 47u, 99u}) {
                    const auto a = uniformFloats(n, unsigned(n + op), -4, 4);
                    const auto b = uniformFloats(n, unsigned(n * 7 + kind), -4, 4);
                    std::vector<float> y(n), inA = a, inB = b;
                    ASSERT_TRUE(run(op, f, a.data(), b.data(), y.data(), n));
                    ASSERT_TRUE(run(op, f, inA.data(), b.data(), inA.data(), n));
                    ASSERT_TRUE(run(op, f, a.data(), inB.data(), inB.data(), n));
                    for (size_t i = 0; i < n; ++i) {
                        const float ref = refOp(op, kind, 0.75f, a[i], b[i]);
                        ASSERT_FLOAT_EQ(y[i], ref) << name << " op " << op << " kind " << kind;
                        ASSERT_EQ(inA[i], y[i]);
                        ASSERT_EQ(inB[i], y[i]);
                    }
                }
            }
        }
        float v = 1;
        EXPECT_FALSE(run(3, act::Fused{}, &v, &v, &v, 1)) << name;
    }
}

struct AddNet {
    Net net{new x86::RunEnv};
    Layer* add;
    simd::Activation* leaky;
    AddNet(const char* type, uint32_t c, uint32_t bh = 33) {
        add = elemtest::addLayer(net, RecordBuilder(type, {"a", "b", "s"}));
        RecordBuilder r("LeakyRelu", {"s", "s"}, {6});
        r.floatWord(16, 0.01f);
        leaky = dynamic_cast<simd::Activation*>(elemtest::addLayer(net, r));
        elemtest::fill(net.blobs["a"], 1, 33, 1, c, uniformFloats(33 * c, 1, -4, 4));
        elemtest::fill(net.blobs["b"], 1, bh, 1, c, uniformFloats(bh * c, 2, -4, 4));
        add->reshape();
    }
    std::vector<float> a() { return elemtest::contents(net.blobs["a"]); }
    std::vector<float> b() { return elemtest::contents(net.blobs["b"]); }
};

TEST(BinaryOpLayer, AddFusesLeakyFollowerOnEveryLevelMulDoesNot) {
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (uint32_t c : {64u, 96u, 20u, 7u}) {
            AddNet t("Add", c);
            ASSERT_TRUE(t.add->forward(*t.net.env)) << isaLevelName(level) << " c " << c;
            EXPECT_TRUE(t.leaky->skip);
            const auto s = elemtest::contents(t.net.blobs["s"]);
            const auto a = t.a(), b = t.b();
            for (size_t i = 0; i < s.size(); ++i) ASSERT_FLOAT_EQ(s[i], refOp(0, 6, 0.01f, a[i], b[i]));
            AddNet m("Mul", c);
            ASSERT_TRUE(m.add->forward(*m.net.env));
            EXPECT_FALSE(m.leaky->skip);
            const auto p = elemtest::contents(m.net.blobs["s"]);
            const auto ma = m.a(), mb = m.b();
            for (size_t i = 0; i < p.size(); ++i) ASSERT_FLOAT_EQ(p[i], ma[i] * mb[i]);
        }
    }
}

TEST(BinaryOpLayer, TypeOverridesFuseReluAndConstantOperand) {
    Net net(new x86::RunEnv);
    elemtest::fill(net.weights["k"], 1, 1, 1, 5, {1, 1, 1, 1, 1});
    Layer* sub = elemtest::addLayer(net, RecordBuilder("Sub", {"a", "s"}, {0, 1}, {"k"}));
    auto* op = dynamic_cast<simd::BinaryOp*>(sub);
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->op, 1u);
    EXPECT_EQ(op->fuseRelu, 1u);
    ASSERT_EQ(sub->inputs.size(), 2u);
    EXPECT_EQ(sub->inputs[1], &net.weights["k"]);
    elemtest::fill(net.blobs["a"], 1, 1, 1, 5, {3, 0.5f, -2, 1, 4});
    ASSERT_TRUE(sub->reshape());
    ASSERT_TRUE(sub->forward(*net.env));
    EXPECT_EQ(elemtest::contents(net.blobs["s"]), (std::vector<float>{2, 0, 0, 0, 3}));
}

TEST(BinaryOpLayer, BroadcastOnlyOnReferencePath) {
    AddNet t("Add", 64, 1);
    EXPECT_EQ(t.net.blobs["s"].h, 33u);
    EXPECT_FALSE(t.add->forward(*t.net.env));  // flat kernels need equal shapes
    t.net.env->halfPrecision = true;
    ASSERT_TRUE(t.add->forward(*t.net.env));
    EXPECT_FALSE(t.leaky->skip);  // the reference loop fuses nothing
    const auto s = elemtest::contents(t.net.blobs["s"]);
    const auto a = t.a(), b = t.b();
    for (size_t i = 0; i < 33; ++i)
        for (size_t k = 0; k < 64; ++k) ASSERT_FLOAT_EQ(s[i * 64 + k], a[i * 64 + k] + b[k]);
}

TEST(BinaryOpLayer, QuantizedAdd) {
    Net net(new x86::RunEnv);
    // Per blob a scale tensor and a zero-point tensor: a, b, then the output.
    const char* q[6] = {"sa", "za", "sb", "zb", "so", "zo"};
    const float scale[3] = {0.5f, 0.25f, 0.1f};
    const int32_t zero[3] = {10, 20, 5};
    for (int i = 0; i < 3; ++i) {
        elemtest::fill(net.weights[q[2 * i]], 1, 1, 1, 1, {scale[i]});
        Tensor& z = net.weights[q[2 * i + 1]];
        z.set(1, 1, 1, 1, 0);
        z.data[kS32] = alignedAlloc(4);
        z.s32()[0] = zero[i];
    }
    Layer* add =
        elemtest::addLayer(net, RecordBuilder("Add", {"a", "b", "s"}, {}, {q[0], q[1], q[2], q[3], q[4], q[5]}));
    ASSERT_EQ(add->quantMode, 2u);
    uint8_t av[3] = {10, 200, 0}, bv[3] = {20, 255, 0};
    for (auto [name, v] : {std::pair<const char*, uint8_t*>{"a", av}, {"b", bv}}) {
        Tensor& t = net.blobs[name];
        t.set(1, 1, 1, 3, 0);
        t.data[kU8] = alignedAlloc(3);
        std::memcpy(t.u8(), v, 3);
    }
    ASSERT_TRUE(add->reshape());
    ASSERT_TRUE(add->forward(*net.env));
    // (190*0.5 + 235*0.25)/0.1 + 5 = 1542.5 -> 255; (-10*0.5 - 20*0.25)/0.1 + 5 = -95 -> 0.
    const uint8_t* s = net.blobs["s"].u8();
    EXPECT_EQ(s[0], 5);
    EXPECT_EQ(s[1], 255);
    EXPECT_EQ(s[2], 0);
}

}  // namespace
