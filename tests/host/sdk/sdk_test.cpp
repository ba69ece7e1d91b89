// The stand-in SDK's registry driven by in-process providers: factories run
// once in order, duplicate and unknown objects are refused, and shutdown
// drops the host's references, filters before providers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/sdk/host_api.h"
#include "host/sdk/zelta_host.h"
#include "plugin/ref_counted.h"

namespace {

int liveObjects = 0;

class CountedFilter : public AudioFilter {
public:
    CountedFilter() { ++liveObjects; }
    int32_t processFrame(const float* features, float* mask) override {
        if (!features || !mask) return -2;
        mask[0] = features[0] * 2.0f;
        return 0;
    }
    int32_t scaleState(float) override { return 0; }

protected:
    ~CountedFilter() { --liveObjects; }
};

class CountedProvider : public ExtensionProvider {
public:
    CountedProvider() { ++liveObjects; }
    int32_t setExtensionControl(ExtensionControl* control) override {
        return control->log(2, control->providerName());
    }
    void reserved5(const void*, int32_t*) override {}
    SharedRef* reserved6(SharedRef* result) override { return result; }
    SharedRef* reserved7(SharedRef* result) override { return result; }
    SharedRef* reserved8(SharedRef* result) override { return result; }
    void reserved9() override {}
    AudioFilter* createAudioFilter(const char* name) override {
        return name && std::string(name) == "f" ? new RefCounter<CountedFilter>() : nullptr;
    }
    void reserved11() override {}

protected:
    ~CountedProvider() { --liveObjects; }
};

SharedRef newProvider() {
    SharedRef ref{new RefCounter<CountedProvider>()};
    ref.object->addRef();
    return ref;
}

void factoryA() { getExtensionHost()->registerProvider("a", newProvider()); }
void factoryB() {
    ExtensionHost* host = getExtensionHost();
    host->registerProvider("b", newProvider());
    EXPECT_EQ(host->registerProvider("b", newProvider()), -1) << "a taken name is refused";
    EXPECT_EQ(host->registerProvider("c", SharedRef{}), -1);
}

class SdkTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.setObserver([this](const char* call) { calls.push_back(call); });
    }
    void TearDown() override {
        host.unload();
        EXPECT_EQ(liveObjects, 0);
    }
    zelta::PluginHost host;
    ZeltaHost& sdk = host.sdk();
    std::vector<std::string> calls;
};

TEST_F(SdkTest, FactoriesRunOnceInOrder) {
    EXPECT_EQ(registerProviderFactory("a", factoryA), 0);
    EXPECT_EQ(registerProviderFactory("b", factoryB), 0);
    EXPECT_EQ(registerProviderFactory(nullptr, factoryA), -1);
    EXPECT_EQ(registerProviderFactory("x", nullptr), -1);
    EXPECT_EQ(sdk.runFactories(), 2);
    EXPECT_EQ(sdk.runFactories(), 0);
    ASSERT_EQ(sdk.providerCount(), 2);
    EXPECT_STREQ(sdk.providerName(0), "a");
    EXPECT_STREQ(sdk.providerName(1), "b");
    EXPECT_EQ(sdk.providerName(2), nullptr);
    EXPECT_STREQ(sdk.control("b")->providerName(), "b");
    EXPECT_EQ(liveObjects, 2) << "the refused duplicate was released";
    const std::vector<std::string> expected = {
        "registerProviderFactory a", "registerProviderFactory b",
        "registerProviderFactory (null)", "registerProviderFactory x",
        "providerFactory a", "getExtensionHost", "registerProvider a",
        "log 2 a", "setExtensionControl a=0",
        "providerFactory b", "getExtensionHost", "registerProvider b", "registerProvider b",
        "registerProvider c", "log 2 b", "setExtensionControl b=0"};
    EXPECT_EQ(calls, expected);
}

TEST_F(SdkTest, FiltersAreHeldUntilReleaseOrShutdown) {
    registerProviderFactory("a", factoryA);
    sdk.runFactories();
    EXPECT_FALSE(host.createFilter("f", "missing"));
    EXPECT_FALSE(host.createFilter("g", "a"));
    zelta::Filter kept = host.createFilter("f", "a");
    zelta::Filter moved = host.createFilter("f", "a");
    zelta::Filter target = std::move(moved);
    EXPECT_FALSE(moved);
    const float features[1] = {1.5f};
    float mask[1] = {0.0f};
    EXPECT_EQ(target.processFrame(features, mask), 0);
    EXPECT_EQ(mask[0], 3.0f);
    EXPECT_EQ(target.release(), 0);
    EXPECT_EQ(target.release(), -1);
    int unknown = 0;
    EXPECT_EQ(sdk.processFrame(&unknown, features, mask), -1);
    EXPECT_EQ(sdk.scaleState(&unknown, 1.0f), -1);
    EXPECT_EQ(sdk.releaseFilter(&unknown), -1);
    EXPECT_EQ(liveObjects, 2);
    calls.clear();
    host.unload();
    EXPECT_EQ(liveObjects, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"release=0", "release provider a=0"}));
    EXPECT_EQ(kept.release(), -1) << "the host no longer holds it after unload";
}

TEST_F(SdkTest, DeclareProviderReadsThreeWords) {
    const ProviderDeclaration declaration{{999, 1, 2}};
    EXPECT_EQ(declareProvider("p", &declaration), 0);
    EXPECT_EQ(declareProvider("p", nullptr), -1);
    EXPECT_EQ(calls, (std::vector<std::string>{"declareProvider p 999 1 2",
                                               "declareProvider p (null)"}));
}

}  // namespace
