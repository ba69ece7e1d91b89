#include "plugin/echo_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "model/echo_net.h"
#include "ynet/log.h"
#include "ynet/net.h"

namespace {

using YNet::Tensor;

// Points a blob at caller memory without copying; the blob does not own it.
void bindWindow(Tensor& t, const float* data, uint32_t rows, uint32_t bins) {
    t.n = 1;
    t.h = rows;
    t.w = bins;
    t.c = 1;
    t.count = rows * bins;
    t.layout = YNet::kNHWC;
    t.transposed = false;
    if (t.data[YNet::kFloat] != data) {
        if (t.data[YNet::kFloat] && !t.notOwned[YNet::kFloat]) YNet::alignedFree(t.data[YNet::kFloat]);
        t.data[YNet::kFloat] = const_cast<float*>(data);
    }
    t.notOwned[YNet::kFloat] = true;
    t.capacity = 0;
}

// The four inputs and the mask output the filter binds by position.
bool hasBlobNames(const YNet::Net& net) {
    return net.inputNames.size() >= 4 && !net.outputNames.empty();
}

void shapeState(Tensor& t, uint32_t size) {
    t.n = t.h = t.w = 1;
    t.c = size;
    t.count = size;
    t.layout = YNet::kNHWC;
}

bool isFinite(float v) { return std::isfinite(v); }

}  // namespace

InferenceContext::InferenceContext() = default;
InferenceContext::~InferenceContext() = default;

AiEchoCancellationFilter::AiEchoCancellationFilter() : impl(new Impl) {
    impl->context.reset(new InferenceContext);
    impl->context->net.reset(buildEchoCancellationNet(0));
    if (!impl->context->net) YNet::printLog("Error occur in ynet net creation!\n");
}

AiEchoCancellationFilter::~AiEchoCancellationFilter() = default;

int32_t AiEchoCancellationFilter::processFrame(const float* features, float* mask) {
    if (!features || !mask) return -2;
    if (!impl || !impl->context) return -1;
    YNet::Net* net = impl->context->net.get();
    if (!net || !hasBlobNames(*net)) {
        YNet::printLog("Error occur: ynet net not created !\n");
        return -1;
    }
    Tensor& windowA = YNet::lookup(net->blobs, net->inputNames[0]);
    Tensor& windowB = YNet::lookup(net->blobs, net->inputNames[1]);
    features = cleanInput(features);
    bindWindow(windowA, features, kRows, kBins);
    bindWindow(windowB, features + kWindowOffset, kRows, kBins);
    shapeState(YNet::lookup(net->blobs, net->inputNames[2]), kStateSize);
    shapeState(YNet::lookup(net->blobs, net->inputNames[3]), kStateSize);
    net->warmup();
    const bool half = net->env && net->env->halfPrecision;
    if (half) {
        windowA.floatToHalf();
        windowB.floatToHalf();
    }
    net->run(0);
    Tensor& out = YNet::lookup(net->blobs, net->outputNames[0]);
    if (half) out.halfToFloat();
    const float* values = out.floatData(YNet::kNHWC);
    // A mask blob that no layer ever shaped holds fewer values: the rest is 0.
    const size_t have = values ? std::min<size_t>(out.floatCapacity(), kBins) : 0;
    if (have) std::memcpy(mask, values, have * sizeof(float));
    std::memset(mask + have, 0, (kBins - have) * sizeof(float));
    cleanOutput(*net, mask);
    return 0;
}

// NaN and infinities become 0 (what silence reads as), so one bad frame
// cannot reach the recurrent state; finite frames are bound in place.
const float* AiEchoCancellationFilter::cleanInput(const float* features) {
    if (std::all_of(features, features + kFeatureFloats, isFinite)) return features;
    impl->cleanFeatures.resize(kFeatureFloats);
    for (uint32_t i = 0; i < kFeatureFloats; ++i) impl->cleanFeatures[i] = isFinite(features[i]) ? features[i] : 0.0f;
    return impl->cleanFeatures.data();
}

// The net's last layer keeps the mask within [0, 1]. Should it still
// produce a non-finite value, the recurrent state is cleared and those bins
// pass unchanged (gain 1).
void AiEchoCancellationFilter::cleanOutput(YNet::Net& net, float* mask) {
    bool finite = true;
    for (int i = 2; i < 4; ++i) {
        const float* state = YNet::lookup(net.blobs, net.inputNames[i]).f32();
        if (state) finite = finite && std::all_of(state, state + kStateSize, isFinite);
    }
    finite = finite && std::all_of(mask, mask + kBins, isFinite);
    if (finite) return;
    scaleState(0.0f);
    for (uint32_t k = 0; k < kBins; ++k) mask[k] = isFinite(mask[k]) ? mask[k] : 1.0f;
}

int32_t AiEchoCancellationFilter::scaleState(float factor) {
    if (!impl || !impl->context) return -1;
    YNet::Net* net = impl->context->net.get();
    if (!net || !hasBlobNames(*net)) {
        YNet::printLog("ynet net not created !");
        return -1;
    }
    for (int i = 2; i < 4; ++i) {
        float* state = YNet::lookup(net->blobs, net->inputNames[i]).f32();
        if (!state) continue;
        // NaN compares false both ways; it scales, as a positive factor does.
        const bool clear = factor <= 0.0f;
        for (uint32_t k = 0; k < kStateSize; ++k) state[k] = clear ? 0.0f : state[k] * factor;
    }
    return 0;
}
