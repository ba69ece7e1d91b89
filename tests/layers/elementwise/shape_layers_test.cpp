#include <gtest/gtest.h>

#include "tests/layers/elementwise/test_util.h"
#include "ynet/cpu_info.h"
#include "ynet/layers/reshape/reshape.h"

namespace {

using namespace YNet;
using test_support::RecordBuilder;
using test_support::uniformFloats;

std::vector<float> iota(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = float(i);
    return v;
}

TEST(Concat, ChannelsColumnsAndThe822PathOnEveryLevel) {
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (auto [ca, cb] : {std::pair<uint32_t, uint32_t>{64, 32}, {3, 3}, {13, 7}}) {
            Net net(new x86::RunEnv);
            Layer* l = elemtest::addLayer(net, RecordBuilder("Concat", {"a", "b", "y"}, {1}));
            elemtest::fill(net.blobs["a"], 1, 33, 1, ca, uniformFloats(33 * ca, 1, -4, 4));
            elemtest::fill(net.blobs["b"], 1, 33, 1, cb, uniformFloats(33 * cb, 2, -4, 4));
            ASSERT_TRUE(l->reshape());
            EXPECT_EQ(net.blobs["y"].c, ca + cb);
            ASSERT_TRUE(l->forward(*net.env));
            const auto y = elemtest::contents(net.blobs["y"]);
            const auto a = elemtest::contents(net.blobs["a"]), b = elemtest::contents(net.blobs["b"]);
            for (size_t r = 0; r < 33; ++r) {
                for (size_t k = 0; k < ca; ++k) ASSERT_EQ(y[r * (ca + cb) + k], a[r * ca + k]);
                for (size_t k = 0; k < cb; ++k) ASSERT_EQ(y[r * (ca + cb) + ca + k], b[r * cb + k]);
            }
        }
        Net net(new x86::RunEnv);
        Layer* cols = elemtest::addLayer(net, RecordBuilder("Concat", {"a", "b", "y"}, {2}));
        elemtest::fill(net.blobs["a"], 1, 1, 5, 4, iota(20));
        elemtest::fill(net.blobs["b"], 1, 1, 3, 4, iota(12));
        ASSERT_TRUE(cols->reshape());
        EXPECT_EQ(net.blobs["y"].w, 8u);
        ASSERT_TRUE(cols->forward(*net.env));
        auto expect = iota(20), tail = iota(12);
        expect.insert(expect.end(), tail.begin(), tail.end());
        EXPECT_EQ(elemtest::contents(net.blobs["y"]), expect);
        Layer* three = elemtest::addLayer(net, RecordBuilder("Concat", {"p", "q", "r", "z"}));
        elemtest::fill(net.blobs["p"], 1, 5, 1, 8, iota(40));
        elemtest::fill(net.blobs["q"], 1, 5, 1, 2, iota(10));
        elemtest::fill(net.blobs["r"], 1, 5, 1, 2, iota(10));
        ASSERT_TRUE(three->reshape());
        ASSERT_TRUE(three->forward(*net.env));
        const auto z = elemtest::contents(net.blobs["z"]);
        for (size_t pos = 0; pos < 5; ++pos)
            for (size_t k = 0; k < 12; ++k)
                ASSERT_EQ(z[pos * 12 + k], float(k < 8 ? pos * 8 + k : pos * 2 + (k - 8) % 2));
    }
}

TEST(Reshape, ViewWithInferredDimensionAndKeptBatch) {
    Net net(new x86::RunEnv);
    auto* r = dynamic_cast<ref::Reshape*>(elemtest::addLayer(net, RecordBuilder("Reshape", {"x", "y"}, {5, 1, 1, -1})));
    ASSERT_NE(r, nullptr);
    elemtest::fill(net.blobs["x"], 1, 33, 1, 32, iota(1056));
    ASSERT_TRUE(r->reshape());
    ASSERT_TRUE(r->forward(*net.env));
    const Tensor& y = net.blobs["y"];
    EXPECT_EQ(r->shape[0], 1);
    EXPECT_EQ(y.n, 1u);
    EXPECT_EQ(y.c, 1056u);
    EXPECT_EQ(y.f32(), net.blobs["x"].f32());
    EXPECT_TRUE(y.notOwned[kFloat]);
    Layer* bad = elemtest::addLayer(net, RecordBuilder("Reshape", {"x", "z"}, {1, 0, 33, -1}));
    EXPECT_FALSE(bad->reshape());
}

