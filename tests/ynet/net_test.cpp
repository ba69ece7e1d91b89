// A net of toy layers registered by the test, driven through a recording
// run environment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/layer_records.h"
#include "ynet/layer_registry.h"
#include "ynet/net.h"

using namespace YNet;
using test_support::RecordBuilder;

namespace {

constexpr int kToyBackend = 9;
std::vector<std::string> g_events;

// Parameter word 0: 1 = prepare fails, 2 = forward fails.
struct ToyLayer : Layer {
    int mode;
    ToyLayer(const LayerRecord& r, TensorMap& blobs, TensorMap& weights) : mode(r.words[0]) {
        init(r, blobs, weights, -1, 1, false, 0, 0, true);
        flops = 10;
    }
    bool prepare(core::RunEnv& env) override {
        g_events.push_back("prepare " + name);
        return Layer::prepare(env) && mode != 1;
    }
    bool forward(core::RunEnv&) override {
        g_events.push_back("forward " + name);
        return mode != 2;
    }
};
YNET_REGISTER_LAYER(kToyBackend, "Toy", ToyLayer);

struct RecordingEnv : core::RunEnv {
    int groups = 0, afterRuns = 0;
    TensorMap* seenBlobs = nullptr;
    int backendIndex() const override { return kToyBackend; }
    void onLayerGroup() override { g_events.push_back("group"); ++groups; }
    void beforeWarmup(TensorMap*, TensorMap*) override { g_events.push_back("before"); }
    void afterPrepare() override { g_events.push_back("afterPrepare"); }
    bool afterRun(Net&, uint64_t arg) override {
        g_events.push_back("afterRun " + std::to_string(arg));
        ++afterRuns;
        return true;
    }
    bool afterWarmup(Net&, TensorMap* blobs) override {
        seenBlobs = blobs;
        return true;
    }
};

struct ToyNet {
    RecordingEnv* env = new RecordingEnv;
    Net net{env};

    // A chain of `count` layers L0..L(count-1), optionally with one mode.
    explicit ToyNet(int count, int badIndex = -1, int badMode = 0) {
        g_events.clear();
        for (int i = 0; i < count; ++i) {
            RecordBuilder r("Toy", {"t" + std::to_string(i), "t" + std::to_string(i + 1)},
                            {i == badIndex ? badMode : 0});
            r.name("L" + std::to_string(i));
            net.layers.push_back(
                LayerRegistry::create(env->backendIndex(), r, net.blobs, net.weights));
        }
        lookup(net.blobs, "t0").set(1, 1, 2, 3, 0);
    }
};

std::vector<std::string> forwards() {
    std::vector<std::string> out;
    for (const std::string& e : g_events)
        if (e.rfind("forward ", 0) == 0) out.push_back(e.substr(8));
    return out;
}

}  // namespace

TEST(Net, ConstructionAndNames) {
    Net net;
    Tensor& zero = net.weights.at("__dummy_zero_tensor__");
    EXPECT_EQ(zero.count, 1024u);
    EXPECT_EQ(zero.c, 1024u);
    ASSERT_NE(zero.f32(), nullptr);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(zero.f32()[i], 0.0f);
    net.addInput("310");
    net.addInput("311");
    net.addInput("310");
    net.addOutput("mask");
    net.addOutput("mask");
    EXPECT_EQ(net.inputNames, std::vector<std::string>({"310", "311"}));
    EXPECT_EQ(net.outputNames.size(), 1u);
    Tensor& absent = lookup(net.blobs, "nothing");
    EXPECT_EQ(absent.n + absent.h + absent.w + absent.c, 0u);
    EXPECT_EQ(net.kind(), 1);
    EXPECT_EQ(net.self(), &net);
}

