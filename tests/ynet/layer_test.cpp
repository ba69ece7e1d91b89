// Layer::init binding rules and the registry's messages.
#include <gtest/gtest.h>

#include "tests/support/layer_records.h"
#include "ynet/layer_registry.h"
#include "ynet/run_env.h"

using namespace YNet;
using test_support::RecordBuilder;

namespace {

struct Args {
    int inputs = -1, outputs = 1;
    bool quantAware = false;
    int weightParams = 0, extra = 0;
    bool link = true;
};

struct BoundLayer : Layer {
    BoundLayer(const LayerRecord& r, TensorMap& blobs, TensorMap& weights, const Args& a) {
        init(r, blobs, weights, a.inputs, a.outputs, a.quantAware, a.weightParams, a.extra,
             a.link);
    }
    bool forward(core::RunEnv&) override { return true; }
};

RecordBuilder record(const std::vector<std::string>& blobs, const std::vector<std::string>& weights = {}) {
    RecordBuilder r("Toy", blobs, {}, weights);
    r.name("layer0");
    return r;
}

void addWeights(TensorMap& weights, std::initializer_list<const char*> names) {
    for (const char* n : names) lookup(weights, n);
}

Layer* makeA(const LayerRecord&, TensorMap&, TensorMap&) { return nullptr; }
Layer* makeB(const LayerRecord& r, TensorMap& b, TensorMap& w) {
    return new BoundLayer(r, b, w, Args{});
}

}  // namespace

TEST(LayerInit, BlobsAndGraphLinks) {
    TensorMap blobs, weights;
    addWeights(weights, {"wconst"});
    BoundLayer l(record({"a", "b", "", "ignored"}), blobs, weights, Args{});
    EXPECT_EQ(l.type, "Toy");
    EXPECT_EQ(l.name, "layer0");
    ASSERT_EQ(l.inputs.size(), 1u);
    ASSERT_EQ(l.outputs.size(), 1u);
    EXPECT_EQ(l.inputs[0], &blobs.at("a"));
    EXPECT_EQ(l.inputs[0]->name, "a");
    EXPECT_EQ(l.outputs[0], &blobs.at("b"));
    EXPECT_EQ(blobs.at("b").producer, &l);
    ASSERT_EQ(blobs.at("a").consumers.size(), 1u);
    EXPECT_EQ(blobs.at("a").consumers[0], &l);
    EXPECT_EQ(blobs.count("ignored"), 0u);

    // An input that names a weight binds the weight; no blob is created.
    BoundLayer m(record({"wconst", "a", "c"}), blobs, weights, Args{});
    ASSERT_EQ(m.inputs.size(), 2u);
    EXPECT_EQ(m.inputs[0], &weights.at("wconst"));
    EXPECT_EQ(blobs.count("wconst"), 0u);
    EXPECT_EQ(blobs.at("a").consumers.size(), 2u);

    const Args unlinked{1, 1, false, 0, 0, false};
    BoundLayer u(record({"x", "y", "z"}), blobs, weights, unlinked);
    EXPECT_EQ(u.outputs.size(), 2u);  // every name after the inputs is an output
    EXPECT_TRUE(blobs.at("x").consumers.empty());
    EXPECT_EQ(blobs.at("y").producer, nullptr);

    BoundLayer p(record({"a", "b"}), blobs, weights, Args{});
    p.inputs[0]->set(2, 3, 4, 5, 1);
    EXPECT_TRUE(p.reshape());
    EXPECT_EQ(p.outputs[0]->count, 120u);
    EXPECT_EQ(p.outputs[0]->layout, 1u);
}

TEST(LayerInit, WeightsAndQuantModes) {
    TensorMap blobs, weights;
    addWeights(weights, {"k", "bias", "q0", "q1", "q2", "q3", "q4", "q5"});
    // Counting stops at the first name that is not a known weight.
    BoundLayer plain(record({"a", "b"}, {"k", "bias", "missing", "q0"}), blobs, weights, Args{});
    EXPECT_EQ(plain.quantMode, 0u);
    ASSERT_EQ(plain.weights.size(), 2u);
    EXPECT_EQ(plain.weights[1], &weights.at("bias"));
    EXPECT_EQ(weights.at("bias").name, "bias");
    EXPECT_EQ(weights.count("missing"), 0u);

    // B = 2, one weight parameter, one extra: E = 3, F = 4.
    Args qa{-1, 1, true, 1, 1, true};
    BoundLayer one(record({"a", "b"}, {"q0", "q1", "q2", "q3", "k"}), blobs, weights, qa);
    EXPECT_EQ(one.quantMode, 1u);
    EXPECT_EQ(one.inputQuant, std::vector<Tensor*>({&weights.at("q0")}));
    EXPECT_EQ(one.outputQuant, std::vector<Tensor*>({&weights.at("q1"), &weights.at("q2")}));
    EXPECT_EQ(one.weightQuant, std::vector<Tensor*>({&weights.at("q3")}));
    EXPECT_EQ(one.weights, std::vector<Tensor*>({&weights.at("k")}));

    // B = 2, E = 2, F = 3: six names give pairs.
    Args qb{-1, 1, true, 0, 1, true};
    BoundLayer two(record({"a", "b"}, {"q0", "q1", "q2", "q3", "q4", "q5", "k"}), blobs,
                   weights, qb);
    EXPECT_EQ(two.quantMode, 2u);
    EXPECT_EQ(two.inputQuant, std::vector<Tensor*>({&weights.at("q0")}));
    EXPECT_EQ(two.inputQuant2, std::vector<Tensor*>({&weights.at("q1")}));
    EXPECT_EQ(two.outputQuant, std::vector<Tensor*>({&weights.at("q2")}));
    EXPECT_EQ(two.outputQuant2, std::vector<Tensor*>({&weights.at("q3")}));
    EXPECT_EQ(two.weightQuant, std::vector<Tensor*>({&weights.at("q4")}));
    EXPECT_EQ(two.weightQuant2, std::vector<Tensor*>({&weights.at("q5")}));
    EXPECT_EQ(two.weights, std::vector<Tensor*>({&weights.at("k")}));

    // Too few names for F: no quantization, all names are plain weights.
    BoundLayer none(record({"a", "b"}, {"q0", "q1"}), blobs, weights, qb);
    EXPECT_EQ(none.quantMode, 0u);
    EXPECT_EQ(none.weights.size(), 2u);
}

TEST(LayerRegistry, MessagesAndReplacement) {
    testing::internal::CaptureStdout();
    LayerRegistry::add(7, "Relu", &makeA);
    LayerRegistry::add(7, "Relu", &makeB);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Layer type Relu already registered.\n");
    EXPECT_EQ(LayerRegistry::find(7, "Relu"), &makeB);
    EXPECT_EQ(LayerRegistry::find(7, "relu"), nullptr);
    EXPECT_EQ(LayerRegistry::find(6, "Relu"), nullptr);

    TensorMap blobs, weights;
    const RecordBuilder conv("Conv", {"in", "out"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(LayerRegistry::create(2, conv, blobs, weights), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Implementation not exists: [2,Conv]\n");

    const RecordBuilder relu("Relu", {"in", "out"});
    Layer* made = LayerRegistry::create(7, relu, blobs, weights);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->type, "Relu");
    delete made;
    LayerRegistry::remove(7, "Relu");
    EXPECT_EQ(LayerRegistry::find(7, "Relu"), nullptr);
}
