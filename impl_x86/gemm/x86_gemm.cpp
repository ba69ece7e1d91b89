#include "impl_x86/gemm/x86_gemm.h"

#include <vector>

#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"

namespace YNet {
namespace x86 {

Gemm::Gemm(const LayerRecord& record, TensorMap& blobs, TensorMap& weights)
    : simd::Gemm(record, blobs, weights) {}

bool Gemm::forward(core::RunEnv& env) {
    if (quantMode == 2) return false;
    if (quantMode == 1) return quantized();
    const CpuInfo& cpu = CpuInfo::get();
    const Tensor& a = *inputs[0];
    const int n = columnsN(), k = sizeK();
    const bool plain = !transA && !transB;
    if (cpu.avx() && cpu.fma() && gemm::rows(a) == 1 && gemm::cols(a) % 16 == 0 && n >= 4 &&
        plain)
        return rowVectorFp32(n, k);
    if (plain && sizeM() == 1) return rowVectorBf16(cpu.avx2() && cpu.fma(), n, k);
    return simd::Gemm::forward(env);
}

// Packs B once and rebinds the weight tensor to the packed buffer, which the
// layer owns from then on.
bool Gemm::rowVectorFp32(int n, int k) {
    if (!packed) {
        if (!weight->f32()) return false;
        float* buf = static_cast<float*>(alignedAlloc(size_t(k) * n * sizeof(float)));
        gemm::packRowVectorFp32(weight->f32(), k, n, buf);
        weight->bindFloats(buf, 1, 1, uint32_t(n), uint32_t(k), weight->layout);
        packedWeights = buf;
        packedColumns = n;
        packed = 1;
    }
    gemm::rowVectorFp32Fma(inputs[0]->floatData(0), static_cast<const float*>(packedWeights),
                           bias ? bias->f32() : nullptr, outputs[0]->floatData(0), n, k);
    return true;
}

bool Gemm::rowVectorBf16(bool wide, int n, int k) {
    if (!packed) {
        if (!weight->f32()) return false;
        auto* buf = static_cast<uint16_t*>(alignedAlloc(size_t(k) * n * sizeof(uint16_t)));
        (wide ? gemm::packBf16Wide : gemm::packBf16Narrow)(weight->f32(), nullptr, k, 0, n, buf);
        packedWeights = buf;
        packed = 1;
    }
    const auto* p = static_cast<const uint16_t*>(packedWeights);
    const float* x = inputs[0]->floatData(0);
    const float* bi = bias ? bias->f32() : nullptr;
    float* y = outputs[0]->floatData(0);
    if (wide)
        gemm::rowVectorBf16Avx2(x, p, bi, y, n, k);
    else
        gemm::rowVectorBf16Sse(x, p, bi, y, n, k);
    return true;
}

bool Gemm::quantized() {
    const Tensor& a = *inputs[0];
    if (!weight || !weight->s8() || !inputScale || !inputScale->f32() || !weightScale ||
        !weightScale->f32() || (!a.s8() && !a.s16()))
        return false;
    const CpuInfo& cpu = CpuInfo::get();
    const bool plain = !transA && !transB;
    const int n = sizeN(), k = sizeK();
    if (cpu.avx2()) return sizeM() == 1 && plain && quantizedAvx2(a, n, k);
    if (cpu.sse41() && gemm::rows(a) == 1 && plain) return quantizedSse41(a, n, k);
    return false;
}

bool Gemm::quantizedAvx2(const Tensor& a, int n, int k) {
    const uint32_t colsA = gemm::cols(a);
    if (!floatOutput) return colsA % 32 == 0 && n >= 4 && int8Output(a, n, k, true);
    const float is = inputScale->f32()[0];
    const float* bi = bias ? bias->f32() : nullptr;
    float* y = outputs[0]->floatData(0);
    if (!a.s16()) {
        if (colsA % 32 == 0 && n >= 4)
            floatFromSums(a, n, k, true);
        else
            gemm::qgemvFloatGeneral(a.s8(), weight->s8(), is, weightScale->f32(), bi, y, n, k);
        return true;
    }
    if (n % 64 == 0 && colsA % 16 == 0) return pairKernel(a, n, k);
    gemm::qgemvFloatGeneral(a.s16(), weight->s8(), is, weightScale->f32(), bi, y, n, k);
    return true;
}

bool Gemm::quantizedSse41(const Tensor& a, int n, int k) {
    const uint32_t colsA = gemm::cols(a);
    if (!floatOutput) return colsA % 16 == 0 && n >= 4 && int8Output(a, n, k, false);
    const float is = inputScale->f32()[0];
    const float* bi = bias ? bias->f32() : nullptr;
    float* y = outputs[0]->floatData(0);
    if (!a.s16())
        gemm::qgemvFloatGeneral(a.s8(), weight->s8(), is, weightScale->f32(), bi, y, n, k);
    else if (n % 32 == 0 && colsA % 8 == 0)
        floatFromSums(a, n, k, false);
    else
        gemm::qgemvFloatGeneral(a.s16(), weight->s8(), is, weightScale->f32(), bi, y, n, k);
    return true;
}

namespace {

template <class A>
void sumsFor(const A* a, const int8_t* w, int32_t* s, int n, int k, bool avx2) {
    if (avx2)
        gemm::qsumColumnsAvx2(a, w, s, n, k);
    else
        gemm::qsumColumnsSse41(a, w, s, n, k);
}

// Column sums with the 16-bit activations when A has them, else the 8-bit.
std::vector<int32_t> columnSums(const Tensor& a, const int8_t* w, int n, int k, bool avx2) {
    std::vector<int32_t> s(static_cast<size_t>(n));
    if (a.s16())
        sumsFor(a.s16(), w, s.data(), n, k, avx2);
    else
        sumsFor(a.s8(), w, s.data(), n, k, avx2);
    return s;
}

}  // namespace

void Gemm::floatFromSums(const Tensor& a, int n, int k, bool avx2) {
    const std::vector<int32_t> s = columnSums(a, weight->s8(), n, k, avx2);
    gemm::qfinishFloat(s.data(), inputScale->f32()[0], weightScale->f32(),
                       bias ? bias->f32() : nullptr, outputs[0]->floatData(0), n);
}

bool Gemm::int8Output(const Tensor& a, int n, int k, bool avx2) {
    if (!outputScale || !outputScale->f32()) return false;
    Tensor& out = *outputs[0];
    if (!out.data[kS8]) {
        out.data[kS8] = alignedAlloc(out.count);
        out.notOwned[kS8] = false;
    }
    const std::vector<int32_t> s = columnSums(a, weight->s8(), n, k, avx2);
    gemm::qfinishInt8(s.data(), bias ? bias->s32() : nullptr, requant(), out.s8(), n);
    return true;
}

gemm::Requant Gemm::requant() {
    if (!requantReady) {
        const gemm::Requant r = gemm::requantFactor(weightScale->f32()[0] * inputScale->f32()[0] /
                                                    outputScale->f32()[0]);
        requantMultiplier = r.multiplier;
        requantShift = r.shift;
        requantReady = true;
    }
    gemm::Requant r;
    r.multiplier = requantMultiplier;
    r.shift = requantShift;
    return r;
}

// Packs the pair format once and folds the input scale into the per-column
// weight scales in place.
bool Gemm::pairKernel(const Tensor& a, int n, int k) {
    float* scale = weightScale->f32();
    if (!packed) {
        auto* buf = static_cast<int8_t*>(alignedAlloc(size_t(k) * n));
        gemm::packQuantPairs64(weight->s8(), k, n, buf);
        const float is = inputScale->f32()[0];
        for (int j = 0; j < n; ++j) scale[j] *= is;
        packedWeights = buf;
        packed = 1;
    }
    gemm::qgemvPairsAvx2(a.s16(), static_cast<const int8_t*>(packedWeights), scale,
                         bias ? bias->f32() : nullptr, outputs[0]->floatData(0), n, k);
    return true;
}

}  // namespace x86

YNET_REGISTER_LAYER(3, "MatMul", x86::Gemm);

}  // namespace YNet
