// The host's view of the plug-in's objects: every slot called by index
// through the raw table, as a host built by another compiler calls them.
#include <cstdint>
#include <new>
#include <string>

#include "plugin/host_interfaces.h"
#include "tests/plugin/plugin_fixture.h"

namespace {

using zelta::callSlot;

class SlotTest : public plugintest::PluginTest {
protected:
    void SetUp() override {
        load(AEC_PLUGIN);
        provider = host.provider();
        ASSERT_NE(provider, nullptr);
    }
    void* create(const char* name) {
        return callSlot<void*, const char*>(provider, zelta::kCreateAudioFilter, name);
    }
    void* provider = nullptr;
};

TEST_F(SlotTest, ProviderSlots) {
    EXPECT_TRUE(callSlot<bool>(provider, zelta::kHasOneRef)) << "the host holds the one reference";
    callSlot<void>(provider, zelta::kAddRef);
    EXPECT_FALSE(callSlot<bool>(provider, zelta::kHasOneRef));
    EXPECT_EQ(callSlot<int32_t>(provider, zelta::kRelease), 1);
    EXPECT_TRUE(callSlot<bool>(provider, zelta::kHasOneRef));

    int32_t result = 77;
    callSlot<void, const void*, int32_t*>(provider, 5, nullptr, &result);
    EXPECT_EQ(result, 0);
    // Slots 6 to 8 fill the return slot the caller passes and return it.
    for (int slot : {6, 7, 8}) {
        SharedRef result{reinterpret_cast<SharedObject*>(uintptr_t(0x5a5a5a5a5a5a5a5a))};
        EXPECT_EQ((callSlot<SharedRef*, SharedRef*>(provider, slot, &result)), &result) << slot;
        EXPECT_EQ(result.object, nullptr) << slot;
    }
    callSlot<void>(provider, 9);
    callSlot<void>(provider, 11);
    const size_t before = calls.size();
    EXPECT_EQ((callSlot<int32_t, void*>(provider, zelta::kSetExtensionControl, nullptr)), 0);
    EXPECT_EQ(calls.size(), before) << "a null control logs nothing";
    EXPECT_TRUE(callSlot<bool>(provider, zelta::kHasOneRef));
}

TEST_F(SlotTest, FilterNameMatching) {
    const std::string name = zelta::kEchoFilterName;
    ASSERT_EQ(name.size(), 27u);
    EXPECT_EQ(create(nullptr), nullptr);
    EXPECT_EQ(create(""), nullptr);
    EXPECT_EQ(create((name + "x").c_str()), nullptr);
    EXPECT_EQ(create(name.substr(0, 26).c_str()), nullptr);
    EXPECT_EQ(create("AI_ECHO_CANCELLATION_SOURCE"), nullptr);
    EXPECT_EQ(create("ai_echo_cancellation_Source"), nullptr);
    void* filter = create(name.c_str());
    ASSERT_NE(filter, nullptr);
    // Handed over at count 0, released through slot 1 like any host would.
    EXPECT_FALSE(callSlot<bool>(filter, zelta::kHasOneRef));
    callSlot<void>(filter, zelta::kAddRef);
    EXPECT_TRUE(callSlot<bool>(filter, zelta::kHasOneRef));
    EXPECT_EQ(callSlot<int32_t>(filter, zelta::kRelease), 0);
}

TEST_F(SlotTest, FilterSlots) {
    void* filter = create(zelta::kEchoFilterName);
    ASSERT_NE(filter, nullptr);
    callSlot<void>(filter, zelta::kAddRef);
    callSlot<void>(filter, zelta::kAddRef);
    std::vector<float> features = plugintest::features(0), bySlot(513), byHost(513);
    EXPECT_EQ((callSlot<int32_t, const float*, float*>(filter, zelta::kProcessFrame,
                                                       features.data(), bySlot.data())),
              0);
    EXPECT_EQ((callSlot<int32_t, const float*, float*>(filter, zelta::kProcessFrame, nullptr,
                                                       bySlot.data())),
              -2);
    EXPECT_EQ((callSlot<int32_t, float>(filter, zelta::kScaleState, 0.0f)), 0);
    zelta::Filter reference = host.createFilter(zelta::kEchoFilterName);
    EXPECT_EQ(reference.processFrame(features.data(), byHost.data()), 0);
    EXPECT_EQ(bySlot, byHost);
    EXPECT_EQ(callSlot<int32_t>(filter, zelta::kRelease), 1);
    EXPECT_TRUE(callSlot<bool>(filter, zelta::kHasOneRef));
    // Slot 3 destroys and frees whatever the count says; the sanitizer build
    // checks that it frees everything exactly once.
    EXPECT_EQ((callSlot<void*, uint32_t>(filter, zelta::kDestroy, SharedObject::kFreeMemory)), filter);
}

TEST_F(SlotTest, DestructorWithoutFreeLeavesTheMemoryToTheCaller) {
    void* filter = create(zelta::kEchoFilterName);
    ASSERT_NE(filter, nullptr);
    std::vector<float> features = plugintest::features(0), mask(513);
    EXPECT_EQ((callSlot<int32_t, const float*, float*>(filter, zelta::kProcessFrame,
                                                       features.data(), mask.data())),
              0);
    // Flags 0 is an explicit destructor call: the net goes, the block stays
    // allocated, and freeing it here must be its only release.
    EXPECT_EQ((callSlot<void*, uint32_t>(filter, zelta::kDestroy, 0u)), filter);
    ::operator delete(filter);
}

}  // namespace
