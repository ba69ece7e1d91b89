#include "plugin/echo_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "model/echo_net.h"
#include "ynet/log.h"
#include "ynet/net.h"

namespace {

using YNet::Tensor;
namespace fc = frame_contract;

// Points a blob at caller memory without copying; the blob does not own it.
void bindWindow(Tensor& t, const float* data) {
    t.bindFloats(const_cast<float*>(data), 1, fc::kWindowRows, fc::kBins, 1, YNet::kNHWC);
}

// The four inputs and the mask output the filter binds by position.
bool hasBlobNames(const YNet::Net& net) {
    return net.inputNames.size() >= 4 && !net.outputNames.empty();
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
    // A frame with a non-finite feature says nothing about the echo: it
    // passes (gain 1 in every bin, never cutting the near end) and the
    // recurrent state never sees it. Fed to the net, even cleaned, such
    // frames leave a trace in the state that lasts for tens of seconds.
    if (!std::all_of(features, features + fc::kFeatureFloats, isFinite)) {
        std::fill(mask, mask + fc::kBins, fc::kNonFiniteGain);
        return 0;
    }
    Tensor& windowA = YNet::lookup(net->blobs, net->inputNames[0]);
    Tensor& windowB = YNet::lookup(net->blobs, net->inputNames[1]);
    bindWindow(windowA, features);
    bindWindow(windowB, features + fc::kWindowBOffset);
    for (int i = 2; i < 4; ++i)
        YNet::lookup(net->blobs, net->inputNames[i]).set(1, 1, 1, fc::kStateSize, YNet::kNHWC);
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
    const size_t have = values ? std::min<size_t>(out.floatCapacity(), fc::kBins) : 0;
    if (have) std::memcpy(mask, values, have * sizeof(float));
    std::memset(mask + have, 0, (fc::kBins - have) * sizeof(float));
    cleanOutput(*net, mask);
    return 0;
}

// The net's last layer keeps the mask within [0, 1]. Should it still
// produce a non-finite value, the recurrent state is cleared and those bins
// get the frame's non-finite gain (1: they pass unchanged).
void AiEchoCancellationFilter::cleanOutput(YNet::Net& net, float* mask) {
    bool finite = true;
    for (int i = 2; i < 4; ++i) {
        const float* state = YNet::lookup(net.blobs, net.inputNames[i]).f32();
        if (state) finite = finite && std::all_of(state, state + fc::kStateSize, isFinite);
    }
    finite = finite && std::all_of(mask, mask + fc::kBins, isFinite);
    if (finite) return;
    scaleState(0.0f);
    for (int k = 0; k < fc::kBins; ++k) mask[k] = isFinite(mask[k]) ? mask[k] : fc::kNonFiniteGain;
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
        for (int k = 0; k < fc::kStateSize; ++k) state[k] = clear ? 0.0f : state[k] * factor;
    }
    return 0;
}
