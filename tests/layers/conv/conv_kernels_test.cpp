// Every kernel either selector can choose, driven through the registered
// layers under every feature set of this machine, against direct loops.
#include <gtest/gtest.h>

#include <set>
#include <string>

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
    // row line and non-line 1-D kernels
    {1, 20, 7, 16, 1, 3, 1, 1, 1, 1, 0, 0, 1, 1},
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

std::set<KernelId> runAll(bool transposed, const std::vector<Case>& cases) {
    std::set<KernelId> seen;
    unsigned seed = 1;
    for (IsaLevel level : CpuInfo::supportedLevels()) {
        ScopedCpuOverride guard(level);
        for (const Case& c : cases) seen.insert(runAndCompare(transposed, c, seed++));
    }
    return seen;
}

bool hasAvx2() { return CpuInfo::hardware().avx2() && CpuInfo::hardware().fma(); }

void expectCovered(const std::set<KernelId>& seen, KernelId first, KernelId last) {
    for (int id = int(first); id <= int(last); ++id) {
        const std::string name = conv::kernelInfo(KernelId(id)).name;
        const bool avxOnly = name.find("AVX") != std::string::npos ||
                             name.find("fast") != std::string::npos;
        if (avxOnly && !hasAvx2()) continue;
        EXPECT_TRUE(seen.count(KernelId(id))) << "never selected: " << name;
    }
}

TEST(ConvKernels, EveryConvolutionKernelMatchesDirectLoops) {
    const std::set<KernelId> seen = runAll(false, convCases());
    expectCovered(seen, KernelId::Fast1x1B32, KernelId::Scalar);
}

TEST(ConvKernels, EveryTransposedKernelMatchesScatterLoops) {
    const std::set<KernelId> seen =
        runAll(true, std::vector<Case>(std::begin(kDeconvCases), std::end(kDeconvCases)));
    expectCovered(seen, KernelId::DeOddWidth5x5, KernelId::DeGeneric);
}

// A layer whose in-place follower is `kind`: the fused result must equal the
// plain convolution followed by the follower's own forward, and the mark
// must follow the kernel's protocol.
void checkFusion(bool transposed, const Case& c, uint32_t kind, float param) {
    auto fused = build(transposed, c, 7);
    auto plain = build(transposed, c, 7);
    LayerRecord ar{};
    ar.name = "act";
    ar.type = kind == 6 ? "LeakyRelu" : "Activation";
    ar.words[0] = int32_t(kind);
    std::memcpy(&ar.words[16], &param, sizeof param);
    ar.blobs[0] = "out";
    ar.blobs[1] = "out";
    std::unique_ptr<Layer> f1(LayerRegistry::create(3, ar, fused->blobs, fused->weights));
    std::unique_ptr<Layer> f2(LayerRegistry::create(3, ar, plain->blobs, plain->weights));
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
        for (uint32_t kind : {1u, 2u, 6u}) {
            const float param = kind == 2 ? 0.5f : 0.01f;
            for (const Case& c : {fast1x1, pointwise, line, general, dot})
                checkFusion(false, c, kind, param);
            checkFusion(true, deconv, kind, param);
        }
    }
}

}  // namespace
}  // namespace conv_test
