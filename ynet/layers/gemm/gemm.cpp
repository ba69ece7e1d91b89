#include "ynet/layers/gemm/gemm.h"

#include <algorithm>
#include <vector>

#include "ynet/log.h"

namespace YNet {

namespace gemm {
uint32_t rows(const Tensor& t) { return t.layout == kNCHW ? t.h : t.w; }
uint32_t cols(const Tensor& t) { return t.layout == kNCHW ? t.w : t.c; }
}  // namespace gemm

namespace core {

namespace {

// Leading weight names the map holds (stops at the first empty or unknown).
int heldWeightNames(const LayerRecord& record, const TensorMap& weights) {
    int f = 0;
    while (f < 8 && record.weightNames[f] && record.weightNames[f][0] &&
           weights.count(record.weightNames[f]))
        ++f;
    return f;
}

}  // namespace

Gemm::Gemm(const LayerRecord& record, TensorMap& blobs, TensorMap& weightMap) : Layer("Unknown") {
    const int f = heldWeightNames(record, weightMap);
    init(record, blobs, weightMap, -1, 1, f != 3, 0, 1, true);
    if (quantMode != 0) {
        inputScale = inputQuant.empty() ? nullptr : inputQuant[0];
        outputScale = outputQuant.empty() ? nullptr : outputQuant[0];
        weightScale = weightQuant.empty() ? nullptr : weightQuant[0];
    }
    if (weights.size() == 3) {
        weightScale = weights[0];
        weight = weights[1];
        bias = weights[2];
    } else {
        weight = weights.empty() ? nullptr : weights[0];
        bias = weights.size() < 2 ? nullptr : weights[1];
    }
    alpha = record.wordAsFloat(16);
    beta = record.wordAsFloat(17);
    transA = uint32_t(record.words[0]);
    transB = uint32_t(record.words[1]);
    floatOutput = uint32_t(record.words[2]);
}

int Gemm::sizeM() const {
    const Tensor& a = *inputs[0];
    return int(transA ? gemm::cols(a) : gemm::rows(a));
}
int Gemm::sizeK() const {
    const Tensor& a = *inputs[0];
    return int(transA ? gemm::rows(a) : gemm::cols(a));
}
int Gemm::sizeN() const { return int(transB ? gemm::rows(*weight) : gemm::cols(*weight)); }

bool Gemm::reshape() {
    if (inputs.empty() || outputs.empty() || !weight) return false;
    const Tensor& a = *inputs[0];
    const int m = sizeM(), n = sizeN(), k = sizeK();
    // The kernels read m x k inputs and k x n weights: an input that does not
    // hold them (unshaped, or shaped for another weight) is refused.
    const uint32_t weightK = transB ? gemm::cols(*weight) : gemm::rows(*weight);
    if (k < 1 || uint32_t(k) != weightK || uint64_t(a.count) < uint64_t(m) * uint64_t(k) ||
        uint64_t(weight->count) < uint64_t(k) * uint64_t(n)) {
        printLog("%s: input of %d x %d does not fit the weight\n", name.c_str(), m, k);
        return false;
    }
    // The kernels read one bias value per output: a whole m x n matrix of
    // them in the general product.
    const uint64_t biasNeeded = n == 1 && !transA ? uint64_t(m) : m == 1 ? uint64_t(n) : uint64_t(m) * uint64_t(n);
    if (bias && bias->floatCapacity() < biasNeeded) {
        printLog("%s: bias shorter than the output\n", name.c_str());
        return false;
    }
    int p = 1, q = 0;
    if (n == 1) {
        q = m;
    } else if (m == 1) {
        q = n;
    } else {
        if (m < 1 || n < 1) return false;
        p = m;
        q = n;
    }
    Tensor& out = *outputs[0];
    out.n = a.n;
    out.h = 1;
    out.w = a.layout ? uint32_t(q) : uint32_t(p);
    out.c = a.layout ? uint32_t(p) : uint32_t(q);
    out.layout = a.layout;
    out.count = a.n * uint32_t(p) * uint32_t(q);
    return true;
}

void Gemm::expandQuantizedWeight(const RunEnv& env) {
    const size_t r = gemm::cols(*inputs[0]);
    const size_t c = gemm::cols(*weight);
    const float* s = weightScale->floatData(0, false, false, false);
    const int8_t* q = weight->s8();
    std::vector<float> values(r * c);
    for (size_t i = 0; i < r; ++i)
        for (size_t j = 0; j < c; ++j) values[i * c + j] = float(q[i * c + j]) * s[j];
    const int rep = env.halfPrecision ? kHalf : kFloat;
    printLog(env.halfPrecision ? "Convert quantized weight from i8 to fp16\n"
                               : "Convert quantized weight from i8 to fp32\n");
    if (!weight->data[rep]) {
        const size_t bytes = rep == kHalf ? sizeof(uint16_t) : sizeof(float);
        weight->data[rep] = alignedAlloc(weight->floatCapacity() * bytes);
        weight->notOwned[rep] = false;
    }
    if (env.halfPrecision)
        floatToHalfArray(values.size(), values.data(), weight->f16());
    else
        std::copy(values.begin(), values.end(), weight->f32());
}

bool Gemm::prepare(RunEnv& env) {
    if (weights.size() == 3 && weight->s8() && !inputs.empty()) expandQuantizedWeight(env);
    return reshape();
}

}  // namespace core

namespace simd {

Gemm::Gemm(const LayerRecord& record, TensorMap& blobs, TensorMap& weights)
    : core::Gemm(record, blobs, weights) {}

Gemm::~Gemm() { alignedFree(packedWeights); }

}  // namespace simd
}  // namespace YNet
