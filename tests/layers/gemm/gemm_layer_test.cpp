// The layer driven as the net drives it: created from a record through the
// registry, reshaped, run on every ISA tier this machine has.
#include <cstring>
#include <memory>

#include "impl_x86/gemm/gemm_kernels.h"
#include "impl_x86/gemm/x86_gemm.h"
#include "tests/layers/gemm/gemm_test_util.h"
#include "tests/support/layer_records.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/run_env.h"

using namespace YNet;
using namespace gemmtest;
using test_support::RecordBuilder;
using test_support::TestEnv;
using test_support::uniformFloats;

namespace {

template <class T>
T* fill(Tensor& t, uint32_t n, uint32_t h, uint32_t w, uint32_t c, uint32_t layout,
        const std::vector<T>& values, int rep) {
    t.set(n, h, w, c, layout);
    t.data[rep] = alignedAlloc(values.size() * sizeof(T));
    std::memcpy(t.data[rep], values.data(), values.size() * sizeof(T));
    return static_cast<T*>(t.data[rep]);
}

// One layer with its tensors: input "a", output "y", weights as named.
struct LayerUnderTest {
    TensorMap blobs, weights;
    RecordBuilder record;
    std::unique_ptr<Layer> layer;

    LayerUnderTest(const char* type, const std::vector<std::string>& weightNames, int transA = 0,
                   int transB = 0, int floatOutput = 0)
        : record(type, {"a", "y"}, {transA, transB, floatOutput}, weightNames) {
        for (const std::string& name : weightNames) lookup(weights, name);
    }
    Tensor& a() { return lookup(blobs, "a"); }
    Tensor& y() { return lookup(blobs, "y"); }
    Tensor& w(const char* name) { return weights.at(name); }
    bool create() {
        layer.reset(LayerRegistry::create(3, record, blobs, weights));
        return layer && layer->reshape();
    }
};

enum class Path { Fp32, Bf16Wide, Bf16Narrow };

// The weight precision the x86 row-vector dispatch uses on this tier.
Path rowVectorPath(IsaLevel level, int K) {
    if (level >= IsaLevel::AvxFma && K % 16 == 0) return Path::Fp32;
    return level == IsaLevel::Avx2Fma ? Path::Bf16Wide : Path::Bf16Narrow;
}

float asStored(Path p, float v) {
    if (p == Path::Bf16Wide) return gemm::bf16ToFloat(gemm::bf16Truncate(v));
    if (p == Path::Bf16Narrow) return gemm::bf16ToFloat(gemm::bf16RoundNearest(v));
    return v;
}

// 1xK times KxN (NCHW weight) plus bias, run twice through "MatMul".
void checkDense(IsaLevel level, int K, int N) {
    SCOPED_TRACE(std::string(isaLevelName(level)) + " K" + std::to_string(K) + " N" +
                 std::to_string(N));
    LayerUnderTest s("MatMul", {"B", "bias"});
    const auto x = uniformFloats(K, 30), B = uniformFloats(size_t(K) * N, 31),
               bias = uniformFloats(N, 32);
    fill(s.a(), 1, 1, 1, uint32_t(K), kNHWC, x, kFloat);
    float* src = fill(s.w("B"), 1, uint32_t(K), uint32_t(N), 1, kNCHW, B, kFloat);
    fill(s.w("bias"), 1, 1, uint32_t(N), 1, kNCHW, bias, kFloat);
    ASSERT_TRUE(s.create());
    EXPECT_EQ(s.y().n, 1u);
    EXPECT_EQ(s.y().w, 1u);
    EXPECT_EQ(s.y().c, uint32_t(N));
    TestEnv env;
    ASSERT_TRUE(s.layer->forward(env));
    auto* g = static_cast<x86::Gemm*>(s.layer.get());
    const void* packed = g->packedWeights;
    ASSERT_NE(packed, nullptr);
    const Path path = rowVectorPath(level, K);
    if (path == Path::Fp32) {
        EXPECT_EQ(s.w("B").f32(), packed);  // weight rebound to the packed copy
        EXPECT_EQ(s.w("B").c, uint32_t(K));
    } else {
        std::fill(src, src + size_t(K) * N, 99.f);  // a repack would pick this up
    }
    s.y().f32()[0] = -5.f;
    ASSERT_TRUE(s.layer->forward(env));
    EXPECT_EQ(g->packedWeights, packed);
    const float* y = s.y().f32();
    for (int n = 0; n < N; ++n)
        expectNear(
            referenceDot(
                K, bias[n],
                [&](int k) { return std::make_pair(x[k], asStored(path, B[size_t(k) * N + n])); }),
            y[n], "dense", n);
}

}  // namespace

