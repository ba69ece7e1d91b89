#include "bench/perf_engine.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "model/echo_net.h"
#include "ynet/layers/gemm/gemm.h"

using YNet::Tensor;
using namespace frame_contract;

namespace {

void bindWindow(Tensor& t, const float* rows) {
    t.bindFloats(const_cast<float*>(rows), 1, kWindowRows, kBins, 1, YNet::kNHWC);
}

int inputCount(const std::string& type) {
    return type == "Concat" || type == "Add" || type == "Mul" || type == "Sub" ? 2 : 1;
}

const YNet::WeightRecord* weightRecord(const std::string& name) {
    for (uint32_t i = 0; i < kWeightRecordCount; ++i)
        if (name == WeightTable()[i].name) return &WeightTable()[i];
    return nullptr;
}

double recordCount(const YNet::WeightRecord& w) { return double(w.n) * w.h * w.w * w.c; }

double layerMacs(YNet::Net& net, const YNet::LayerRecord& l) {
    const std::string type = l.type;
    if (type != "GRU" && type != "Conv" && type != "DepthwiseConv" && type != "DepthwiseDeConv" && type != "MatMul")
        return 0;
    const double in = YNet::lookup(net.blobs, l.blobs[0]).count;
    const double out = YNet::lookup(net.blobs, l.blobs[inputCount(type)]).count;
    const YNet::WeightRecord& w = *weightRecord(l.weightNames[0]);
    if (type == "GRU") return 3.0 * l.words[0] * (in + l.words[0]);
    if (type == "DepthwiseDeConv") return in * l.words[1];  // every input row scatters k taps
    if (type == "MatMul") return in * (l.words[1] ? w.h : w.w);
    return out / w.n * recordCount(w);  // output positions x weights per position
}

// A matrix product packed to bfloat16 keeps its own buffer and leaves the
// weight tensor's floats where they were; the float32 path rebinds the
// tensor to its packed buffer.
bool packedBf16(const YNet::Layer* layer) {
    const auto* g = dynamic_cast<const YNet::simd::Gemm*>(layer);
    return g && g->packedWeights && !g->weights.empty() && g->weights[0]->f32() != g->packedWeights;
}

// Bytes of weights one frame reads, in the precision the kernel reads them.
double layerWeightBytes(const YNet::LayerRecord& l, const YNet::Layer* layer) {
    double bytes = 0;
    for (int i = 0; i < 8 && l.weightNames[i] && *l.weightNames[i]; ++i)
        if (const YNet::WeightRecord* w = weightRecord(l.weightNames[i]))
            bytes += (i == 0 && packedBf16(layer) ? 2.0 : 4.0) * recordCount(*w);
    return bytes;
}

// What one read-and-subtract of the wall clock adds to a timed span
// (median of many empty spans).
double timerCost() {
    std::vector<double> spans(10000);
    for (double& d : spans) {
        const double t0 = wallSeconds();
        d = wallSeconds() - t0;
    }
    return quantile(spans, 0.5);
}

// Median wall time of every layer that runs, less the timer's own cost (a
// fused follower's time lands on its producer): the median leaves out frames
// another job interrupted.
std::map<std::string, double> profile(EngineNet& e, const Frames& frames) {
    std::map<std::string, std::vector<double>> perLayer;
    YNet::Net& net = *e.net;
    std::vector<float> staging(kFeatureFloats);  // the host's freshly written features
    for (int t = 0; t < frames.count(); ++t) {
        std::copy(frames.at(t), frames.at(t) + kFeatureFloats, staging.begin());
        e.bind(staging.data());
        for (size_t i = 0; i < net.layers.size(); ++i) {
            YNet::Layer* l = net.layers[i];
            if (l->removed || l->skip) continue;
            const double t0 = wallSeconds();
            l->forward(*net.env);
            perLayer[l->name].push_back(wallSeconds() - t0);
            if (i != 0 && i % 8 == 0) net.env->onLayerGroup();
        }
        net.env->afterRun(net, 0);
    }
    const double timer = timerCost();
    std::map<std::string, double> medians;
    for (const auto& kv : perLayer) medians[kv.first] = std::max(0.0, quantile(kv.second, 0.5) - timer);
    return medians;
}

struct Row {
    std::string name;
    int layers = 0;
    double time = 0, macs = 0, bytes = 0;
    double bound(const CoreLimits& c) const {
        const double traffic = c.weightReadGBps > 0 ? bytes / (c.weightReadGBps * 1e9) : 0.0;
        return std::max(c.bound256(macs), traffic);
    }
};

void rowLine(Report& r, const Row& row, const CoreLimits& c) {
    const double traffic = c.weightReadGBps > 0 ? row.bytes / (c.weightReadGBps * 1e9) : 0.0;
    const double bound = row.bound(c);
    char ratio[32] = "-";
    if (row.macs > 0) std::snprintf(ratio, sizeof ratio, "%.2fx", row.time / bound);
    r.line("| %s | %d | %s | %.3f | %.0f | %s | %s | %s |", row.name.c_str(), row.layers, us(row.time).c_str(),
           row.macs / 1e6, row.bytes / 1024.0, us(c.bound256(row.macs)).c_str(), us(traffic).c_str(), ratio);
}

}  // namespace

