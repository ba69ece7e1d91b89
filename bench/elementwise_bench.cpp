// Element-wise and shape layers on the network's blob shapes, each run as the
// net runs it (a layer from a record, its forward) under every ISA tier this
// processor has. GB/s counts the floats the layer must read and write once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "impl_x86/activation/activation_kernels.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/net.h"
#include "ynet/run_env.h"

namespace {

using namespace YNet;

struct Shape {
    uint32_t rows, channels;
};
// The network's blobs: (1, rows, 1, channels).
const Shape kShapes[] = {{257, 64}, {33, 64}, {33, 128}, {513, 12}};

// A one-layer net: blobs "a", "b" (inputs) and "y", words from the record.
struct OneLayer {
    Net net{new x86::RunEnv};
    Layer* layer = nullptr;
    std::vector<std::string> names;

    OneLayer(const char* type, std::vector<std::string> blobs, std::vector<int32_t> words,
             std::vector<std::string> weightNames = {})
        : names(blobs) {
        names.insert(names.end(), weightNames.begin(), weightNames.end());
        LayerRecord rec{};
        rec.type = type;
        rec.name = type;
        for (size_t i = 0; i < blobs.size(); ++i) rec.blobs[i] = names[i].c_str();
        for (size_t i = 0; i < weightNames.size(); ++i) {
            rec.weightNames[i] = names[blobs.size() + i].c_str();
            lookup(net.weights, weightNames[i]);  // bound at creation, filled later
        }
        for (size_t i = 0; i < words.size(); ++i) rec.words[i] = words[i];
        layer = LayerRegistry::create(3, rec, net.blobs, net.weights);
        if (layer) net.layers.push_back(layer);
    }
    void input(TensorMap& map, const char* name, uint32_t h, uint32_t c, uint32_t n = 1,
               uint32_t w = 1) {
        Tensor& t = lookup(map, name);
        t.set(n, h, w, c, kNHWC);
        std::mt19937 rng(h * 131 + c);
        std::uniform_real_distribution<float> u(-4.0f, 4.0f);
        float* p = t.floatData(0);
        for (uint32_t i = 0; i < t.count; ++i) p[i] = u(rng);
    }
};

// Runs the layer's forward under the ISA tier in range(2) and reports the
// rate of `floats` moved per call (counter GB, per second).
void timeLayer(benchmark::State& state, OneLayer& l, double floats, const char* what) {
    const auto levels = CpuInfo::supportedLevels();
    const size_t tier = size_t(state.range(2));
    if (!l.layer || tier >= levels.size()) {
        state.SkipWithError("not available here");
        return;
    }
    ScopedCpuOverride guard(levels[tier]);
    const Shape& shape = kShapes[state.range(0)];
    state.SetLabel(std::to_string(shape.rows) + "x" + std::to_string(shape.channels) + " " + what +
                   " " + isaLevelName(levels[tier]));
    if (!l.layer->reshape() || !l.layer->forward(*l.net.env)) {
        state.SkipWithError("the layer does not run this case");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(l.layer->forward(*l.net.env));
    state.counters["GB"] = benchmark::Counter(floats * 4 * double(state.iterations()) / 1e9,
                                                benchmark::Counter::kIsRate);
}

uint32_t rowsOf(benchmark::State& s) { return kShapes[s.range(0)].rows; }
uint32_t channelsOf(benchmark::State& s) { return kShapes[s.range(0)].channels; }

// range(1): activation kind as stored in the record.
void Activation(benchmark::State& state) {
    static const char* types[10] = {"", "Relu", "", "", "", "Sigmoid", "LeakyRelu", "Swish", "",
                                    "HardSwish"};
    const int32_t kind = int32_t(state.range(1));
    OneLayer l(types[kind], {"a", "y"}, {kind, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0x3C23D70A});  // slope 0.01 in word 16
    l.input(l.net.blobs, "a", rowsOf(state), channelsOf(state));
    timeLayer(state, l, 2.0 * rowsOf(state) * channelsOf(state), types[kind]);
}

// The range kernels and the vector exponential by themselves, each ISA form
// called directly (range(2): portable, SSE2, AVX, AVX2+FMA) on one blob.
// range(1) = 0 is the exponential, else the activation kind.
void ActivationKernel(benchmark::State& state) {
    using Apply = void (*)(uint32_t, float, const float*, float*, size_t);
    using Exp = void (*)(const float*, float*, size_t);
    static const Apply applies[] = {act::applyPortable, act::applySse, act::applyAvx,
                                    act::applyAvx2};
    static const Exp exps[] = {act::expPortable, act::expSse, act::expAvx, act::expAvx2};
    static const char* isas[] = {"portable", "SSE2", "AVX", "AVX2+FMA"};
    const CpuInfo& cpu = CpuInfo::get();
    const int isa = int(state.range(2));
    const bool ok[] = {true, true, cpu.avx(), cpu.avx2() && cpu.fma()};
    if (!ok[isa]) {
        state.SkipWithError("not available here");
        return;
    }
    const uint32_t kind = uint32_t(state.range(1));
    const size_t n = size_t(rowsOf(state)) * channelsOf(state);
    std::vector<float> x(n + 64), y(n + 64);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-4.0f, 4.0f);
    for (float& v : x) v = u(rng);
    for (auto _ : state) {
        if (kind == 0)
            exps[isa](x.data(), y.data(), n);
        else
            applies[isa](kind, 0.01f, x.data(), y.data(), n);
        benchmark::DoNotOptimize(y.data());
    }
    const Shape& shape = kShapes[state.range(0)];
    state.SetLabel(std::to_string(shape.rows) + "x" + std::to_string(shape.channels) + " " +
                   (kind == 0 ? "exp" : "kind " + std::to_string(kind)) + " " + isas[isa]);
    state.counters["GB"] = benchmark::Counter(8.0 * n * double(state.iterations()) / 1e9,
                                              benchmark::Counter::kIsRate);
}

// range(1): 0 Add, 2 Mul.
void BinaryOp(benchmark::State& state) {
    OneLayer l(state.range(1) == 2 ? "Mul" : "Add", {"a", "b", "y"}, {});
    l.input(l.net.blobs, "a", rowsOf(state), channelsOf(state));
    l.input(l.net.blobs, "b", rowsOf(state), channelsOf(state));
    const char* op = state.range(1) == 2 ? "Mul" : "Add";
    timeLayer(state, l, 3.0 * rowsOf(state) * channelsOf(state), op);
}

// Two inputs of the shape's channels along the channel axis.
void Concat(benchmark::State& state) {
    OneLayer l("Concat", {"a", "b", "y"}, {});
    l.input(l.net.blobs, "a", rowsOf(state), channelsOf(state));
    l.input(l.net.blobs, "b", rowsOf(state), channelsOf(state));
    timeLayer(state, l, 4.0 * rowsOf(state) * channelsOf(state), "two inputs");
}

// The network's input transposition (0, 2, 3, 1) of a (1, 12, rows, 1)
// window, and the (0, 1, 3, 2) swap of the blob's last two axes.
void TransposeAxis(benchmark::State& state) {
    const bool window = state.range(1) == 0;
    OneLayer l("TransposeAxis", {"a", "y"}, window ? std::vector<int32_t>{0, 2, 3, 1}
                                                   : std::vector<int32_t>{0, 1, 3, 2});
    if (window)
        l.input(l.net.blobs, "a", 12, 1, 1, rowsOf(state));
    else
        l.input(l.net.blobs, "a", 1, channelsOf(state), 1, rowsOf(state));
    timeLayer(state, l, 2.0 * rowsOf(state) * (window ? 12 : channelsOf(state)),
              window ? "(0,2,3,1) 12-row window" : "(0,1,3,2)");
}

// Rows R -> 2R - 1 with the weight row between every two input rows.
void YnetAppend(benchmark::State& state) {
    OneLayer l("YnetAppend", {"a", "y"}, {}, {"p"});
    l.input(l.net.weights, "p", 1, channelsOf(state));
    l.input(l.net.blobs, "a", rowsOf(state), channelsOf(state));
    timeLayer(state, l, (3.0 * rowsOf(state) - 1) * channelsOf(state), "rows to 2R-1");
}

void tiers(benchmark::internal::Benchmark* b, std::vector<int64_t> variants) {
    const int64_t levels = int64_t(CpuInfo::supportedLevels().size());
    for (int64_t s = 0; s < int64_t(sizeof kShapes / sizeof kShapes[0]); ++s)
        for (int64_t v : variants)
            for (int64_t t = 0; t < levels; ++t) b->Args({s, v, t});
}

BENCHMARK(Activation)->Apply([](auto* b) { tiers(b, {6, 5, 7, 1, 9}); });
BENCHMARK(ActivationKernel)->Apply([](auto* b) {
    for (int64_t s = 0; s < 4; ++s)
        for (int64_t kind : {0, 6, 5, 7})
            for (int64_t isa = 0; isa < 4; ++isa) b->Args({s, kind, isa});
});
BENCHMARK(BinaryOp)->Apply([](auto* b) { tiers(b, {0, 2}); });
BENCHMARK(Concat)->Apply([](auto* b) { tiers(b, {0}); });
BENCHMARK(TransposeAxis)->Apply([](auto* b) { tiers(b, {0, 1}); });
BENCHMARK(YnetAppend)->Apply([](auto* b) { tiers(b, {0}); });

}  // namespace