TEST(GemmLayer, HeadAndBottleneckProductsOnEveryTier) {
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        checkDense(level, 128, 1056);
        checkDense(level, 257, 513);
        checkDense(level, 513, 513);
        checkDense(level, 16, 6);  // fp32 path with two tail columns
    }
}

TEST(GemmLayer, MixingProductWritesTransposed) {
    for (const char* type : {"MatMul", "Gemm"})
        for (IsaLevel level : CpuInfo::supportedLevels()) {
            ScopedCpuOverride guard(level);
            SCOPED_TRACE(std::string(type) + " " + isaLevelName(level));
            LayerUnderTest s(type, {"B"}, 1);
            // A: 33 rows of 64 (rows x cols), B: 33x33.
            const auto A = uniformFloats(33 * 64, 33), B = uniformFloats(33 * 33, 34);
            fill(s.a(), 1, 1, 33, 64, kNHWC, A, kFloat);
            fill(s.w("B"), 1, 33, 33, 1, kNCHW, B, kFloat);
            ASSERT_TRUE(s.create());
            EXPECT_EQ(s.y().w, 64u);
            EXPECT_EQ(s.y().c, 33u);
            TestEnv env;
            ASSERT_TRUE(s.layer->forward(env));
            const float* y = s.y().f32();
            for (int m = 0; m < 64; ++m)
                for (int n = 0; n < 33; ++n)
                    expectNear(referenceDot(33, 0,
                                            [&](int k) {
                                                return std::make_pair(A[k * 64 + m], B[k * 33 + n]);
                                            }),
                               y[n * 64 + m], "mixing", n * 64 + m);
        }
}

