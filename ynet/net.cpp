#include "ynet/net.h"

namespace YNet {

namespace {

// A layer whose inputs were reshaped larger than a buffer they cannot grow
// (a caller's or a view) fails instead of reading past it.
bool inputsHoldShapes(const Layer& layer) {
    for (Tensor* t : layer.inputs)
        if (t && !t->holdsShape()) return false;
    return true;
}

}  // namespace

Net::Net(core::RunEnv* environment) : env(environment) {
    // Shared zero bias for layers that have none of their own.
    Tensor& zero = lookup(weights, kZeroTensorName);
    zero.name = kZeroTensorName;
    zero.set(1, 1, 1, 1024, kNHWC);
    zero.floatData();
}

Net::~Net() {
    clear();
    env.reset();
}

bool Net::clear() {
    for (Layer* layer : layers) delete layer;
    layers.clear();
    blobs.clear();
    weights.clear();
    return true;
}

void Net::addInput(const std::string& name) {
    for (const std::string& existing : inputNames)
        if (existing == name) return;
    inputNames.push_back(name);
}

void Net::addOutput(const std::string& name) {
    for (const std::string& existing : outputNames)
        if (existing == name) return;
    outputNames.push_back(name);
}

bool Net::warmup(TensorMap* weightMap, TensorMap* blobMap) {
    if (warmedUp) return true;
    env->beforeWarmup(weightMap, blobMap);
    for (Layer* layer : layers) layer->fused = false;
    for (auto& entry : weightMap ? *weightMap : weights) {
        Tensor& t = entry.second;
        if (!env->halfPrecision && !t.data[kFloat]) t.halfToFloat();
        if (env->halfPrecision && !t.data[kHalf]) t.floatToHalf();
    }
    bool ok = true;
    totalFlops = 0;
    for (Layer* layer : layers) {
        if (layer->removed) continue;
        ok = layer->prepare(*env) && ok;
        if (!ok) {
            printLog("%s warmup error!\n", layer->name.c_str());
            break;
        }
        totalFlops += layer->flops;
    }
    env->afterPrepare();
    ok = env->afterWarmup(*this, blobMap ? blobMap : &blobs) && ok;
    if (ok) ready = true;
    warmedUp = true;
    return ok;
}

bool Net::run(uint64_t arg) {
    if (!ready) {
        printLog("Not ready to run!\n");
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < layers.size(); ++i) {
        Layer* layer = layers[i];
        if (layer->removed || layer->skip) continue;
        ok = inputsHoldShapes(*layer) && layer->forward(*env) && ok;
        if (i != 0 && i % 8 == 0) env->onLayerGroup();
    }
    env->afterRun(*this, arg);
    return ok;
}

}  // namespace YNet
