// The embedded tables and the net the builder makes of them, checked against
// the model's published figures rather than against the generator's output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "model/weight_blob.h"
#include "tests/model/model_test_util.h"
#include "ynet/layer_registry.h"

using namespace modeltest;

namespace {

constexpr size_t kModelValues = 1227769;
constexpr size_t kModelDataBytes = 2455538;
constexpr size_t kBlobBytes = 2457920;

size_t elements(const YNet::WeightRecord& r) { return size_t(r.n) * r.h * r.w * r.c; }

uint64_t fnv1a(const unsigned char* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// Blocks back to back in table order, each on the next 128-byte boundary,
// zero-filled gaps.
TEST(ModelTables, WeightRecordsTileTheBlob) {
    EXPECT_EQ(reinterpret_cast<const void*>(WeightTable() + kWeightRecordCount),
              reinterpret_cast<const void*>(LayerTable()));
    ASSERT_EQ(weightBlobBytes(), kBlobBytes);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aecWeightBlob) % 128, 0u);
    size_t offset = 0, values = 0;
    std::set<std::string> names;
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) {
        const YNet::WeightRecord& r = WeightTable()[i];
        SCOPED_TRACE(r.name);
        EXPECT_TRUE(names.insert(r.name).second);
        EXPECT_EQ(r.layout, 1u);
        EXPECT_EQ(r.representation, 1u);
        EXPECT_EQ(r.base, nullptr);
        EXPECT_EQ(r.data, aecWeightBlob + offset);
        const size_t end = offset + 2 * elements(r);
        values += elements(r);
        offset = i + 1 < kWeightRecordCount ? (end + 127) / 128 * 128 : end;
        for (size_t b = end; b < offset; ++b) ASSERT_EQ(aecWeightBlob[b], 0) << "gap byte " << b;
    }
    EXPECT_EQ(values, kModelValues);
    EXPECT_EQ(offset, kBlobBytes);
    EXPECT_EQ(values * 2, kModelDataBytes);
}

TEST(ModelTables, LayerRecordsUseKnownTypesAndWeights) {
    const std::map<std::string, int> expected = {
        {"LeakyRelu", 34}, {"Sigmoid", 5}, {"Conv", 25},   {"DepthwiseConv", 11},
        {"DepthwiseDeConv", 1}, {"Reshape", 11}, {"TransposeAxis", 2}, {"Concat", 9},
        {"Mul", 4},        {"Add", 2},     {"MatMul", 7}, {"GRU", 2}, {"YnetAppend", 2}};
    std::set<std::string> weightNames;
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) weightNames.insert(WeightTable()[i].name);
    std::map<std::string, int> counts;
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) {
        const YNet::LayerRecord& r = LayerTable()[i];
        ++counts[r.type];
        for (const char* w : r.weightNames) {
            if (!w) continue;
            EXPECT_TRUE(weightNames.count(w)) << r.name << " uses unknown weight " << w;
        }
    }
    EXPECT_EQ(counts, expected);
    EXPECT_STREQ(LayerTable()[kLayerRecordCount - 1].blobs[1], "mask");
}

TEST(ModelNet, BuildsBindsInPlaceAndRunsActivationsInPlace) {
    EXPECT_EQ(buildEchoCancellationNet(1), nullptr);
    const uint64_t blobHash = fnv1a(aecWeightBlob, kBlobBytes);
    auto net = buildNet();
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->env->backendIndex(), 3);
    EXPECT_EQ(net->weights.size(), kWeightRecordCount + 1);
    EXPECT_EQ(net->weights.count(YNet::Net::kZeroTensorName), 1u);
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) {
        const YNet::WeightRecord& r = WeightTable()[i];
        const YNet::Tensor& t = net->weights.at(r.name);
        EXPECT_EQ(t.data[YNet::kHalf], r.data) << r.name;
        EXPECT_TRUE(t.notOwned[YNet::kHalf]) << r.name;
        EXPECT_EQ(t.data[YNet::kFloat], nullptr) << r.name;
        EXPECT_EQ(t.layout, 1u);
        EXPECT_EQ(size_t(t.count), elements(r)) << r.name;
    }
    EXPECT_EQ(net->inputNames, (std::vector<std::string>{"310", "311", "469", "493"}));
    EXPECT_EQ(net->outputNames, (std::vector<std::string>{"mask", "469", "493"}));
    EXPECT_EQ(net->blobs.at("311").count, 6156u);
    EXPECT_EQ(net->blobs.at("493").count, 128u);

    ASSERT_EQ(net->layers.size(), size_t(kLayerRecordCount));
    int activations = 0;
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) {
        const YNet::Layer& layer = *net->layers[i];
        EXPECT_EQ(layer.name, LayerTable()[i].name);
        EXPECT_EQ(layer.index, i);
        EXPECT_FALSE(layer.removed) << layer.name;
        if (layer.type != "LeakyRelu" && layer.type != "Sigmoid") continue;
        ++activations;
        const YNet::Layer& producer = *net->layers[i - 1];
        EXPECT_EQ(layer.inputs[0], layer.outputs[0]) << layer.name;
        EXPECT_EQ(producer.outputs[0], layer.outputs[0]) << layer.name;
        EXPECT_NE(std::find(producer.followers.begin(), producer.followers.end(), &layer),
                  producer.followers.end()) << layer.name;
    }
    EXPECT_EQ(activations, 39);

    std::vector<float> buffer(kBufferFloats, -1.5f);
    runFrame(*net, buffer.data());
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) {
        const YNet::Tensor& t = net->weights.at(WeightTable()[i].name);
        EXPECT_EQ(t.data[YNet::kHalf], WeightTable()[i].data);
        EXPECT_NE(t.data[YNet::kFloat], nullptr);
    }
    net.reset();
    EXPECT_EQ(fnv1a(aecWeightBlob, kBlobBytes), blobHash) << "a net wrote to the embedded weights";
}

