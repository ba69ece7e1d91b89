#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/layers/elementwise/test_util.h"
#include "ynet/layers/activation/activation.h"

namespace {

using namespace YNet;
using test_support::RecordBuilder;
using test_support::uniformFloats;

bool isFollower(const Layer* p, const Layer* f) {
    return std::find(p->followers.begin(), p->followers.end(), f) != p->followers.end();
}

RecordBuilder leaky(const char* in, const char* out) {
    RecordBuilder r("LeakyRelu", {in, out}, {6});
    r.floatWord(16, 0.01f);
    return r;
}

// Runs the net built by `build` without and with the pass and returns the
// contents of the last layer's output in each.
template <class Build>
std::pair<std::vector<float>, std::vector<float>> runBoth(Build build) {
    std::vector<float> result[2];
    for (int pass = 0; pass < 2; ++pass) {
        Net net(new x86::RunEnv);
        build(net);
        if (pass) {
            EXPECT_TRUE(net.env->optimizeGraph(net));
        } else {
            for (Layer* l : net.layers) l->reshape();
        }
        EXPECT_TRUE(net.warmup());
        EXPECT_TRUE(net.run());
        result[pass] = elemtest::contents(*net.layers.back()->outputs[0]);
    }
    return {result[0], result[1]};
}

void fillInputs(Net& net) {
    elemtest::fill(net.blobs["in"], 1, 9, 1, 12, uniformFloats(108, 5, -4, 4));
    elemtest::fill(net.blobs["in2"], 1, 9, 1, 12, uniformFloats(108, 6, -4, 4));
}

// in -> Reshape -> t -> LeakyRelu -> u ; Add(u, in2) -> s -> LeakyRelu -> v
void chain(Net& net) {
    fillInputs(net);
    elemtest::addLayer(net, RecordBuilder("Reshape", {"in", "t"}, {1, 9, 1, 12}));
    elemtest::addLayer(net, leaky("t", "u"));
    elemtest::addLayer(net, RecordBuilder("Add", {"u", "in2", "s"}));
    elemtest::addLayer(net, leaky("s", "v"));
}

TEST(GraphPass, ActivationsBecomeInPlaceFollowersAndResultsAreUnchanged) {
    Net net(new x86::RunEnv);
    chain(net);
    ASSERT_TRUE(net.env->optimizeGraph(net));
    Layer *reshape = net.layers[0], *act1 = net.layers[1], *add = net.layers[2], *act2 = net.layers[3];
    EXPECT_TRUE(isFollower(reshape, act1));
    EXPECT_EQ(act1->inputs[0], act1->outputs[0]);
    EXPECT_EQ(reshape->outputs[0], &net.blobs["u"]);
    // The Add first took u as its output (so u's producer is the Add), then
    // the second activation moved the Add's output on to v.
    EXPECT_EQ(net.blobs["u"].producer, add);
    EXPECT_TRUE(isFollower(add, act2));
    EXPECT_EQ(act2->inputs[0], act2->outputs[0]);
    EXPECT_EQ(add->outputs[0], &net.blobs["v"]);
    EXPECT_EQ(add->inputs[0], &net.blobs["u"]);
    for (size_t i = 0; i < net.layers.size(); ++i) {
        EXPECT_FALSE(net.layers[i]->fused);
        EXPECT_EQ(net.layers[i]->index, uint32_t(i));
    }
    const auto [plain, optimised] = runBoth(chain);
    EXPECT_EQ(plain, optimised);
}

void sharedInput(Net& net) {
    fillInputs(net);
    elemtest::addLayer(net, RecordBuilder("Reshape", {"in", "t"}, {1, 9, 1, 12}));
    elemtest::addLayer(net, RecordBuilder("Sigmoid", {"t", "g"}, {5}));
    elemtest::addLayer(net, RecordBuilder("Mul", {"g", "t", "m"}));
    elemtest::addLayer(net, RecordBuilder("Add", {"m", "in2", "out"}));
}

TEST(GraphPass, SigmoidGateFusesIntoSwish) {
    Net net(new x86::RunEnv);
    sharedInput(net);
    ASSERT_TRUE(net.env->optimizeGraph(net));
    auto* s = dynamic_cast<core::Activation*>(net.layers[1]);
    EXPECT_EQ(s->type, "Swish");
    EXPECT_EQ(s->kind, 7u);
    EXPECT_EQ(s->outputs[0], &net.blobs["t"]);
    EXPECT_TRUE(net.layers[2]->removed);
    EXPECT_EQ(net.layers[3]->inputs[0], &net.blobs["t"]);
    EXPECT_TRUE(s->followers.empty());
    const auto [plain, optimised] = runBoth(sharedInput);
    ASSERT_EQ(plain.size(), optimised.size());
    // Both products carry the sigmoid's reciprocal-estimate error.
    for (size_t i = 0; i < plain.size(); ++i)
        EXPECT_NEAR(plain[i], optimised[i], 1.5e-3 * std::fabs(plain[i]) + 1e-5) << i;
}

// The gate's input also feeds an Add, and the gate's product is with
// another tensor: fusing would hand the Add x*sigmoid(x) in place of x.
void gateOfOtherProduct(Net& net) {
    fillInputs(net);
    elemtest::addLayer(net, RecordBuilder("Reshape", {"in", "t"}, {1, 9, 1, 12}));
    elemtest::addLayer(net, RecordBuilder("Sigmoid", {"t", "g"}, {5}));
    elemtest::addLayer(net, RecordBuilder("Add", {"t", "in2", "a"}));
    elemtest::addLayer(net, RecordBuilder("Mul", {"g", "in2", "m"}));
    elemtest::addLayer(net, RecordBuilder("Add", {"a", "m", "out"}));
}

TEST(GraphPass, SigmoidWhoseInputFeedsAnotherLayerIsNotFused) {
    Net net(new x86::RunEnv);
    gateOfOtherProduct(net);
    ASSERT_TRUE(net.env->optimizeGraph(net));
    EXPECT_EQ(net.layers[1]->type, "Sigmoid");
    EXPECT_EQ(net.layers[1]->outputs[0], &net.blobs["g"]);
    EXPECT_FALSE(net.layers[3]->removed);
    const auto [plain, optimised] = runBoth(gateOfOtherProduct);
    EXPECT_EQ(plain, optimised);
}

TEST(GraphPass, SharedInputsAndMismatchedShapesStayOutOfPlace) {
    Net net(new x86::RunEnv);
    fillInputs(net);
    Layer* r = elemtest::addLayer(net, RecordBuilder("Reshape", {"in", "t"}, {1, 9, 1, 12}));
    Layer* a1 = elemtest::addLayer(net, leaky("t", "u"));  // t has two readers
    elemtest::addLayer(net, RecordBuilder("Concat", {"t", "u", "c"}));
    Layer* s3 = elemtest::addLayer(net, RecordBuilder("Sigmoid", {"c", "g"}, {5}));
    elemtest::addLayer(net, RecordBuilder("Mul", {"c", "g", "m1"}));
    elemtest::addLayer(net, RecordBuilder("Mul", {"c", "g", "m2"}));
    elemtest::fill(net.blobs["row"], 1, 1, 1, 12, uniformFloats(12, 3, -4, 4));
    Layer* add = elemtest::addLayer(net, RecordBuilder("Add", {"row", "in2", "w"}));
    ASSERT_TRUE(net.env->optimizeGraph(net));
    EXPECT_TRUE(r->followers.empty());
    EXPECT_NE(a1->inputs[0], a1->outputs[0]);
    EXPECT_EQ(s3->type, "Sigmoid");  // input read by three layers
    EXPECT_EQ(add->outputs[0], &net.blobs["w"]);  // no producer / other shape

    Net single(new x86::RunEnv);
    fillInputs(single);
    Layer* only = elemtest::addLayer(single, leaky("in", "o"));
    ASSERT_TRUE(single.env->optimizeGraph(single));
    EXPECT_EQ(single.blobs["o"].c, 12u);
    EXPECT_NE(only->inputs[0], only->outputs[0]);
}

}  // namespace
