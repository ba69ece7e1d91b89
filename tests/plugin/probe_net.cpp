// A stand-in for the embedded model with the same blob names: one layer that
// reports what the filter bound (counts, shapes, offsets, states) in the
// mask and folds the windows into the states, so the filter's binding and
// state handling can be checked exactly.
#include "model/echo_net.h"
#include "model/frame_contract.h"
#include "tests/plugin/probe_layout.h"
#include "ynet/run_env.h"

namespace {

using YNet::Tensor;

class ProbeLayer : public YNet::Layer {
public:
    ProbeLayer() : Layer("probe") { type = "Probe"; }

    bool prepare(YNet::core::RunEnv&) override {
        outputs[0]->set(1, 1, 1, probe::kMaskSize, YNet::kNHWC);
        return true;
    }

    bool forward(YNet::core::RunEnv&) override {
        const Tensor& a = *inputs[0];
        const Tensor& b = *inputs[1];
        // A negative first feature stands for a failing run: nothing written.
        if (a.f32()[0] < 0) return false;
        float* s1 = inputs[2]->floatData();
        float* s2 = inputs[3]->floatData();
        float* m = outputs[0]->floatData();
        const float header[probe::kHeader] = {
            float(a.count), float(b.count), float(a.h), float(a.w), float(b.h), float(b.w),
            float(inputs[2]->count), float(inputs[3]->count),
            float(b.f32() - a.f32()), a.f32()[0], a.f32()[a.count - 1], b.f32()[0],
            b.f32()[b.count - 1], a.notOwned[0] && b.notOwned[0] ? 1.0f : 0.0f};
        for (int i = 0; i < probe::kHeader; ++i) m[i] = header[i];
        for (int k = 0; k < probe::kState; ++k) {
            m[probe::kState1 + k] = s1[k];
            m[probe::kState2 + k] = s2[k];
            s1[k] += a.f32()[k];
            s2[k] += b.f32()[b.count - 1 - k];
        }
        return true;
    }
};

}  // namespace

YNet::Net* buildEchoCancellationNet(uint32_t selector) {
    if (selector != 0) return nullptr;
    auto* net = new YNet::Net();
    net->env.reset(new YNet::x86::RunEnv());
    using namespace frame_contract;
    const char* inputs[] = {kWindowABlob, kWindowBBlob, kState1Blob, kState2Blob};
    for (const char* name : inputs) net->addInput(name);
    for (const char* name : {kMaskBlob, kState1Blob, kState2Blob}) net->addOutput(name);
    auto* layer = new ProbeLayer();
    for (const char* name : inputs) layer->inputs.push_back(&YNet::lookup(net->blobs, name));
    layer->outputs.push_back(&YNet::lookup(net->blobs, kMaskBlob));
    net->layers.push_back(layer);
    return net;
}
