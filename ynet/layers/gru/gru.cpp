#include "ynet/layers/gru/gru.h"

#include <cstdio>

#include "ynet/log.h"

namespace YNet {
namespace core {

GRU::GRU(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) : Layer("Unknown") {
    init(record, blobs, weights, -1, 2, false, 0, 0, true);
    if (outputs.size() >= 2) {
        inputs.push_back(outputs[1]);
        outputs[1]->consumers.push_back(this);
    }
    assignWeights();
    hiddenSize = record.words[0];
    sequenceOutput = record.words[1];
    hardSigmoid = record.words[2];
    linearBeforeReset = record.words[3];
    quantGroup = record.words[4];
    char key[32];
    std::snprintf(key, sizeof key, "%dx%d", inputs.empty() ? 0 : int(inputs[0]->h), hiddenSize);
    shapeKey = key;
}

// The weight list's length tells the roles: 3 float, 5 with row scales,
// 7 with the x and h quantization tensors in front as well.
void GRU::assignWeights() {
    const size_t n = weights.size();
    size_t first = 0;
    quantMode = 0;
    if (n == 7) {
        xQuant = weights[0];
        hQuant = weights[1];
        first = 2;
    }
    if (n == 5 || n == 7) {
        quantMode = 1;
        wScales = weights[first];
        rScales = weights[first + 1];
        first += 2;
    }
    Tensor** roles[3] = {&W, &R, &B};
    for (size_t i = 0; i < 3; ++i)
        *roles[i] = first + i < n ? weights[first + i] : nullptr;
}

GRU::~GRU() {
    alignedFree(gx);
    alignedFree(gh);
    alignedFree(gates);
}

uint32_t GRU::steps() const {
    const Tensor& x = *inputs[0];
    for (uint32_t d : {x.n, x.h, x.w})
        if (d >= 2) return d;
    return 1;
}

bool GRU::reshape() {
    if (inputs.empty() || outputs.size() < 2) return true;
    // A hidden size beyond any model here, or weights too small for it, is
    // a corrupt record: refused before anything is allocated for it.
    constexpr int32_t kMaxHidden = 4096;
    const uint64_t h = uint64_t(hiddenSize);
    if (hiddenSize < 1 || hiddenSize > kMaxHidden || !W || !R || !B || W->count < 3 * h ||
        R->count < 3 * h * h || B->count < 3 * h) {
        printLog("%s: hidden size %d does not fit the weights\n", name.c_str(), hiddenSize);
        return false;
    }
    const uint32_t H = uint32_t(hiddenSize);
    const uint32_t layout = inputs[0]->layout;
    outputs[0]->set(1, 1, steps(), H, layout);
    outputs[1]->set(1, 1, 1, H, layout);
    const size_t bytes = size_t(3) * H * sizeof(float);
    for (float** buf : {&gx, &gh, &gates})
        if (!*buf) *buf = static_cast<float*>(alignedAlloc(bytes));
    return true;
}

}  // namespace core
}  // namespace YNet
