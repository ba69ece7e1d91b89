// Forward of the x86 GRU: dispatch between the packed FMA variants and the
// generic row-major ones, the step modes and the one-time weight packing.
#include "impl_x86/gru/x86_gru.h"

#include <cstring>

#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/run_env.h"

namespace YNet {
namespace x86 {

namespace {

// An output buffer in the tensor's own layout, allocated on first use.
float* outputData(Tensor& t) { return t.f32() && t.holdsShape() ? t.f32() : t.floatData(t.layout); }

// A blob another layer reshaped after this one's reshape can be shorter than
// the step reads: such a buffer is refused rather than read or written past.
bool holdsFloats(const Tensor& t, size_t n) {
    return t.floatCapacity() >= n && t.floatBufferSize() >= n;
}

}  // namespace

void rebindPacked(Tensor& t, float* buffer, uint32_t rows, uint32_t cols) {
    t.bindFloats(buffer, 1, 1, rows, cols, t.layout);
}

GRU::GRU(const LayerRecord& record, TensorMap& blobs, TensorMap& weights)
    : simd::GRU(record, blobs, weights) {}

GRU::~GRU() {
    alignedFree(packedW);
    alignedFree(packedQuant);
    alignedFree(packedR);
}

GRU::Variant GRU::choose(const core::RunEnv& env) const {
    const CpuInfo& cpu = CpuInfo::get();
    if (cpu.avx() && cpu.fma() && outputs[0]->w == 1) {
        if (hiddenSize % 8 == 0) return Variant::Packed8;
        if (hiddenSize % 4 == 0) return Variant::Packed4;
    }
    if (!env.halfPrecision && cpu.avx2() && cpu.fma()) return Variant::GenericFma;
    return Variant::GenericSse;
}

bool GRU::pack(int blockRows, int chunk) {
    const int H = hiddenSize;
    const int I = int(inputs[0]->c);
    const size_t wSize = size_t(3) * H * I, rSize = size_t(3) * H * H;
    auto* w = static_cast<float*>(alignedAlloc(wSize * sizeof(float)));
    auto* r = static_cast<float*>(alignedAlloc(rSize * sizeof(float)));
    packedW = w;
    packedR = r;
    if (!w || !r) return false;
    gru::packRows(W->f32(), 3 * H, I, blockRows, chunk, w);
    gru::packRows(R->f32(), 3 * H, H, blockRows, chunk, r);
    rebindPacked(*W, w, uint32_t(3 * H), uint32_t(I));
    rebindPacked(*R, r, uint32_t(3 * H), uint32_t(H));
    packedInputs = uint32_t(I);
    packed = true;
    return true;
}

bool GRU::forward(core::RunEnv& env) {
    if (inputs.size() < 2 || outputs.size() < 2) return false;
    // Packed rows only fit the input width they were made for.
    if (packed && inputs[0]->c != packedInputs) return false;
    if (quantMode == 1) return runQuant(env);
    if (quantMode != 0) return false;
    const size_t H = size_t(hiddenSize), I = inputs[0]->c;
    if (!W || !R || !B || !W->f32() || !R->f32() || !B->f32() || !gx || !gh || !gates ||
        W->count < 3 * H * I || R->count < 3 * H * H || B->count < 6 * H)
        return false;
    return runFloat(env, choose(env));
}

bool GRU::runFloat(const core::RunEnv& env, Variant variant) {
    using namespace gru;
    const CpuInfo& cpu = CpuInfo::get();
    // Once packed, W and R only exist in the packed format, so the packed
    // kernel stays in use whatever the shape.
    if (packed) variant = packedBlockRows == 8 ? Variant::Packed8 : Variant::Packed4;
    const bool isPacked = variant == Variant::Packed8 || variant == Variant::Packed4;
    if (isPacked && !(cpu.avx() && cpu.fma())) return false;
    if (isPacked && !packed) {
        packedBlockRows = variant == Variant::Packed8 ? 8 : 4;
        if (!pack(packedBlockRows, packedBlockRows * 4)) return false;
    }
    static const MatVecFn kernels[] = {matVecPacked8Fma, matVecPacked4Fma, matVecAvx2, matVecSse};
    const int H = hiddenSize;
    const uint32_t mode = env.stepMode;
    std::memset(gx, 0, 3 * H * sizeof(float));
    std::memset(gates, 0, 3 * H * sizeof(float));
    if (mode != 2) std::memset(gh, 0, 3 * H * sizeof(float));
    const float* bias = B->f32();
    StepArgs args{W->f32(), R->f32(), bias, bias + 3 * H, int(inputs[0]->c), H,
                  hardSigmoid != 0, linearBeforeReset != 0, mode == 2, gx, gh, gates,
                  kernels[int(variant)]};
    float* state = outputData(*outputs[1]);
    if (!state || !holdsFloats(*outputs[1], size_t(H))) return false;
    if (mode == 1) args.matVec(state, args.R, args.Rb, gh, H, 3 * H);
    if (mode == 0 || mode == 2) return runSequence(args, state);
    return true;
}

bool GRU::runSequence(const gru::StepArgs& args, float* state) {
    const size_t H = size_t(hiddenSize);
    const uint32_t T = outputs[0]->w;
    float* y = outputData(*outputs[0]);
    const float* x = T >= 1 ? inputs[0]->floatData(0) : nullptr;
    if (!y || !holdsFloats(*outputs[0], sequenceOutput ? T * H : H)) return false;
    if (T >= 1 && (!x || !holdsFloats(*inputs[0], T * size_t(args.I)))) return false;
    for (uint32_t t = 0; t < T; ++t) {
        gru::step(args, x + size_t(t) * args.I, state);
        if (sequenceOutput) std::memcpy(y + t * H, state, H * sizeof(float));
    }
    if (!sequenceOutput) std::memcpy(y, state, H * sizeof(float));
    return true;
}

YNET_REGISTER_LAYER(3, "GRU", x86::GRU);

}  // namespace x86
}  // namespace YNet
