// One-time graph rewrite of the x86 run environment: activations run in
// place on their producer's output (so the producer can fuse them), Add and
// Mul write into one of their inputs, and a Sigmoid gate multiplied with its
// own input becomes one Swish.
#include <algorithm>
#include <vector>

#include "ynet/layers/activation/activation.h"
#include "ynet/layers/activation/activation_kinds.h"
#include "ynet/net.h"

namespace YNet {
namespace {

void replaceAll(std::vector<Tensor*>& list, Tensor* from, Tensor* to) {
    std::replace(list.begin(), list.end(), from, to);
}

void appendOnce(std::vector<Layer*>& list, Layer* layer) {
    if (std::find(list.begin(), list.end(), layer) == list.end()) list.push_back(layer);
}

// X -> P -> X -> L -> Y becomes P -> Y with L a follower running in place.
void makeInPlace(Layer& layer) {
    Tensor* x = layer.inputs[0];
    Tensor* y = layer.outputs[0];
    if (x == y || !x->producer) return;
    Layer* p = x->producer;
    appendOnce(p->followers, &layer);
    replaceAll(p->outputs, x, y);
    replaceAll(layer.inputs, x, y);
    y->producer = p;
    layer.fused = true;
}

// S: X -> Y, with a Mul M that is both Y's first reader and X's other
// reader, becomes S: X -> X with kind swish; M is dropped and its readers
// take X. X read by any other layer keeps S out of place, since S would
// overwrite it.
void fuseSwish(core::Activation& s) {
    Tensor* x = s.inputs[0];
    Tensor* y = s.outputs[0];
    if (x == y || y->consumers.empty()) return;
    const std::vector<Layer*>& xReaders = x->consumers;
    Layer* m = xReaders[0] == &s ? xReaders[1] : xReaders[0];
    if (m != y->consumers[0]) return;
    if (m->type != "Mul" || m->fused || m->outputs.empty()) return;
    const bool hard = s.type == "HardSigmoid";
    m->removed = true;
    replaceAll(s.outputs, y, x);
    s.kind = hard ? act::kHardSwish : act::kSwish;
    s.type = hard ? "HardSwish" : "Swish";
    Tensor* mOut = m->outputs[0];
    for (Layer* reader : mOut->consumers) replaceAll(reader->inputs, mOut, x);
    m->fused = true;
    s.fused = true;
}

// The first input with a producer, read by no later layer than L and with
// L's output shape, takes L's output's place.
void makeBinaryInPlace(Layer& layer) {
    Tensor* y = layer.outputs[0];
    for (Tensor* in : layer.inputs) {
        if (!in->producer || in->h != y->h || in->w != y->w || in->c != y->c) continue;
        const bool readEarlier =
            std::all_of(in->consumers.begin(), in->consumers.end(),
                        [&](const Layer* c) { return c->index <= layer.index; });
        if (!readEarlier) continue;
        for (Layer* reader : y->consumers) replaceAll(reader->inputs, y, in);
        replaceAll(layer.outputs, y, in);
        in->producer = &layer;
        layer.fused = true;
        return;
    }
}

void rewrite(Layer& layer) {
    if (layer.inputs.empty() || layer.outputs.empty()) return;
    const size_t readers = layer.inputs[0]->consumers.size();
    auto* activation = dynamic_cast<core::Activation*>(&layer);
    if (readers == 1 && activation) {
        makeInPlace(layer);
    } else if (readers == 2 && activation &&
               (layer.type == "Sigmoid" || layer.type == "HardSigmoid")) {
        fuseSwish(*activation);
    } else if (layer.type == "Add" || layer.type == "Mul") {
        makeBinaryInPlace(layer);
    }
}

}  // namespace

bool optimizeGraphX86(Net& net) {
    for (size_t i = 0; i < net.layers.size(); ++i) {
        net.layers[i]->reshape();
        net.layers[i]->index = uint32_t(i);
    }
    for (Layer* layer : net.layers) {
        if (!layer->fused && !layer->removed) rewrite(*layer);
    }
    for (Layer* layer : net.layers) layer->fused = false;
    return true;
}

}  // namespace YNet
