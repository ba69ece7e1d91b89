// The embedded-model plug-in from library load to the last release, with
// the host recording every boundary call.
#include <algorithm>

#include "tests/plugin/plugin_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using plugintest::features;
using plugintest::kMaskFloats;

class EchoPluginTest : public plugintest::PluginTest {
protected:
    void SetUp() override { load(AEC_PLUGIN); }

    std::vector<std::vector<float>> runFrames(zelta::Filter& filter, int frames, int stream) {
        std::vector<std::vector<float>> masks;
        for (int i = 0; i < frames; ++i) masks.push_back(frame(filter, i, stream));
        return masks;
    }
    static std::vector<float> frame(zelta::Filter& filter, int index, int stream) {
        std::vector<float> f = features(index, stream), mask(kMaskFloats, -1.0f);
        EXPECT_EQ(filter.processFrame(f.data(), mask.data()), 0);
        return mask;
    }
};

TEST_F(EchoPluginTest, RoadFromLoadToRelease) {
    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    ASSERT_TRUE(filter);
    std::vector<float> mask = frame(filter, 0, 0);
    for (float v : mask) {
        ASSERT_GE(v, 0.0f);
        ASSERT_LE(v, 1.0f);
    }
    EXPECT_EQ(filter.scaleState(0.5f), 0);
    EXPECT_EQ(filter.release(), 0);
    host.unload();
    const std::vector<std::string> expected = {
        "registerProviderFactory zelta_custom_aiaec",
        "providerFactory zelta_custom_aiaec",
        "getExtensionHost",
        "declareProvider zelta_custom_aiaec 999 0 0",
        "registerProvider zelta_custom_aiaec",
        "log 1 Valid Extension Control Received by ZeltaAiEchoCancellationProvider",
        "setExtensionControl zelta_custom_aiaec=0",
        "createAudioFilter ai_echo_cancellation_source=filter",
        "addRef",
        "processFrame=0",
        "scaleState 0.5=0",
        "release=0",
        "release provider zelta_custom_aiaec=0",
    };
    EXPECT_EQ(calls, expected);
}

TEST_F(EchoPluginTest, TwoFiltersAreIndependent) {
    constexpr int kFrames = 5;
    std::vector<std::vector<float>> a, b;
    {
        zelta::Filter first = host.createFilter(zelta::kEchoFilterName);
        zelta::Filter second = host.createFilter(zelta::kEchoFilterName);
        for (int i = 0; i < kFrames; ++i) {
            a.push_back(frame(first, i, 0));
            b.push_back(frame(second, i, 1));
        }
    }
    zelta::Filter alone = host.createFilter(zelta::kEchoFilterName);
    EXPECT_EQ(runFrames(alone, kFrames, 0), a);
    alone = host.createFilter(zelta::kEchoFilterName);
    EXPECT_EQ(runFrames(alone, kFrames, 1), b);
    EXPECT_NE(a.back(), b.back()) << "different inputs should give different masks";
}

TEST_F(EchoPluginTest, ScaleStateResetsAndKeeps) {
    zelta::Filter fresh = host.createFilter(zelta::kEchoFilterName);
    const std::vector<std::vector<float>> reference = runFrames(fresh, 4, 0);
    ASSERT_NE(reference[0], reference[3]) << "the state should change the mask";

    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    runFrames(filter, 3, 0);
    EXPECT_EQ(filter.scaleState(1.0f), 0);
    EXPECT_EQ(frame(filter, 3, 0), reference[3]) << "factor 1 keeps the state";
    for (float factor : {0.0f, -1.0f}) {
        EXPECT_EQ(filter.scaleState(factor), 0);
        EXPECT_EQ(frame(filter, 0, 0), reference[0]) << "factor " << factor << " resets";
    }
}

// Runs in its own frame so no stale pointer on the test's stack keeps the
// filter reachable for the leak check.
__attribute__((noinline)) void useAndRelease(zelta::PluginHost& host) {
    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    std::vector<float> f = features(0), mask(kMaskFloats);
    EXPECT_EQ(filter.processFrame(f.data(), mask.data()), 0);
    void* object = filter.raw();
    zelta::callSlot<void>(object, zelta::kAddRef);
    EXPECT_EQ(zelta::callSlot<int32_t>(object, zelta::kRelease), 1);
    EXPECT_EQ(filter.release(), 0);
}

TEST_F(EchoPluginTest, LastReleaseFreesEverything) {
    useAndRelease(host);
    host.unload();
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

}  // namespace
