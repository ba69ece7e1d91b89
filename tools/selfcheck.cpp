// Builds a two-layer net of a toy layer on the x86 environment, runs it and
// checks the result: the quickest proof that the engine links, registers,
// warms up and dispatches on this machine. Exit status 0 on success.
#include <cstdio>

#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/net.h"

namespace {

// out = 2 * in, through the tensors' float data.
struct Double : YNet::Layer {
    Double(const YNet::LayerRecord& r, YNet::TensorMap& blobs, YNet::TensorMap& weights) {
        init(r, blobs, weights, -1, 1, false, 0, 0, true);
    }
    bool forward(YNet::core::RunEnv&) override {
        const float* in = inputs[0]->floatData();
        float* out = outputs[0]->floatData();
        if (!in || !out) return false;
        for (uint32_t i = 0; i < inputs[0]->count; ++i) out[i] = 2.0f * in[i];
        return true;
    }
};
YNET_REGISTER_LAYER(3, "SelfCheckDouble", Double);

YNet::LayerRecord record(const char* name, const char* in, const char* out) {
    YNet::LayerRecord r{};
    r.name = name;
    r.type = "SelfCheckDouble";
    r.blobs[0] = in;
    r.blobs[1] = out;
    return r;
}

}  // namespace

int main() {
    const YNet::CpuInfo& cpu = YNet::CpuInfo::get();
    std::printf("CPU: %s (%s)\n", cpu.brand.c_str(), cpu.vendor.c_str());
    YNet::Net net(new YNet::x86::RunEnv);
    const int backend = net.env->backendIndex();
    for (const auto& r : {record("first", "in", "mid"), record("second", "mid", "out")}) {
        if (YNet::Layer* layer = YNet::LayerRegistry::create(backend, r, net.blobs, net.weights))
            net.layers.push_back(layer);
    }
    net.addInput("in");
    net.addOutput("out");
    YNet::Tensor& in = YNet::lookup(net.blobs, "in");
    in.set(1, 1, 1, 19, YNet::kNHWC);
    float* x = in.floatData();
    for (int i = 0; i < 19; ++i) x[i] = float(i) - 9.0f;
    net.env->optimizeGraph(net);
    bool ok = net.layers.size() == 2 && net.warmup() && net.run();
    const float* y = ok ? YNet::lookup(net.blobs, "out").floatData() : nullptr;
    for (int i = 0; ok && i < 19; ++i) ok = y[i] == 4.0f * (float(i) - 9.0f);
    std::printf("Dispatch levels:");
    for (YNet::IsaLevel level : YNet::CpuInfo::supportedLevels())
        std::printf(" %s", YNet::isaLevelName(level));
    std::printf("\nSelf-check %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
