// Every kernel either selector can choose, driven through the registered
// layers under every feature set of this machine, against direct loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "conv_fixture.h"
#include "ynet/cpu_info.h"

namespace conv_test {
namespace {

using conv::KernelId;

//                                ih  iw  ic  oc kh kw sh sw dh dw pt pb pl pr
const Case kConvCases[] = {
    // the network's 1x1 and 3-tap convolutions
    {257, 1, 12, 64, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
    {129, 1, 64, 64, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
    {65, 1, 96, 32, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
    {33, 1, 64, 32, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
    {33, 1, 128, 64, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
    {257, 1, 96, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0},
    {33, 1, 64, 64, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    // 1x1 padded or strided (general kernels)
    {4, 3, 5, 8, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1},
    {6, 5, 7, 16, 1, 1, 2, 2, 1, 1, 0, 0, 0, 0},
    // 3x3: image stem, three-output, 24/16/4-channel, strided, dilated
    {9, 10, 3, 16, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1},
    {8, 9, 1, 12, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1},
    {7, 8, 3, 36, 3, 3, 2, 2, 1, 1, 1, 0, 1, 1},
    {5, 32, 4, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},
    {9, 9, 5, 16, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1},
    {6, 7, 3, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},
    {11, 11, 3, 4, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2},
    {7, 8, 5, 2, 3, 3, 2, 2, 1, 1, 0, 0, 0, 0},
    {9, 7, 4, 16, 3, 3, 1, 1, 2, 1, 2, 2, 1, 1},
    // row line and non-line 1-D kernels; lines whose length leaves a tail
    // of positions after the steps of several blocks, or is shorter than one
    {1, 20, 7, 16, 1, 3, 1, 1, 1, 1, 0, 0, 1, 1},
    {1, 11, 6, 32, 1, 3, 1, 1, 1, 1, 0, 0, 1, 1},
    {10, 1, 5, 48, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    {14, 1, 3, 80, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    {2, 1, 7, 64, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    {12, 1, 6, 16, 3, 1, 1, 1, 2, 1, 2, 2, 0, 0},
    {12, 1, 6, 24, 3, 1, 1, 1, 2, 1, 2, 2, 0, 0},
    {12, 1, 6, 12, 3, 1, 1, 1, 2, 1, 2, 2, 0, 0},
    {12, 1, 6, 3, 3, 1, 1, 1, 2, 1, 2, 2, 0, 0},
    {12, 1, 6, 1, 3, 1, 1, 1, 2, 1, 2, 2, 0, 0},
    {10, 9, 4, 16, 3, 5, 2, 1, 2, 2, 1, 2, 3, 1},
    {10, 9, 4, 6, 3, 5, 2, 1, 2, 2, 1, 2, 3, 1},
    {10, 9, 5, 16, 5, 3, 2, 1, 1, 1, 1, 2, 0, 1},
    {10, 9, 5, 5, 5, 3, 2, 1, 1, 1, 1, 2, 0, 1},
    {5, 5, 2, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1},
    {6, 5, 10, 1, 2, 2, 1, 1, 1, 1, 0, 1, 1, 0},
};

// Channel counts around every block width, for the shapes the sweep repeats.
const int kChannelSweep[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 16, 17, 20,
                             24, 25, 28, 31, 32, 36, 40, 48, 64};
const int kDotInputs[] = {96, 24, 12, 20, 16, 7, 9, 2};

std::vector<Case> convCases() {
    std::vector<Case> cases(std::begin(kConvCases), std::end(kConvCases));
    for (int oc : kChannelSweep) {
        cases.push_back({5, 3, 17, oc, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0});  // 1x1
        cases.push_back({6, 7, 5, oc, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1});   // 3x3
        cases.push_back({9, 1, 5, oc, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0});   // 3-tap line
        cases.push_back({9, 8, 6, oc, 5, 5, 1, 1, 1, 1, 2, 2, 2, 2});   // general
    }
    for (int ic : kDotInputs) cases.push_back({5, 3, ic, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0});
    return cases;
}

//                                  ih iw ic oc kh kw sh sw dh dw pt pb pl pr group
const Case kDeconvCases[] = {
    {4, 5, 6, 8, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},     // odd width
    {4, 6, 6, 8, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},     // output blocks of 8
    {4, 6, 6, 12, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},    // output blocks of 4
    {4, 6, 8, 3, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},     // input blocks of 8
    {4, 6, 4, 3, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},     // input blocks of 4
    {4, 6, 3, 3, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2},     // generic
    {3, 4, 5, 16, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},    // stride 2, blocks of 8
    {3, 4, 5, 12, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},
    {3, 4, 5, 4, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},
    {3, 4, 8, 2, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},     // two outputs
    {3, 4, 4, 2, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},
    {3, 4, 3, 2, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1},
    {3, 4, 4, 4, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1, 4},  // depthwise 4
    {3, 4, 6, 2, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1, 2},  // grouped
    {5, 4, 7, 5, 3, 3, 1, 1, 1, 1, 2, 2, 2, 2},     // stride 1
    {3, 4, 5, 6, 3, 2, 3, 2, 1, 1, 0, 1, 1, 0},     // stride 3 x 2
};

// Runs one case under the current feature set; returns the kernel used.
KernelId runAndCompare(bool transposed, const Case& c, unsigned seed) {
    auto b = build(transposed, c, seed);
    TestEnv env;
    b->layer->prepare(env);
    const KernelId id = transposed ? static_cast<x86::DeConv*>(b->layer)->selectKernel(env)
                                   : static_cast<x86::Conv*>(b->layer)->selectKernel(env);
    EXPECT_TRUE(b->layer->forward(env));
    const Tensor& out = *b->layer->outputs[0];
    const int oh = int(out.h), ow = int(out.w);
    const Expected e = transposed ? referenceDeconv(*b, c, oh, ow) : referenceConv(*b, c, oh, ow);
    EXPECT_EQ(e.value.size(), size_t(out.count));
    for (size_t i = 0; i < e.value.size(); ++i) {
        if (std::fabs(out.f32()[i] - e.value[i]) <= tolerance(e, i)) continue;
        ADD_FAILURE() << conv::kernelInfo(id).name << " element " << i << ": " << out.f32()[i]
                      << " vs " << e.value[i] << "; ic " << c.ic << " oc " << c.oc << " k "
                      << c.kh << "x" << c.kw << " in " << c.ih << "x" << c.iw;
        break;
    }
    return id;
}

// Every (tier, kernel) pair a sweep ran.
using Seen = std::set<std::pair<IsaLevel, KernelId>>;

Seen runAll(bool transposed, const std::vector<Case>& cases) {
    Seen seen;
    unsigned seed = 1;
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (const Case& c : cases) seen.insert({level, runAndCompare(transposed, c, seed++)});
    }
    return seen;
}

bool hasAvx2() { return CpuInfo::hardware().avx2() && CpuInfo::hardware().fma(); }

// The tier a kernel belongs to: the first selector's (AVX and FMA) kernels to
// AvxFma, the other AVX kernels to Avx2Fma, the SSE and portable ones to the
// bottom tier.
IsaLevel tierOf(KernelId id) {
    const std::string name = conv::kernelInfo(id).name;
    if (name.find("fast") != std::string::npos) return IsaLevel::AvxFma;
    return name.find("AVX") != std::string::npos ? IsaLevel::Avx2Fma : IsaLevel::Portable;
}

// Each kernel of the range is chosen on its own tier (SSE and portable ones
// on any tier), where the machine has that tier.
void expectCovered(const Seen& seen, KernelId first, KernelId last) {
    const IsaLevel top = CpuInfo::supportedLevels().back();
    for (int i = int(first); i <= int(last); ++i) {
        const KernelId id = KernelId(i);
        const IsaLevel tier = tierOf(id);
        if (tier > top) continue;
        const bool chosen =
            tier == IsaLevel::Portable
                ? std::any_of(seen.begin(), seen.end(), [&](const auto& s) { return s.second == id; })
                : seen.count({tier, id}) > 0;
        EXPECT_TRUE(chosen) << "never selected on " << isaLevelName(tier) << ": "
                            << conv::kernelInfo(id).name;
    }
}

TEST(ConvKernels, EveryConvolutionKernelMatchesDirectLoops) {
    const Seen seen = runAll(false, convCases());
    expectCovered(seen, KernelId::Fast1x1B32, KernelId::Scalar);
}

// Stride-2 upsampling (OW 8 or 12) over input channel counts that leave a
// scalar tail in 4- and 8-lane loops, and output counts whose last group of
// 8 overlaps the previous one (12, 20) or that take the 4-channel kernel.
std::vector<Case> deconvCases() {
    std::vector<Case> cases(std::begin(kDeconvCases), std::end(kDeconvCases));
    for (int ic : {1, 5, 9, 13, 16})
        for (int oc : {4, 8, 12, 20, 24}) cases.push_back({3, 4, ic, oc, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1});
    for (int ic : {4, 12, 20, 24, 36}) cases.push_back({4, 6, ic, 2, 2, 2, 2, 2, 1, 1, 0, 0, 0, 0});
    return cases;
}

TEST(ConvKernels, EveryTransposedKernelMatchesScatterLoops) {
    const Seen seen = runAll(true, deconvCases());
    expectCovered(seen, KernelId::DeOddWidth5x5, KernelId::DeGeneric);
}

// An in-place activation of `kind` after the layer of `b`: it becomes the
// layer's follower.
std::unique_ptr<Layer> follower(Built& b, uint32_t kind, float param) {
    return std::unique_ptr<Layer>(
        LayerRegistry::create(3, test_support::inPlaceActivation(kind, param, "out"), b.blobs, b.weights));
}

// A layer whose in-place follower is `kind`: the fused result must equal the
// plain convolution followed by the follower's own forward, and the mark
// must follow the kernel's protocol.
void checkFusion(bool transposed, const Case& c, uint32_t kind, float param) {
    auto fused = build(transposed, c, 7);
    auto plain = build(transposed, c, 7);
    std::unique_ptr<Layer> f1 = follower(*fused, kind, param);
    std::unique_ptr<Layer> f2 = follower(*plain, kind, param);
    plain->layer->followers.clear();
    TestEnv env;
    fused->layer->prepare(env);
    plain->layer->prepare(env);
    const KernelId id = transposed ? static_cast<x86::DeConv*>(fused->layer)->selectKernel(env)
                                   : static_cast<x86::Conv*>(fused->layer)->selectKernel(env);
    ASSERT_TRUE(fused->layer->forward(env));
    const conv::Fusion protocol = conv::kernelInfo(id).fusion;
    const bool takes = (protocol == conv::Fusion::ReluSkip && kind == 1) ||
                       (protocol != conv::Fusion::None && protocol != conv::Fusion::ReluSkip);
    const bool removes = protocol == conv::Fusion::RectifiersRemoved;
    EXPECT_EQ(f1->skip, takes && !removes) << conv::kernelInfo(id).name;
    EXPECT_EQ(f1->removed, takes && removes) << conv::kernelInfo(id).name;
    if (!takes) f1->forward(env);
    ASSERT_TRUE(plain->layer->forward(env));
    f2->forward(env);
    const Tensor& a = *fused->layer->outputs[0];
    const Tensor& b = *plain->layer->outputs[0];
    for (size_t i = 0; i < a.count; ++i)
        ASSERT_FLOAT_EQ(a.f32()[i], b.f32()[i]) << conv::kernelInfo(id).name << " at " << i;
}

TEST(ConvKernels, FusedActivationEqualsActivationAfter) {
    const Case fast1x1{5, 3, 17, 32, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    const Case pointwise{5, 3, 17, 40, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    const Case line{33, 1, 64, 64, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0};
    const Case general{9, 8, 6, 12, 5, 5, 1, 1, 1, 1, 2, 2, 2, 2};
    const Case dot{5, 3, 24, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    const Case deconv{4, 6, 6, 8, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2};
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        // Leaky slopes inside and outside [0, 1] take different vector forms.
        for (auto [kind, param] : {std::pair{1u, 0.01f}, {2u, 0.5f}, {6u, 0.01f}, {6u, 1.5f}, {6u, -0.3f}}) {
            for (const Case& c : {fast1x1, pointwise, line, general, dot})
                checkFusion(false, c, kind, param);
            checkFusion(true, deconv, kind, param);
        }
    }
}

// The planar 3x3 kernels read W[ky][ic][kx][oc] as one block of exactly OC
// channels: what codes 36 (OC 3) and 27 (OC 1) must make of NCHW weights.
TEST(ConvKernels, RowIcMajorCodesPackNchwWeightsAsOneBlock) {
    struct Layout {
        uint32_t code;
        int oc, ic;
    };
    for (const Layout& l : {Layout{36, 3, 4}, Layout{27, 1, 3}}) {
        Tensor w;
        w.set(uint32_t(l.oc), 3, 3, uint32_t(l.ic), kNCHW);
        float* d = w.floatData(kNCHW);
        auto tag = [](int o, int c, int y, int x) {
            return float(o * 1000 + c * 100 + y * 10 + x);
        };
        for (int o = 0; o < l.oc; ++o)
            for (int c = 0; c < l.ic; ++c)
                for (int y = 0; y < 3; ++y)
                    for (int x = 0; x < 3; ++x)
                        d[((o * l.ic + c) * 3 + y) * 3 + x] = tag(o, c, y, x);
        const float* p = w.floatData(l.code);
        ASSERT_NE(p, nullptr);
        for (int o = 0; o < l.oc; ++o)
            for (int c = 0; c < l.ic; ++c)
                for (int y = 0; y < 3; ++y)
                    for (int x = 0; x < 3; ++x)
                        ASSERT_EQ(p[((y * l.ic + c) * 3 + x) * l.oc + o], tag(o, c, y, x))
                            << "code " << l.code;
    }
}

// Both planar kernels sum at most 3 * 3 * 4 = 36 products and the bias. Any
// float summation order of n terms errs by at most about n * 2^-24 times the
// sum of |terms| (2.2e-6 of it for 37 terms), so 1e-5 of that sum leaves 4x
// headroom, while a missed or misplaced tap is off by a whole term.
bool planarClose(float got, const Expected& e, size_t i, bool relu) {
    const double want = relu ? std::max(e.value[i], 0.0) : e.value[i];
    return std::fabs(got - want) <= 1e-5 * e.magnitude[i];
}

// Runs `c` on AVX2/FMA, optionally with a ReLU follower, expecting kernel
// `want`; compares with the direct loops (rectified when fused).
void checkPlanar(const Case& c, bool relu, KernelId want, unsigned seed, bool nhwcWeights = false) {
    auto b = build(false, c, seed, nhwcWeights);
    std::unique_ptr<Layer> act = relu ? follower(*b, 1, 0.0f) : nullptr;
    TestEnv env;
    b->layer->prepare(env);
    auto* layer = static_cast<x86::Conv*>(b->layer);
    const std::string shape = "in " + std::to_string(c.ih) + "x" + std::to_string(c.iw) +
                              " pad " + std::to_string(c.pt) + std::to_string(c.pb) +
                              std::to_string(c.pl) + std::to_string(c.pr) + " stride h " +
                              std::to_string(c.sh) + " dil " + std::to_string(c.dh) +
                              std::to_string(c.dw) + (relu ? " relu" : "");
    ASSERT_EQ(layer->selectKernel(env), want) << shape;
    ASSERT_TRUE(layer->forward(env)) << shape;
    EXPECT_TRUE(!act || act->skip) << shape;
    const Tensor& out = *b->layer->outputs[0];
    const Expected e = referenceConv(*b, c, int(out.h), int(out.w));
    ASSERT_EQ(e.value.size(), size_t(out.count)) << shape;
    for (size_t i = 0; i < e.value.size(); ++i)
        ASSERT_TRUE(planarClose(out.f32()[i], e, i, relu))
            << shape << " element " << i << ": " << out.f32()[i] << " vs " << e.value[i];
}

struct Pads {
    int left, right;
};

// Heights 1..5 with top/bottom pads 0/1 and strides 1/2; shapes with no
// output row are left out.
template <class Run>
void sweepRows(int dh, Run run) {
    for (int ih = 1; ih <= 5; ++ih)
        for (int pt : {0, 1})
            for (int pb : {0, 1})
                for (int sh : {1, 2})
                    if (ih + pt + pb >= 2 * dh + 1)
                        for (bool relu : {false, true}) run(ih, pt, pb, sh, relu);
}

TEST(ConvKernels, ThreeOutput3x3MatchesDirectLoops) {
    if (!hasAvx2()) GTEST_SKIP() << "needs AVX2 and FMA";
    ScopedCpuOverride guard(IsaLevel::Avx2Fma);
    unsigned seed = 100;
    // Input width ow + 2 - left - right: borders of 0, 1 or 2 zero columns.
    for (int ow : {32, 64, 96})
        for (Pads p : {Pads{1, 1}, Pads{0, 0}, Pads{1, 0}, Pads{2, 1}})
            for (int dh : {1, 2})
                sweepRows(dh, [&](int ih, int pt, int pb, int sh, bool relu) {
                    const int iw = ow + 2 - p.left - p.right;
                    const Case c{ih, iw, 4, 3, 3, 3, sh, 1, dh, 1, pt, pb, p.left, p.right};
                    checkPlanar(c, relu, KernelId::Fast3x3ThreeOut, seed++);
                });
}

// Code 36 leaves NHWC weights in their plain order, so a three-output layer
// with NHWC weights must go to a kernel that reads a layout it can get.
TEST(ConvKernels, ThreeOutputShapeWithNhwcWeightsTakesTheFourChannelKernel) {
    if (!hasAvx2()) GTEST_SKIP() << "needs AVX2 and FMA";
    ScopedCpuOverride guard(IsaLevel::Avx2Fma);
    unsigned seed = 900;
    for (int ow : {32, 64})
        for (bool relu : {false, true}) {
            const Case c{3, ow, 4, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1};
            checkPlanar(c, relu, KernelId::Fast3x3B4, seed++, true);
        }
}

TEST(ConvKernels, SingleOutput3x3MatchesDirectLoops) {
    if (!hasAvx2()) GTEST_SKIP() << "needs AVX2 and FMA";
    ScopedCpuOverride guard(IsaLevel::Avx2Fma);
    unsigned seed = 5000;
    // Widths around the 48- and 8-column steps; the selector leaves the
    // column dilation free, so 2 is swept as well.
    for (int ow : {1, 7, 8, 9, 48, 50, 97})
        for (int pr : {0, 1})
            for (int dw : {1, 2})
                sweepRows(1, [&](int ih, int pt, int pb, int sh, bool relu) {
                    const int iw = ow + 2 * dw - 1 - pr;
                    const Case c{ih, iw, 3, 1, 3, 3, sh, 1, 1, dw, pt, pb, 1, pr};
                    checkPlanar(c, relu, KernelId::Fast3x3SingleOut, seed++);
                });
}

// All-ones input and weights, bias 0.5, padding 1: each output is 0.5 plus
// IC times the number of taps inside the image (2 or 3 rows, 2 or 3 columns).
TEST(ConvKernels, Planar3x3CountsTapsInsideTheImage) {
    if (!hasAvx2()) GTEST_SKIP() << "needs AVX2 and FMA";
    ScopedCpuOverride guard(IsaLevel::Avx2Fma);
    const std::pair<Case, KernelId> cases[] = {
        {{3, 32, 4, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, KernelId::Fast3x3ThreeOut},
        {{3, 9, 3, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1}, KernelId::Fast3x3SingleOut}};
    for (const auto& [c, id] : cases) {
        auto b = build(false, c, 1);
        for (const char* name : {"w", "b"}) {
            Tensor& t = lookup(b->weights, name);
            std::fill(t.floatData(kNCHW), t.floatData(kNCHW) + t.count, name[0] == 'w' ? 1.f : .5f);
        }
        Tensor& in = lookup(b->blobs, "in");
        std::fill(in.floatData(), in.floatData() + in.count, 1.0f);
        TestEnv env;
        b->layer->prepare(env);
        ASSERT_EQ(static_cast<x86::Conv*>(b->layer)->selectKernel(env), id);
        ASSERT_TRUE(b->layer->forward(env));
        const float* out = b->layer->outputs[0]->f32();
        for (int y = 0; y < c.ih; ++y)
            for (int x = 0; x < c.iw; ++x) {
                const int rows = y == 0 || y == c.ih - 1 ? 2 : 3;
                const int cols = x == 0 || x == c.iw - 1 ? 2 : 3;
                for (int o = 0; o < c.oc; ++o)
                    ASSERT_EQ(out[(y * c.iw + x) * c.oc + o], 0.5f + float(c.ic * rows * cols))
                        << "oc " << c.oc << " at " << y << "," << x;
            }
    }
}

}  // namespace
}  // namespace conv_test
