// Depthwise kernels against the direct loops of dw_reference.h, weights
// packed by the test into the order each kernel reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "impl_x86/depthwise/depthwise_kernels.h"
#include "tests/layers/depthwise/dw_reference.h"
#include "ynet/cpu_info.h"

namespace YNet {
namespace dw {
namespace {

using namespace test;

// W[ky][kx][oc] from the plain depthwise order.
Vec packChannelInner(const Geometry& g, const Vec& w) {
    const int taps = g.kernelH * g.kernelW;
    Vec p(w.size());
    for (int oc = 0; oc < g.outC; ++oc)
        for (int t = 0; t < taps; ++t) p[size_t(t) * g.outC + oc] = w[size_t(oc) * taps + t];
    return p;
}

// Blocks of B output channels, last one moved back to end at outC:
// [block][ky][kx][k][B].
Vec packBlocked(const Geometry& g, const Vec& w, int B) {
    const int K = g.inC / g.group, taps = g.kernelH * g.kernelW;
    const int blocks = (g.outC + B - 1) / B;
    Vec p(size_t(blocks) * taps * K * B);
    for (int b = 0; b < blocks; ++b) {
        const int c0 = std::min(b * B, g.outC - B);
        for (int t = 0; t < taps; ++t)
            for (int k = 0; k < K; ++k)
                for (int j = 0; j < B; ++j)
                    p[((size_t(b) * taps + t) * K + k) * B + j] = w[(size_t(c0 + j) * K + k) * taps + t];
    }
    return p;
}

bool finishConv(Geometry& g) {
    g.outH = (g.inH + 2 * g.padTop - g.dilationH * (g.kernelH - 1) - 1) / g.strideH + 1;
    g.outW = (g.inW + 2 * g.padLeft - g.dilationW * (g.kernelW - 1) - 1) / g.strideW + 1;
    return g.outH > 0 && g.outW > 0 && g.inH + 2 * g.padTop >= g.dilationH * (g.kernelH - 1) + 1 &&
           g.inW + 2 * g.padLeft >= g.dilationW * (g.kernelW - 1) + 1;
}

struct Case {
    Geometry g;
    Vec in, w, bias;
    Activation act;
};

Case makeCase(const Geometry& g, std::mt19937& rng) {
    Case c{g, {}, {}, {}, {}};
    const int K = g.inC / g.group;
    c.in = randomVec(size_t(g.inH) * g.inW * g.inC, rng);
    c.w = randomVec(size_t(g.outC) * K * g.kernelH * g.kernelW, rng);
    c.bias = randomVec(g.outC, rng);
    const uint32_t kinds[] = {0, 1, 2, 6};
    c.act.kind = kinds[rng() % 4];
    // Leaky slopes inside and outside [0, 1] take different vector forms.
    const float slopes[] = {0.1f, 1.5f, -0.3f};
    c.act.param = c.act.kind == 2 ? 0.5f : slopes[rng() % 3];
    return c;
}

void expectClose(const Vec& ref, const Vec& got, const char* what) {
    ASSERT_EQ(ref.size(), got.size()) << what;
    test::expectClose(ref, got.data(), what);
}

std::string describe(const Geometry& g, int block) {
    char s[200];
    std::snprintf(s, sizeof s, "in %dx%dx%d out %dx%dx%d k %dx%d s %dx%d d %dx%d p %d,%d g %d B %d", g.inH,
                  g.inW, g.inC, g.outH, g.outW, g.outC, g.kernelH, g.kernelW, g.strideH, g.strideW,
                  g.dilationH, g.dilationW, g.padTop, g.padLeft, g.group, block);
    return s;
}

// Every (ISA, block) variant of a family available on this machine.
std::vector<std::pair<Kernel, int>> variants(Family f) {
    std::vector<std::pair<Kernel, int>> v;
    for (int b : {4, 8, 12})
        if (Kernel k = kernelSse(f, b)) v.push_back({k, b});
    const CpuInfo& cpu = CpuInfo::hardware();
    if (cpu.avx2() && cpu.fma())
        for (int b : {8, 16})
            if (Kernel k = kernelAvx2(f, b)) v.push_back({k, b});
    return v;
}

// Channel counts to try with block B: the network's 12 and 64, a count that
// no vector width divides, and the block itself.
std::vector<int> channelsFor(int B) {
    std::vector<int> cs;
    for (int c : {B, 12, 64, 2 * B + 5, 3 * B - 1})
        if (c >= B && std::find(cs.begin(), cs.end(), c) == cs.end()) cs.push_back(c);
    return cs;
}

Geometry lineGeometry(bool rows, int len, int C, int stride, int dil, int pad) {
    Geometry g;
    g.inC = g.outC = g.group = C;
    (rows ? g.inH : g.inW) = len;
    (rows ? g.kernelH : g.kernelW) = 5;
    (rows ? g.strideH : g.strideW) = stride;
    (rows ? g.dilationH : g.dilationW) = dil;
    (rows ? g.padTop : g.padLeft) = pad;
    return g;
}

void runLineFamily(Family f, int stride, int dil, std::initializer_list<int> pads, bool chanInner) {
    std::mt19937 rng(7);
    const auto vs = variants(f);
    ASSERT_FALSE(vs.empty());
    for (auto [kernel, B] : vs)
        for (int C : channelsFor(B))
            for (bool rows : {true, false})
                for (int len : {1, 2, 5, 9, 17, 33, 66, 513})
                    for (int pad : pads) {
                        Geometry g = lineGeometry(rows, len, C, stride, dil, pad);
                        if (!finishConv(g)) continue;
                        Case c = makeCase(g, rng);
                        Vec out(size_t(g.outH) * g.outW * C);
                        const Vec w = chanInner ? packChannelInner(g, c.w) : packBlocked(g, c.w, B);
                        kernel(g, {c.in.data(), w.data(), c.bias.data(), out.data()}, c.act);
                        expectClose(referenceConv(g, c.in, c.w, c.bias, c.act), out,
                                    describe(g, B).c_str());
                    }
}

TEST(DepthwiseKernels, FiveTapLinesMatchDirectLoops) {
    runLineFamily(Family::LineS2D2, 2, 2, {4, 0, 3, 6}, false);
    runLineFamily(Family::LineS1, 1, 1, {2, 0, 1, 3}, true);
}

TEST(DepthwiseKernels, BlockedAndPortableMatchDirectLoopsOverGeometries) {
    std::mt19937 rng(11);
    const auto vs = variants(Family::Blocked);
    ASSERT_FALSE(vs.empty());
    for (int kh : {1, 3, 5})
        for (int kw : {1, 2, 3})
            for (int s : {1, 2})
                for (int d : {1, 2})
                    for (int p : {0, 1, 2})
                        for (int size : {1, 4, 9}) {
                            Geometry g;
                            g.inH = size;
                            g.inW = size + 3;
                            g.kernelH = kh;
                            g.kernelW = kw;
                            g.strideH = s;
                            g.strideW = 3 - s;
                            g.dilationH = d;
                            g.dilationW = 3 - d;
                            g.padTop = p;
                            g.padLeft = 2 - p;
                            for (auto [kernel, B] : vs)
                                for (int C : {B, B + 3}) {
                                    Geometry gc = g;
                                    gc.inC = gc.outC = gc.group = C;
                                    if (!finishConv(gc)) continue;
                                    Case c = makeCase(gc, rng);
                                    Vec out(size_t(gc.outH) * gc.outW * C);
                                    const Vec w = packBlocked(gc, c.w, B);
                                    kernel(gc, {c.in.data(), w.data(), c.bias.data(), out.data()}, c.act);
                                    expectClose(referenceConv(gc, c.in, c.w, c.bias, c.act), out,
                                                describe(gc, B).c_str());
                                }
                            // The portable kernels: odd channel counts, no activation.
                            g.inC = g.outC = g.group = 6;
                            if (!finishConv(g)) continue;
                            Case c = makeCase(g, rng);
                            const Vec w = packChannelInner(g, c.w);
                            const Vec ref = referenceConv(g, c.in, c.w, c.bias, {});
                            Vec out(ref.size());
                            dilatedDepthwise(g, {c.in.data(), w.data(), c.bias.data(), out.data()});
                            expectClose(ref, out, describe(g, 0).c_str());
                            if (d == 1 && s == 1) {
                                Geometry g1 = g;
                                g1.dilationW = 1;
                                if (!finishConv(g1)) continue;
                                const Vec ref1 = referenceConv(g1, c.in, c.w, c.bias, {});
                                Vec out1(ref1.size());
                                testing::internal::CaptureStdout();
                                genericDepthwise(g1, {c.in.data(), w.data(), c.bias.data(), out1.data()});
                                EXPECT_EQ(testing::internal::GetCapturedStdout(), "***simd dwise commone****\n");
                                expectClose(ref1, out1, describe(g1, 0).c_str());
                            }
                        }
}

TEST(DepthwiseKernels, GroupedMatchDirectLoops) {
    std::mt19937 rng(13);
    const auto vs = variants(Family::Grouped);
    ASSERT_FALSE(vs.empty());
    for (auto [kernel, B] : vs)
        for (int group : {1, 2, 3})
            for (int K : {1, 3, 5})
                for (int mMul : {1, 2})
                    for (int k : {1, 3})
                        for (int s : {1, 2}) {
                            Geometry g;
                            g.group = group;
                            g.inC = group * K;
                            g.outC = group * B * mMul;
                            g.inH = 5;
                            g.inW = 7;
                            g.kernelH = g.kernelW = k;
                            g.strideH = g.strideW = s;
                            g.dilationW = 2;
                            g.padTop = g.padLeft = k / 2;
                            if (!finishConv(g)) continue;
                            Case c = makeCase(g, rng);
                            Vec out(size_t(g.outH) * g.outW * g.outC);
                            const Vec w = packBlocked(g, c.w, B);
                            kernel(g, {c.in.data(), w.data(), c.bias.data(), out.data()}, c.act);
                            expectClose(referenceConv(g, c.in, c.w, c.bias, c.act), out,
                                        describe(g, B).c_str());
                        }
}

Geometry deconvGeometry(Geometry g) {
    g.outH = (g.inH - 1) * g.strideH + (g.kernelH - 1) * g.dilationH - 2 * g.padTop + 1;
    g.outW = (g.inW - 1) * g.strideW + (g.kernelW - 1) * g.dilationW - 2 * g.padLeft + 1;
    return g;
}

TEST(DepthwiseKernels, TransposedMatchesScatterForm) {
    std::mt19937 rng(17);
    const auto vs = variants(Family::DeconvLine);
    ASSERT_FALSE(vs.empty());
    for (auto [kernel, B] : vs)
        for (int C : channelsFor(B))
            for (bool rows : {true, false})
                for (int len : {1, 2, 3, 33, 129})
                    for (int pad : {4, 3, 2, 0}) {
                        const Geometry g = deconvGeometry(lineGeometry(rows, len, C, 2, 2, pad));
                        Case c = makeCase(g, rng);
                        Vec out(size_t(g.outH) * g.outW * C);
                        const Vec w = packChannelInner(g, c.w);
                        kernel(g, {c.in.data(), w.data(), c.bias.data(), out.data()}, c.act);
                        expectClose(referenceDeconvScatter(g, c.in, c.w, c.bias, c.act), out,
                                    describe(g, B).c_str());
                    }
    for (int k : {1, 3, 5})
        for (int s : {1, 2, 3})
            for (int d : {1, 2})
                for (int p : {0, 1, 2}) {
                    Geometry g;
                    g.inH = 4;
                    g.inW = 3;
                    g.inC = g.outC = g.group = 5;
                    g.kernelH = k;
                    g.kernelW = 6 - k;
                    g.strideH = s;
                    g.strideW = 4 - s;
                    g.dilationH = d;
                    g.dilationW = 3 - d;
                    g.padTop = p;
                    g.padLeft = 2 - p;
                    g = deconvGeometry(g);
                    if (g.outH <= 0 || g.outW <= 0) continue;
                    Case c = makeCase(g, rng);
                    const Vec w = packChannelInner(g, c.w);
                    Vec out(size_t(g.outH) * g.outW * g.outC);
                    genericDepthwiseDeconv(g, {c.in.data(), w.data(), c.bias.data(), out.data()}, c.act);
                    expectClose(referenceDeconvScatter(g, c.in, c.w, c.bias, c.act), out,
                                describe(g, 0).c_str());
                }
}

// Hand-computed: 3 rows, one channel, taps 1..5, stride 2, dilation 2, pads 4.
TEST(DepthwiseKernels, TransposedLineByHand) {
    Geometry g = deconvGeometry(lineGeometry(true, 3, 4, 2, 2, 4));
    ASSERT_EQ(g.outH, 5);
    Vec in(12), w(20), bias(4, 0.5f), out(20);
    for (int r = 0; r < 3; ++r)
        for (int ch = 0; ch < 4; ++ch) in[r * 4 + ch] = float(r + 1);  // rows 1, 2, 3
    for (int t = 0; t < 5; ++t)
        for (int ch = 0; ch < 4; ++ch) w[t * 4 + ch] = float(t + 1);
    kernelSse(Family::DeconvLine, 4)(g, {in.data(), w.data(), bias.data(), out.data()}, {});
    // Row 2m gathers in[m-2+t] * (t+1): row 0 = 1*3 + 2*4 + 3*5, row 2 = 1*2 + 2*3 + 3*4,
    // row 4 = 1*1 + 2*2 + 3*3; odd rows are the bias alone.
    const float expect[5] = {26.5f, 0.5f, 20.5f, 0.5f, 14.5f};
    for (int r = 0; r < 5; ++r) EXPECT_FLOAT_EQ(out[r * 4 + 2], expect[r]) << r;
}

}  // namespace
}  // namespace dw
}  // namespace YNet