TEST(GemmLayer, GenericShapesBiasAndRefusals) {
    TestEnv env;
    {  // N = 1: five rows of A dotted with B, bias per row, output one row.
        LayerUnderTest s("Gemm", {"B", "bias"});
        const auto A = uniformFloats(5 * 7, 35), B = uniformFloats(7, 36), bias = uniformFloats(5, 37);
        fill(s.a(), 1, 1, 5, 7, kNHWC, A, kFloat);
        fill(s.w("B"), 1, 7, 1, 1, kNCHW, B, kFloat);
        fill(s.w("bias"), 1, 1, 5, 1, kNCHW, bias, kFloat);
        ASSERT_TRUE(s.create());
        EXPECT_EQ(s.y().w, 1u);
        EXPECT_EQ(s.y().c, 5u);
        ASSERT_TRUE(s.layer->forward(env));
        for (int r = 0; r < 5; ++r)
            expectNear(
                referenceDot(7, bias[r], [&](int k) { return std::make_pair(A[r * 7 + k], B[k]); }),
                s.y().f32()[r], "matVec", r);
    }
    {  // M = 3, N = 10 with a full 3x10 bias; then transB is refused.
        LayerUnderTest s("MatMul", {"B", "bias"});
        const auto A = uniformFloats(3 * 9, 38), B = uniformFloats(9 * 10, 39),
                   bias = uniformFloats(30, 40);
        fill(s.a(), 1, 1, 3, 9, kNHWC, A, kFloat);
        fill(s.w("B"), 1, 9, 10, 1, kNCHW, B, kFloat);
        fill(s.w("bias"), 1, 3, 10, 1, kNCHW, bias, kFloat);
        ASSERT_TRUE(s.create());
        ASSERT_TRUE(s.layer->forward(env));
        for (int m = 0; m < 3; ++m)
            for (int n = 0; n < 10; ++n)
                expectNear(referenceDot(
                               9, bias[m * 10 + n],
                               [&](int k) { return std::make_pair(A[m * 9 + k], B[k * 10 + n]); }),
                           s.y().f32()[m * 10 + n], "general", m * 10 + n);
        static_cast<core::Gemm*>(s.layer.get())->transB = 1;
        EXPECT_FALSE(s.layer->forward(env));
        env.halfPrecision = true;
        static_cast<core::Gemm*>(s.layer.get())->transB = 0;
        EXPECT_FALSE(s.layer->forward(env));  // the generic family refuses half precision
        env.halfPrecision = false;
    }
    {  // M = 1 with transB: B is N x K.
        LayerUnderTest s("MatMul", {"B"}, 0, 1);
        const auto x = uniformFloats(6, 41), B = uniformFloats(4 * 6, 42);
        fill(s.a(), 1, 1, 1, 6, kNHWC, x, kFloat);
        fill(s.w("B"), 1, 4, 6, 1, kNCHW, B, kFloat);
        ASSERT_TRUE(s.create());
        EXPECT_EQ(s.y().c, 4u);
        ASSERT_TRUE(s.layer->forward(env));
        for (int n = 0; n < 4; ++n)
            expectNear(
                referenceDot(6, 0, [&](int k) { return std::make_pair(x[k], B[n * 6 + k]); }),
                s.y().f32()[n], "transB", n);
    }
    {  // B with no columns and M >= 2 is refused by the shape step.
        LayerUnderTest s("MatMul", {"B"});
        fill(s.a(), 1, 1, 3, 4, kNHWC, uniformFloats(12, 43), kFloat);
        fill(s.w("B"), 1, 4, 0, 1, kNCHW, std::vector<float>(1), kFloat);
        EXPECT_FALSE(s.create());
    }
}

TEST(GemmLayer, QuantizedProducts) {
    // Weight names: input scale, output scale, weight scales, B, bias.
    const int K = 64, N = 64;
    const auto a8 = randomInts<int8_t>(K, -127, 127, 50);
    const auto a16 = randomInts<int16_t>(K, -30000, 30000, 51);
    const auto w = randomInts<int8_t>(size_t(K) * N, -127, 127, 52);
    const auto ws = uniformFloats(N, 53), fbias = uniformFloats(N, 54);
    const auto ibias = randomInts<int32_t>(N, -500, 500, 55);
    const float is = 0.02f, os = 0.5f;
    for (IsaLevel level : CpuInfo::supportedLevels())
        for (int floatOut : {1, 0})
            for (bool wide : {false, true}) {
                SCOPED_TRACE(std::string(isaLevelName(level)) + (floatOut ? " float" : " int8") +
                             (wide ? " s16" : " s8"));
                ScopedCpuOverride guard(level);
                LayerUnderTest s("MatMul", {"is", "os", "ws", "B", "bias"}, 0, 0, floatOut);
                s.a().set(1, 1, 1, K, kNHWC);
                if (wide)
                    fill(s.a(), 1, 1, 1, K, kNHWC, a16, kS16);
                else
                    fill(s.a(), 1, 1, 1, K, kNHWC, a8, kS8);
                fill(s.w("is"), 1, 1, 1, 1, kNHWC, std::vector<float>{is}, kFloat);
                fill(s.w("os"), 1, 1, 1, 1, kNHWC, std::vector<float>{os}, kFloat);
                fill(s.w("ws"), 1, 1, 1, N, kNHWC, ws, kFloat);
                fill(s.w("B"), 1, K, N, 1, kNCHW, w, kS8);
                fill(s.w("bias"), 1, 1, N, 1, kNCHW, fbias, kFloat);
                fill(s.w("bias"), 1, 1, N, 1, kNCHW, ibias, kS32);
                ASSERT_TRUE(s.create());
                EXPECT_EQ(s.layer->quantMode, 1u);
                TestEnv env;
                const bool expectRun = level != IsaLevel::Portable;
                ASSERT_EQ(s.layer->forward(env), expectRun);
                if (!expectRun) continue;
                ASSERT_TRUE(s.layer->forward(env));  // twice: scales fold only once
                for (int n = 0; n < N; ++n) {
                    int64_t sum = 0;
                    for (int k = 0; k < K; ++k)
                        sum += int64_t(wide ? a16[k] : a8[k]) * w[size_t(k) * N + n];
                    if (floatOut) {
                        const double ref = double(sum) * is * ws[n] + fbias[n];
                        EXPECT_NEAR(s.y().f32()[n], ref,
                                    (K + 4) * FLT_EPSILON * (std::fabs(ref) + std::fabs(fbias[n])))
                            << n;
                    } else {
                        const double f = double(ws[0] * is / os);
                        const double exact =
                            std::fmax(-127, std::fmin(127, std::round(double(sum + ibias[n]) * f)));
                        EXPECT_NEAR(s.y().s8()[n], exact, 1) << n;
                    }
                }
            }
}