// Input d (n, h, w, c) through permutation p, against the index formula.
void checkTranspose(const uint32_t* d, const uint32_t* p, bool half) {
    Net net(new x86::RunEnv);
    net.env->halfPrecision = half;
    Layer* t = elemtest::addLayer(net, RecordBuilder("TransposeAxis", {"x", "y"},
                                                     {int32_t(p[0]), int32_t(p[1]), int32_t(p[2]), int32_t(p[3])}));
    Tensor& x = net.blobs["x"];
    // Values stay integers below 2048, exact in half precision.
    std::vector<float> values = iota(d[0] * d[1] * d[2] * d[3]);
    for (float& v : values) v = float(int(v) % 2039);
    elemtest::fill(x, d[0], d[1], d[2], d[3], values);
    if (half) x.floatToHalf();
    ASSERT_TRUE(t->reshape());
    ASSERT_TRUE(t->forward(*net.env));
    Tensor& y = net.blobs["y"];
    if (half) y.halfToFloat();
    const auto out = elemtest::contents(y);
    const uint32_t od[4] = {d[p[0]], d[p[1]], d[p[2]], d[p[3]]};
    EXPECT_EQ(y.n * 1000 + y.h * 100 + y.w * 10 + y.c, od[0] * 1000 + od[1] * 100 + od[2] * 10 + od[3]);
    size_t o = 0;
    for (uint32_t a = 0; a < od[0]; ++a)
        for (uint32_t b = 0; b < od[1]; ++b)
            for (uint32_t c = 0; c < od[2]; ++c)
                for (uint32_t e = 0; e < od[3]; ++e, ++o) {
                    uint32_t i[4];
                    const uint32_t oi[4] = {a, b, c, e};
                    for (int k = 0; k < 4; ++k) i[p[k]] = oi[k];
                    const uint32_t flat = ((i[0] * d[1] + i[1]) * d[2] + i[2]) * d[3] + i[3];
                    ASSERT_EQ(out[o], float(flat % 2039)) << d[1] << "x" << d[2] << " perm " << p[1] << p[2] << p[3];
                }
}

// Shapes past the copy tile of 16 and not a multiple of it, with and without
// rows and columns left over from the float path's 4x4 blocks, and axes of 1
// where the network has them (the 12-row window, 513 bins).
TEST(TransposeAxis, SupportedPermutationsFloatAndHalf) {
    const uint32_t perms[3][4] = {{0, 1, 3, 2}, {0, 2, 3, 1}, {1, 0, 3, 2}};
    const uint32_t shapes[6][4] = {{2, 3, 5, 7},   {1, 12, 37, 1}, {2, 3, 17, 33},
                                   {3, 1, 40, 18}, {1, 12, 513, 1}, {2, 7, 70, 3}};
    for (const auto& d : shapes)
        for (const auto& p : perms)
            for (bool half : {false, true}) checkTranspose(d, p, half);
    Net net(new x86::RunEnv);
    Layer* t = elemtest::addLayer(net, RecordBuilder("TransposeAxis", {"x", "y"}, {0, 3, 1, 2}));
    elemtest::fill(net.blobs["x"], 1, 2, 2, 2, iota(8));
    t->reshape();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(t->forward(*net.env));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " the set perm case is not supported! \n");
}

TEST(YnetAppend, InterleavesWeightRowAndRegistersThreeBackends) {
    for (int backend : {0, 1, 3}) EXPECT_NE(LayerRegistry::find(backend, "YnetAppend"), nullptr);
    for (uint32_t h : {33u, 1u}) {
        Net net(new x86::RunEnv);
        elemtest::fill(net.weights["p"], 1, 1, 1, 32, std::vector<float>(32, -7.0f));
        Layer* l = elemtest::addLayer(net, RecordBuilder("YnetAppend", {"x", "y"}, {}, {"p"}));
        elemtest::fill(net.blobs["x"], 1, h, 1, 32, iota(h * 32));
        ASSERT_TRUE(l->reshape());
        EXPECT_EQ(l->shapeKey, "ynet_append");
        EXPECT_EQ(net.blobs["y"].h, 2 * h - 1);
        ASSERT_TRUE(l->forward(*net.env));
        const auto y = elemtest::contents(net.blobs["y"]);
        for (size_t r = 0; r < 2 * h - 1; ++r)
            for (size_t k = 0; k < 32; ++k)
                ASSERT_EQ(y[r * 32 + k], r % 2 ? -7.0f : float(r / 2 * 32 + k)) << r;
        net.env->halfPrecision = true;
        EXPECT_FALSE(l->forward(*net.env));
    }
}

}  // namespace
