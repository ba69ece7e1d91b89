// Kernel choice per feature set, on a synthetic processor record that has
// every feature, so all tables are checked whatever this machine supports.
#include <gtest/gtest.h>

#include "conv_fixture.h"
#include "ynet/cpu_info.h"

namespace conv_test {
namespace {

using conv::KernelId;

CpuInfo fullFeatured() {
    CpuInfo c = CpuInfo::hardware();
    c.osModern = true;
    c.leaf1Ecx |= (1u << 12) | (1u << 19) | (1u << 27) | (1u << 28) | (1u << 29);
    c.leaf7Ebx |= 1u << 5;
    c.leaf13Eax |= 6u;
    return c;
}

KernelId choose(bool transposed, const Case& c, IsaLevel level, bool half = false) {
    auto b = build(transposed, c, 3);
    TestEnv env;
    env.halfPrecision = half;
    b->layer->reshape();
    ScopedCpuOverride guard(fullFeatured().limitedTo(level));
    return transposed ? static_cast<x86::DeConv*>(b->layer)->selectKernel(env)
                      : static_cast<x86::Conv*>(b->layer)->selectKernel(env);
}

struct Expect {
    const char* what;
    bool transposed;
    Case shape;
    KernelId avx2, sse;
};

//                                                  ih  iw  ic  oc kh kw sh sw dh dw pt pb pl pr
const Expect kExpect[] = {
    {"1x1 to 64", false, {257, 1, 12, 64, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::Fast1x1B32, KernelId::PointwiseSse8},
    {"1x1 to 40", false, {9, 1, 12, 40, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::PointwiseAvx16, KernelId::PointwiseSse8},
    {"1x1 to 12", false, {9, 1, 12, 12, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::Fast1x1B16, KernelId::PointwiseSse12},
    {"1x1 to 20", false, {9, 1, 12, 20, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::Fast1x1B24, KernelId::PointwiseSse8},
    {"1x1 to 6", false, {9, 1, 12, 6, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::PointwiseSse4, KernelId::PointwiseSse4},
    {"1x1 96 to 1", false, {257, 1, 96, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::DotAvx16, KernelId::DotSse12},
    {"1x1 16 to 1", false, {9, 1, 16, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::DotAvx16, KernelId::DotSse8},
    {"1x1 2 to 1", false, {9, 1, 2, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
     KernelId::SingleOutSse, KernelId::SingleOutSse},
    {"padded 1x1", false, {9, 1, 12, 16, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0},
     KernelId::GeneralAvx16, KernelId::GeneralSse8},
    {"3-tap 64", false, {33, 1, 64, 64, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0},
     KernelId::LineAvx16, KernelId::LineSse8},
    {"3-tap 12", false, {33, 1, 64, 12, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0},
     KernelId::LineAvx8, KernelId::LineSse4},
    {"3-tap 3", false, {33, 1, 64, 3, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0},
     KernelId::GeneralSse4, KernelId::GeneralSse4},
    {"3x3 stem", false, {9, 10, 3, 16, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1},
     KernelId::Fast3x3Stem, KernelId::GeneralSse8},
    {"3x3 24", false, {6, 7, 5, 24, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},
     KernelId::Fast3x3B24, KernelId::GeneralSse8},
    {"3x3 stride 2", false, {9, 9, 5, 16, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1},
     KernelId::Fast3x3S2B16, KernelId::GeneralSse8},
    {"3x3 40", false, {6, 7, 5, 40, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},
     KernelId::Fast3x3B4, KernelId::GeneralSse8},
    {"3x3 6 stride 2", false, {7, 8, 5, 6, 3, 3, 2, 2, 1, 1, 0, 0, 0, 0},
     KernelId::GeneralSse4, KernelId::GeneralSse4},
    {"3x3 3 s2 d2", false, {11, 11, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2},
     KernelId::Fast3x3S2D2B4, KernelId::Scalar},
    {"dilated 16", false, {12, 1, 6, 16, 3, 1, 1, 1, 2, 1, 2, 2, 0, 0},
     KernelId::DilatedAvx16, KernelId::DilatedSse8},
    {"dilated 12", false, {12, 1, 6, 12, 3, 1, 1, 1, 2, 1, 2, 2, 0, 0},
     KernelId::DilatedSse4, KernelId::DilatedSse4},
    {"deconv 5x5 to 8", true, {4, 6, 6, 8, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},
     KernelId::DeOcBlock5x5Avx8, KernelId::DeOcBlock5x5Sse4},
    {"deconv 5x5 odd", true, {4, 7, 6, 8, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},
     KernelId::DeOddWidth5x5, KernelId::DeOddWidth5x5},
    {"deconv 5x5 8 to 3", true, {4, 6, 8, 3, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},
     KernelId::DeInBlock5x5Avx, KernelId::DeInBlock5x5Sse},
    {"deconv stride 2 to 16", true, {3, 4, 5, 16, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},
     KernelId::DeStride2Avx8, KernelId::DeStride2Sse4},
    {"deconv two outputs", true, {3, 4, 8, 2, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},
     KernelId::DeTwoOutAvx, KernelId::DeTwoOutSse},
    {"deconv stride 1", true, {5, 4, 7, 8, 3, 3, 1, 1, 1, 1, 2, 2, 2, 2},
     KernelId::DeGeneric, KernelId::DeGeneric},
};

TEST(ConvSelect, KernelPerFeatureSet) {
    for (const Expect& e : kExpect) {
        EXPECT_EQ(choose(e.transposed, e.shape, IsaLevel::Avx2Fma), e.avx2) << e.what;
        // AVX and FMA without AVX2: the first selector's kernels, else SSE.
        const bool fast = e.avx2 >= KernelId::Fast1x1B32 && e.avx2 <= KernelId::Fast3x3GeneralB4;
        EXPECT_EQ(choose(e.transposed, e.shape, IsaLevel::AvxFma), fast ? e.avx2 : e.sse)
            << e.what << " at AvxFma";
        for (IsaLevel level : {IsaLevel::Portable, IsaLevel::Sse41, IsaLevel::Avx})
            EXPECT_EQ(choose(e.transposed, e.shape, level), e.sse)
                << e.what << " at " << isaLevelName(level);
    }
}

TEST(ConvSelect, HalfPrecision) {
    // The first selector ignores the flag; the second then fails.
    const Case fast{257, 1, 12, 64, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    const Case other{9, 1, 12, 40, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    EXPECT_EQ(choose(false, fast, IsaLevel::Avx2Fma, true), KernelId::Fast1x1B32);
    EXPECT_EQ(choose(false, other, IsaLevel::Avx2Fma, true), KernelId::None);
    auto b = build(false, other, 3);
    TestEnv env;
    env.halfPrecision = true;
    b->layer->prepare(env);
    EXPECT_FALSE(b->layer->forward(env));
    // Transposed layers fall back to the SSE table.
    const Case deconv{4, 6, 6, 8, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2};
    EXPECT_EQ(choose(true, deconv, IsaLevel::Avx2Fma, true), KernelId::DeOcBlock5x5Sse4);
}

}  // namespace
}  // namespace conv_test