TEST(Net, WarmupOnceThenRunInOrderWithGroups) {
    ToyNet t(17);
    static const uint16_t half[2] = {0x3C00, 0xC000};
    WeightRecord rec{"hw", 1, 1, 1, 2, 0, 1, half, nullptr};
    lookup(t.net.weights, "hw").bind(rec, 0, true);

    EXPECT_TRUE(t.net.warmup());
    EXPECT_TRUE(t.net.ready);
    EXPECT_EQ(t.net.totalFlops, 170u);
    EXPECT_EQ(t.env->seenBlobs, &t.net.blobs);
    EXPECT_EQ(g_events.front(), "before");
    EXPECT_EQ(g_events.back(), "afterPrepare");
    EXPECT_EQ(g_events.size(), 19u);
    EXPECT_EQ(t.net.blobs.at("t1").count, 6u);  // prepare reshaped the chain
    const Tensor& hw = t.net.weights.at("hw");
    ASSERT_NE(hw.f32(), nullptr);
    EXPECT_EQ(hw.f32()[1], -2.0f);

    g_events.clear();
    EXPECT_TRUE(t.net.warmup());
    EXPECT_TRUE(g_events.empty());

    EXPECT_TRUE(t.net.run(42));
    ASSERT_EQ(forwards().size(), 17u);
    EXPECT_EQ(forwards()[16], "L16");
    EXPECT_EQ(t.env->groups, 2);
    EXPECT_EQ(g_events[9], "group");  // right after the layer at position 8
    EXPECT_EQ(g_events.back(), "afterRun 42");
}

TEST(Net, SkipAndRemovedLayersDoNotRun) {
    ToyNet t(10);
    t.net.layers[2]->skip = true;
    t.net.layers[8]->removed = true;
    t.net.layers[5]->removed = true;
    ASSERT_TRUE(t.net.warmup());
    for (const std::string& e : g_events) {
        EXPECT_NE(e, "prepare L5");
        EXPECT_NE(e, "prepare L8");
    }
    g_events.clear();
    EXPECT_TRUE(t.net.run());
    EXPECT_EQ(forwards(), std::vector<std::string>({"L0", "L1", "L3", "L4", "L6", "L7", "L9"}));
    EXPECT_EQ(t.env->groups, 0);  // position 8 did not run
}

TEST(Net, FailuresAndMessages) {
    {
        ToyNet t(4, 1, 1);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(t.net.warmup());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "L1 warmup error!\n");
        EXPECT_EQ(g_events, std::vector<std::string>(
                                {"before", "prepare L0", "prepare L1", "afterPrepare"}));
        EXPECT_TRUE(t.net.warmedUp);
        EXPECT_FALSE(t.net.ready);
        g_events.clear();
        EXPECT_TRUE(t.net.warmup());
        EXPECT_TRUE(g_events.empty());
        for (int i = 0; i < 2; ++i) {
            testing::internal::CaptureStdout();
            EXPECT_FALSE(t.net.run());
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "Not ready to run!\n");
        }
        EXPECT_EQ(t.env->afterRuns, 0);
    }
    {
        ToyNet t(4, 1, 2);
        ASSERT_TRUE(t.net.warmup());
        g_events.clear();
        testing::internal::CaptureStdout();
        EXPECT_FALSE(t.net.run());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(forwards().size(), 4u);  // a failing layer does not stop the loop
        EXPECT_EQ(t.env->afterRuns, 1);
    }
}

TEST(Net, EnvironmentsAndClear) {
    ToyNet t(3);
    EXPECT_FALSE(t.env->optimizeGraph(t.net));
    EXPECT_EQ(t.net.layers.size(), 3u);
    EXPECT_TRUE(t.env->core::RunEnv::afterRun(t.net, 0));
    EXPECT_TRUE(t.env->core::RunEnv::afterWarmup(t.net, nullptr));

    testing::internal::CaptureStdout();
    x86::RunEnv x;
    testing::internal::GetCapturedStdout();
    t.net.layers[2]->index = 0;
    EXPECT_TRUE(x.optimizeGraph(t.net));
    EXPECT_EQ(t.net.layers[2]->index, 2u);

    EXPECT_TRUE(t.net.clear());
    EXPECT_TRUE(t.net.layers.empty());
    EXPECT_TRUE(t.net.blobs.empty());
    EXPECT_TRUE(t.net.weights.empty());
}
