// The filter's binding of the caller's buffer and its state handling, on the
// probe net, which reports exactly what the filter gave it.
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <numeric>

#include "host/aec_pipeline.h"
#include "tests/plugin/plugin_fixture.h"
#include "tests/plugin/probe_layout.h"

namespace {

using plugintest::kFeatureFloats;
using plugintest::kMaskFloats;

class ProbeFilterTest : public plugintest::PluginTest {
protected:
    void SetUp() override {
        load(AEC_PROBE_PLUGIN);
        filter = host.createFilter(zelta::kEchoFilterName);
        ASSERT_TRUE(filter);
    }
    // Exactly 9234 floats on the heap, so any read past them is caught.
    std::unique_ptr<float[]> ramp(float start) {
        std::unique_ptr<float[]> f(new float[kFeatureFloats]);
        std::iota(f.get(), f.get() + kFeatureFloats, start);
        return f;
    }
    std::vector<float> run(const float* features) {
        std::vector<float> mask(kMaskFloats, -7.0f);
        EXPECT_EQ(filter.processFrame(features, mask.data()), 0);
        return mask;
    }
    zelta::Filter filter;
};

TEST_F(ProbeFilterTest, WindowsOverlapInTheCallersBuffer) {
    auto f = ramp(0.0f);
    std::vector<float> m = run(f.get());
    EXPECT_EQ(m[probe::kCountA], 6156.0f);
    EXPECT_EQ(m[probe::kCountB], 6156.0f);
    EXPECT_EQ(m[probe::kHA], 12.0f);
    EXPECT_EQ(m[probe::kWA], 513.0f);
    EXPECT_EQ(m[probe::kHB], 12.0f);
    EXPECT_EQ(m[probe::kWB], 513.0f);
    EXPECT_EQ(m[probe::kCountS1], 128.0f);
    EXPECT_EQ(m[probe::kCountS2], 128.0f);
    EXPECT_EQ(m[probe::kOffsetB], 3078.0f);
    EXPECT_EQ(m[probe::kFirstA], 0.0f);
    EXPECT_EQ(m[probe::kLastA], 6155.0f);
    EXPECT_EQ(m[probe::kFirstB], 3078.0f);
    EXPECT_EQ(m[probe::kLastB], 9233.0f);
    EXPECT_EQ(m[probe::kNotOwned], 1.0f);
    for (int k = 0; k < probe::kState; ++k) {
        ASSERT_EQ(m[probe::kState1 + k], 0.0f) << "first frame starts from a zero state";
        ASSERT_EQ(m[probe::kState2 + k], 0.0f);
    }
    // A second, different buffer rebinds both windows.
    auto g = ramp(100000.0f);
    m = run(g.get());
    EXPECT_EQ(m[probe::kFirstA], 100000.0f);
    EXPECT_EQ(m[probe::kFirstB], 103078.0f);
    EXPECT_EQ(m[probe::kState1 + 5], 5.0f);
    EXPECT_EQ(m[probe::kState2 + 5], 9233.0f - 5.0f);
}

TEST_F(ProbeFilterTest, ScaleStateScalesOrClears) {
    auto f = ramp(1.0f);
    run(f.get());  // state1[k] = k + 1, state2[k] = 9234 - k
    auto expectStates = [&](float scale, const char* what) {
        auto zero = ramp(0.0f);
        std::vector<float> m = run(zero.get());
        for (int k = 0; k < probe::kState; ++k) {
            const float s1 = float(k + 1) * scale, s2 = float(9234 - k) * scale;
            ASSERT_FLOAT_EQ(m[probe::kState1 + k], s1) << what << " k=" << k;
            ASSERT_FLOAT_EQ(m[probe::kState2 + k], s2) << what << " k=" << k;
        }
        EXPECT_EQ(filter.scaleState(0.0f), 0);  // start the next case from zero
        run(f.get());
    };
    EXPECT_EQ(filter.scaleState(1.0f), 0);
    expectStates(1.0f, "factor 1");
    EXPECT_EQ(filter.scaleState(0.5f), 0);
    expectStates(0.5f, "factor 0.5");
    EXPECT_EQ(filter.scaleState(0.0f), 0);
    expectStates(0.0f, "factor 0");
    EXPECT_EQ(filter.scaleState(-1.0f), 0);
    expectStates(0.0f, "factor -1 clears, it does not negate");
    EXPECT_EQ(filter.scaleState(std::numeric_limits<float>::quiet_NaN()), 0);
    // NaN scales like a positive factor; the next frame finds the state
    // non-finite, passes those bins with gain 1 and clears the state.
    auto zero = ramp(0.0f);
    std::vector<float> m = run(zero.get());
    for (int k = 0; k < probe::kState; ++k) {
        ASSERT_EQ(m[probe::kState1 + k], 1.0f) << "k=" << k;
        ASSERT_EQ(m[probe::kState2 + k], 1.0f) << "k=" << k;
    }
    m = run(zero.get());
    for (int k = 0; k < probe::kState; ++k) {
        ASSERT_EQ(m[probe::kState1 + k], 0.0f) << "k=" << k;
        ASSERT_EQ(m[probe::kState2 + k], 0.0f) << "k=" << k;
    }
}

// A mask bin that is not finite gets one gain whichever way it arrives: from
// the net inside the filter (the probe copies a poisoned state into the
// mask) or from any other mask source the host pipeline runs. That gain is
// 1: a fault may leave a frame's echo in, but never cuts the near-end talker.
TEST_F(ProbeFilterTest, FilterAndPipelineGiveNonFiniteBinsGainOne) {
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();
    auto f = ramp(1.0f);
    std::vector<float> fromFilter;
    for (float poison : {kInf, kNaN}) {
        run(f.get());  // positive states
        EXPECT_EQ(filter.scaleState(poison), 0);
        fromFilter = run(f.get());
        ASSERT_EQ(fromFilter[probe::kState1], 1.0f) << poison;
        ASSERT_EQ(fromFilter[probe::kState2 + probe::kState - 1], 1.0f) << poison;
    }
    aec::AecOptions options;
    options.maskFloor = 0.25f;
    options.delayMs = 0;
    auto pipeline = aec::AecPipeline::create(options);
    ASSERT_TRUE(pipeline);
    const float raw[] = {kNaN, kInf, -kInf, 0.5f, 0.1f, 2.0f};
    pipeline->setMaskSource([&](const float*, float* mask) {
        for (size_t k = 0; k < kMaskFloats; ++k) mask[k] = raw[k % std::size(raw)];
    });
    // A far end that sounds throughout, so the mask applies in full.
    std::vector<float> mic(aec::kHop, 0.0f), ref(aec::kHop), out(aec::kHop);
    for (int t = 0; t < 10; ++t) {
        for (int n = 0; n < aec::kHop; ++n) ref[size_t(n)] = 0.3f * float(std::sin(0.05 * (t * aec::kHop + n)));
        pipeline->process(mic.data(), ref.data(), out.data());
    }
    const float gain = fromFilter[probe::kState1];
    const float expected[] = {gain, gain, gain, 0.5f, 0.25f, 1.0f};
    for (size_t k = 0; k < kMaskFloats; ++k) ASSERT_EQ(pipeline->gains()[k], expected[k % std::size(raw)]) << k;
}

TEST_F(ProbeFilterTest, NullBuffersTouchNothing) {
    std::vector<float> mask(kMaskFloats, 3.0f);
    // One float: if the filter read the features despite the null mask, the
    // sanitizer build would report it.
    std::unique_ptr<float[]> tiny(new float[1]{0.0f});
    EXPECT_EQ(filter.processFrame(tiny.get(), nullptr), -2);
    EXPECT_EQ(filter.processFrame(nullptr, mask.data()), -2);
    EXPECT_EQ(filter.processFrame(nullptr, nullptr), -2);
    for (float v : mask) ASSERT_EQ(v, 3.0f);
    // The rejected calls did not warm up or run the net: the state is fresh.
    auto f = ramp(0.0f);
    std::vector<float> m = run(f.get());
    EXPECT_EQ(m[probe::kState1 + 3], 0.0f);
}

TEST_F(ProbeFilterTest, FailedRunStillReturnsTheMaskBlob) {
    auto f = ramp(0.0f);
    f[0] = -1.0f;  // the probe layer refuses to run
    std::vector<float> m = run(f.get());
    for (float v : m) ASSERT_EQ(v, 0.0f) << "a mask no layer wrote is zeros";
    f[0] = 0.0f;
    m = run(f.get());
    f[0] = -1.0f;
    EXPECT_EQ(run(f.get()), m) << "a failed run leaves the last mask in place";
}

}  // namespace