// Shapes the layer rules give the model's blobs (a selection along the net).
TEST(ModelNet, BlobShapesAfterWarmup) {
    const std::map<std::string, std::vector<uint32_t>> shapes = {
        {"310_cus_transpose", {1, 513, 1, 12}}, {"314", {1, 257, 1, 12}}, {"317", {1, 257, 1, 64}},
        {"335", {1, 33, 1, 32}},  {"369", {1, 33, 1, 128}},  {"367", {1, 1, 64, 33}},
        {"367_cus_reshape", {1, 33, 1, 64}}, {"444", {1, 1, 1, 1056}}, {"468", {1, 1, 1, 128}},
        {"498", {1, 1, 1, 1056}}, {"505", {1, 33, 1, 32}},   {"510", {1, 65, 1, 64}},
        {"517", {1, 65, 1, 96}},  {"520_append", {1, 129, 1, 32}}, {"527_append", {1, 257, 1, 32}},
        {"534", {1, 257, 1, 1}},  {"547", {1, 1, 1, 257}},   {"551", {1, 1, 1, 513}},
        {"mask", {1, 1, 1, 513}}};
    auto net = buildNet();
    std::vector<float> buffer(kBufferFloats, 0.25f);
    runFrame(*net, buffer.data());
    for (const auto& [name, want] : shapes) {
        const YNet::Tensor& t = net->blobs.at(name);
        EXPECT_EQ((std::vector<uint32_t>{t.n, t.h, t.w, t.c}), want) << name;
    }
}

// A feature buffer shaped like log spectra: a tilt plus a fixed ripple.
std::vector<float> syntheticBuffer() {
    std::vector<float> buffer(kBufferFloats);
    for (int i = 0; i < kBufferFloats; ++i) {
        const int row = i / kRow, bin = i % kRow;
        buffer[i] = 1.0f - 4.0f * float(bin) / kRow + 0.8f * float(((bin * 37 + row * 11) % 23) - 11) / 11;
    }
    return buffer;
}

TEST(ModelNet, StatesCarryOverAndClearingRestartsTheFilter) {
    const std::vector<float> buffer = syntheticBuffer();
    auto net = buildNet();
    const Frame first = runFrame(*net, buffer.data());
    const Frame second = runFrame(*net, buffer.data());
    for (const Frame* f : {&first, &second}) {
        for (float m : f->mask) {
            ASSERT_GE(m, 0.0f);
            ASSERT_LE(m, 1.0f);
        }
    }
    EXPECT_NE(first.mask, second.mask) << "the second frame must start from the first one's states";
    EXPECT_NE(first.state469, second.state469);
    for (const char* name : {"469", "493"}) {
        YNet::Tensor& state = net->blobs.at(name);
        std::fill(state.f32(), state.f32() + kStateSize, 0.0f);
    }
    const Frame restarted = runFrame(*net, buffer.data());
    EXPECT_EQ(restarted.mask, first.mask);
    EXPECT_EQ(restarted.state493, first.state493);
    auto other = buildNet();
    EXPECT_EQ(runFrame(*other, buffer.data()).mask, first.mask) << "nets share only constant data";
}

TEST(ModelNet, UnregisteredTypeDropsItsRecordsWithOneLineEach) {
    const YNet::LayerCreator creator = YNet::LayerRegistry::find(3, "Concat");
    ASSERT_NE(creator, nullptr);
    YNet::LayerRegistry::remove(3, "Concat");
    testing::internal::CaptureStdout();
    std::unique_ptr<YNet::Net> net(buildEchoCancellationNet(0));
    const std::string log = testing::internal::GetCapturedStdout();
    YNet::LayerRegistry::add(3, "Concat", creator);

    const std::string line = "Implementation not exists: [3,Concat]\n";
    size_t lines = 0, missing = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
    for (size_t at = log.find("Implementation not exists"); at != std::string::npos;
         at = log.find("Implementation not exists", at + 1)) {
        ++missing;
    }
    EXPECT_EQ(lines, 9u);
    EXPECT_EQ(missing, 9u);
    ASSERT_EQ(net->layers.size(), size_t(kLayerRecordCount - 9));
    size_t kept = 0;
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) {
        if (std::string(LayerTable()[i].type) == "Concat") continue;
        EXPECT_EQ(net->layers[kept]->name, LayerTable()[i].name);
        EXPECT_EQ(net->layers[kept]->index, kept);
        ++kept;
    }
}

}  // namespace
