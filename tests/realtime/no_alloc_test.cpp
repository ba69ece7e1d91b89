// After warm-up a real-time audio thread must not touch the allocator: the
// echo filter's frame through the SDK, and the streaming canceller around it
// at the rates and block sizes hosts use, allocate nothing per frame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/aec_stream.h"
#include "host/sdk/host_api.h"
#include "model/echo_net.h"
#include "tests/realtime/alloc_counter.h"
#include "ynet/cpu_info.h"

namespace {

constexpr size_t kFeatureFloats = 9234;
constexpr size_t kMaskFloats = 513;

class NoAllocation : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(host.load(AEC_PLUGIN, &error)) << error;
        filter = host.createFilter(zelta::kEchoFilterName);
        ASSERT_TRUE(filter);
    }
    void TearDown() override {
        filter.release();
        host.unload();
    }

    // The filter as the stream's mask source, the way the aec tool uses it.
    aec::MaskSource filterSource() {
        zelta::Filter* f = &filter;
        return aec::MaskSource([f](const float* features, float* mask) { f->processFrame(features, mask); },
                               [f] { f->scaleState(0.0f); });
    }

    zelta::PluginHost host;
    zelta::Filter filter;
};

// Features in the range the host produces, different every frame.
std::vector<float> features(int frame) {
    std::vector<float> f(kFeatureFloats);
    for (size_t i = 0; i < f.size(); ++i) f[i] = float(2.5 * std::sin(0.011 * double(i) + 0.9 * frame) - 2.0);
    return f;
}

// Far-end noise and a mic that holds its echo plus a near-end tone.
struct Signals {
    explicit Signals(int rate) : rate(rate) {}
    void next(float* mic, float* ref, size_t count) {
        for (size_t n = 0; n < count; ++n, ++t) {
            state = state * 1664525u + 1013904223u;
            const float far = float(int32_t(state)) * 0.2f / 2147483648.0f;
            mic[n] = 0.6f * echo + 0.1f * float(std::sin(2.0 * M_PI * 440.0 * double(t) / rate));
            echo = far;
            ref[n] = far;
        }
    }
    int rate;
    long t = 0;
    uint32_t state = 12345;
    float echo = 0.0f;
};

TEST_F(NoAllocation, CounterSeesThePlugInsAllocations) {
    EXPECT_GT(alloctest::allocationsDuring([&] { zelta::Filter other = host.createFilter(zelta::kEchoFilterName); }),
              0);
    std::vector<float> mask(kMaskFloats);
    const std::vector<float> f = features(0);
    // The first frame warms the net up: weights are converted and packed.
    EXPECT_GT(alloctest::allocationsDuring([&] { filter.processFrame(f.data(), mask.data()); }), 0);
}

TEST_F(NoAllocation, FilterFramesAfterWarmUp) {
    std::vector<float> mask(kMaskFloats);
    std::vector<std::vector<float>> frames;
    for (int t = 0; t < 20; ++t) frames.push_back(features(t));
    std::vector<float> garbage = frames[3];
    for (size_t i = 0; i < garbage.size(); i += 7) garbage[i] = std::numeric_limits<float>::quiet_NaN();
    for (int t = 0; t < 3; ++t) ASSERT_EQ(filter.processFrame(frames[size_t(t)].data(), mask.data()), 0);
    const long count = alloctest::allocationsDuring([&] {
        for (int t = 0; t < 200; ++t) filter.processFrame(frames[size_t(t) % frames.size()].data(), mask.data());
        // Non-finite features, a scaled, a cleared and a poisoned state.
        filter.processFrame(garbage.data(), mask.data());
        filter.scaleState(0.5f);
        filter.processFrame(frames[0].data(), mask.data());
        filter.scaleState(std::numeric_limits<float>::quiet_NaN());
        filter.processFrame(frames[1].data(), mask.data());
        filter.scaleState(0.0f);
        filter.processFrame(frames[2].data(), mask.data());
    });
    EXPECT_EQ(count, 0);
    for (float m : mask) ASSERT_TRUE(m >= 0.0f && m <= 1.0f);
}

// The engine's own frame on every instruction-set tier this machine has:
// each tier runs other kernels, and none may allocate once warm.
TEST(NoAllocationEngine, FramesOnEveryTier) {
    const std::vector<float> a = features(1), b = features(2);
    for (YNet::IsaLevel level : YNet::CpuInfo::supportedLevels()) {
        YNet::ScopedCpuOverride guard(level);
        std::unique_ptr<YNet::Net> net(buildEchoCancellationNet(0));
        ASSERT_TRUE(net);
        auto frame = [&](const std::vector<float>& f) {
            for (int i = 0; i < 2; ++i)
                YNet::lookup(net->blobs, net->inputNames[size_t(i)])
                    .bindFloats(const_cast<float*>(f.data()) + i * 3078, 1, 12, 513, 1, YNet::kNHWC);
            for (int i = 2; i < 4; ++i)
                YNet::lookup(net->blobs, net->inputNames[size_t(i)]).set(1, 1, 1, 128, YNet::kNHWC);
            ASSERT_TRUE(net->warmup());
            ASSERT_TRUE(net->run(0));
        };
        frame(a);
        frame(b);
        const long count = alloctest::allocationsDuring([&] {
            for (int t = 0; t < 50; ++t) frame(t % 2 ? a : b);
        });
        EXPECT_EQ(count, 0) << "tier " << int(level);
    }
}

// Every rate class: 16 kHz straight through, 8 kHz resampled, 44.1 and
// 48 kHz with the high band; blocks of one sample up to 1024, in an order
// that leaves partial hops behind, now and then with a NaN or an infinity.
TEST_F(NoAllocation, StreamBlocksAfterWarmUp) {
    const size_t blocks[] = {160, 1, 441, 97, 1024, 480, 10};
    for (int rate : {16000, 8000, 44100, 48000}) {
        SCOPED_TRACE(rate);
        std::unique_ptr<aec::AecStream> stream = aec::AecStream::create(rate);
        ASSERT_TRUE(stream);
        stream->setMaskSource(filterSource());
        Signals signals(rate);
        std::vector<float> mic(1024), ref(1024), out(1024);
        auto play = [&](int seconds) {
            for (long done = 0, i = 0; done < long(seconds) * rate; done += long(blocks[i % 7]), ++i) {
                const size_t count = blocks[i % 7];
                signals.next(mic.data(), ref.data(), count);
                if (i % 50 == 7) mic[0] = std::numeric_limits<float>::quiet_NaN();
                if (i % 50 == 31) ref[count - 1] = std::numeric_limits<float>::infinity();
                stream->process(mic.data(), ref.data(), out.data(), count);
            }
        };
        play(2);
        EXPECT_EQ(alloctest::allocationsDuring([&] { play(3); }), 0);
        stream->reset();
        play(1);
        EXPECT_EQ(alloctest::allocationsDuring([&] { play(1); }), 0) << "after a reset";
        EXPECT_GT(stream->nonFiniteSamples(), 0);
    }
}

}  // namespace