EngineNet::EngineNet() : net(buildEchoCancellationNet(0)) {}

bool EngineNet::bind(const float* features) {
    if (!net) return false;
    bindWindow(YNet::lookup(net->blobs, kWindowABlob), features);
    bindWindow(YNet::lookup(net->blobs, kWindowBBlob), features + kWindowBOffset);
    for (const char* s : {kState1Blob, kState2Blob}) YNet::lookup(net->blobs, s).set(1, 1, 1, kStateSize, YNet::kNHWC);
    return net->warmup();
}

bool EngineNet::frame(const float* features, float* mask) {
    if (!bind(features) || !net->run(0)) return false;
    std::memcpy(mask, YNet::lookup(net->blobs, kMaskBlob).floatData(YNet::kNHWC), kBins * sizeof(float));
    return true;
}

void EngineNet::warm(const float* features) {
    std::vector<float> mask(kBins);
    frame(features, mask.data());
    resetState();
}

void EngineNet::resetState() {
    for (const char* s : {kState1Blob, kState2Blob})
        std::memset(YNet::lookup(net->blobs, s).f32(), 0, kStateSize * sizeof(float));
}

double macsPerFrame(YNet::Net& net) {
    double macs = 0;
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) macs += layerMacs(net, LayerTable()[i]);
    return macs;
}

double weightBytes() {
    double bytes = 0;
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) bytes += 4.0 * recordCount(WeightTable()[i]);
    return bytes;
}

void layerSection(Report& r, const Frames& frames, const CoreLimits& limits, double engineSeconds) {
    EngineNet e;
    e.warm(frames.at(0));
    const std::map<std::string, double> times = profile(e, frames);
    std::map<std::string, const YNet::Layer*> byName;
    for (const YNet::Layer* l : e.net->layers) byName[l->name] = l;
    std::map<std::string, Row> perType;
    std::vector<Row> layers;
    Row all{"all layers"};
    double boundSum = 0, moveTime = 0;  // moveTime: layers without multiply-adds
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) {
        const YNet::LayerRecord& l = LayerTable()[i];
        const auto it = times.find(l.name);
        const Row one{std::string(l.type) + " " + l.name, 1, it == times.end() ? 0.0 : it->second,
                      layerMacs(*e.net, l), layerWeightBytes(l, byName[l.name])};
        for (Row* sum : {&perType[l.type], &all}) {
            sum->layers += 1;
            sum->time += one.time;
            sum->macs += one.macs;
            sum->bytes += one.bytes;
        }
        perType[l.type].name = l.type;
        boundSum += one.bound(limits);
        if (one.macs > 0) layers.push_back(one);
        else moveTime += one.time;
    }
    std::vector<Row> types;
    for (const auto& kv : perType) types.push_back(kv.second);
    std::sort(types.begin(), types.end(), [](const Row& a, const Row& b) { return a.time > b.time; });
    const char* header = "| %s | layers | us per frame | M MACs | weight KiB | compute bound us | weight-read bound us "
                         "| time / bound |\n|---|---|---|---|---|---|---|---|";
    r.line("\n## Time per layer against its bound (best kernels, wall less the clock read's own cost, median of %d "
           "frames per layer)\n",
           frames.count());
    r.line("Compute bound: the layer's multiply-accumulates at the 256-bit FMA peak; weight-read bound: its "
           "weights, in the precision its kernel reads them, at the read rate over a buffer the size of all "
           "weights (%.1f GB/s: they do not stay in a core's own cache from one frame to the next). Activations fused into their producer count with the producer.\n",
           limits.weightReadGBps);
    r.line(header, "layer type");
    for (const Row& row : types) rowLine(r, row, limits);
    rowLine(r, all, limits);
    if (boundSum > 0)
        r.line("\nSum of every layer's own bound: **%s us**; the engine's median frame (processor time, above) "
               "is **%.2fx** that. The weight reads alone take %s us per frame at that rate, against a compute "
               "bound of %s us at the 256-bit peak.",
               us(boundSum).c_str(), engineSeconds / boundSum,
               us(limits.weightReadGBps > 0 ? all.bytes / (limits.weightReadGBps * 1e9) : 0.0).c_str(),
               us(limits.bound256(all.macs)).c_str());
    if (boundSum > 0 && all.macs > 0)
        r.line("\nFloor for kernel work on the layers that multiply: their bounds plus the measured time of the "
               "layers that only move or map values (copies, views, activations the kernel selection leaves "
               "unfused: %s us) is %s us, **%.2fx** the compute bound.",
               us(moveTime).c_str(), us(boundSum + moveTime).c_str(),
               (boundSum + moveTime) / limits.bound256(all.macs));
    std::sort(layers.begin(), layers.end(), [&](const Row& a, const Row& b) {
        return a.time - a.bound(limits) > b.time - b.bound(limits);
    });
    r.line("\nThe eight layers with the most time above their bound:\n");
    r.line(header, "layer");
    for (size_t i = 0; i < std::min<size_t>(8, layers.size()); ++i) rowLine(r, layers[i], limits);
}