TEST(GemmLayer, QuantModeTwoIsRefused) {
    LayerUnderTest s("MatMul", {"q0", "q1", "q2", "q3", "q4", "q5", "B"});
    fill(s.a(), 1, 1, 1, 16, kNHWC, uniformFloats(16, 56), kFloat);
    fill(s.w("B"), 1, 16, 8, 1, kNCHW, uniformFloats(128, 57), kFloat);
    s.layer.reset(LayerRegistry::create(3, s.record, s.blobs, s.weights));
    ASSERT_TRUE(s.layer);
    EXPECT_EQ(s.layer->quantMode, 2u);
    TestEnv env;
    EXPECT_FALSE(s.layer->forward(env));
}

TEST(GemmLayer, PrepareExpandsInt8Weights) {
    LayerUnderTest s("MatMul", {"scale", "B", "bias"});
    const std::vector<int8_t> q = {1, -2, 3, 4, 5, -6};  // 2 rows x 3 columns
    fill(s.a(), 1, 1, 1, 2, kNHWC, std::vector<float>{1.f, 2.f}, kFloat);
    fill(s.w("scale"), 1, 1, 1, 3, kNHWC, std::vector<float>{0.5f, 2.f, -1.f}, kFloat);
    fill(s.w("B"), 1, 2, 3, 1, kNCHW, q, kS8);
    fill(s.w("bias"), 1, 1, 3, 1, kNCHW, std::vector<float>{0.f, 0.f, 1.f}, kFloat);
    s.layer.reset(LayerRegistry::create(3, s.record, s.blobs, s.weights));
    ASSERT_TRUE(s.layer);
    EXPECT_EQ(s.layer->quantMode, 0u);
    TestEnv env;
    ASSERT_TRUE(s.layer->prepare(env));
    const float expect[6] = {0.5f, -4.f, -3.f, 2.f, 10.f, 6.f};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s.w("B").f32()[i], expect[i]) << i;
    ASSERT_TRUE(s.layer->forward(env));
    // [1 2] x [[0.5 -4 -3] [2 10 6]] + [0 0 1] = [4.5 16 10]
    EXPECT_FLOAT_EQ(s.y().f32()[0], 4.5f);
    EXPECT_FLOAT_EQ(s.y().f32()[1], 16.f);
    EXPECT_FLOAT_EQ(s.y().f32()[2], 10.f);
}
