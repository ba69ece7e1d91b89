// Quantized forward of the x86 GRU (8-bit weights, one time step): the
// dispatch between the AVX2 and SSE4.1 kernels, the one-time repacking and
// the 8-bit state and output.
#include <cstring>

#include "impl_x86/gru/gru_qkernels.h"
#include "impl_x86/gru/x86_gru.h"
#include "ynet/cpu_info.h"
#include "ynet/run_env.h"

namespace YNet {
namespace x86 {

namespace {

// The signed 8-bit buffer of a blob, allocated (zeroed) on first use. Every
// caller needs a fixed length, checked before the first allocation, so the
// buffer made then stays long enough whatever the blob's shape becomes.
int8_t* int8Data(Tensor& t, size_t need) {
    if (!t.data[kS8]) {
        if (t.count < need) return nullptr;
        t.data[kS8] = alignedAlloc(t.count);
        t.notOwned[kS8] = false;
    }
    return t.s8();
}

bool hasFloats(const Tensor* t, size_t n) { return t && t->f32() && t->count >= n; }

}  // namespace

int GRU::quantBlockRows() const {
    const CpuInfo& cpu = CpuInfo::get();
    const bool shape = linearBeforeReset == 1 && outputs[0]->w == 1;
    if (cpu.avx2()) return shape && hiddenSize % 32 == 0 ? 32 : 0;
    if (cpu.sse41() && shape && hiddenSize % 16 == 0) return 16;
    return 0;
}

// The five-entry weight list has no x and h scales: such a layer does not run.
bool GRU::quantInputsReady() const {
    const size_t H = size_t(hiddenSize), I = inputs[0]->c, rows = 3 * H;
    const size_t groups = quantGroup > 0 ? size_t(quantGroup) : 1;
    if (!gx || !gh || !gates || I == 0 || I % groups != 0) return false;
    if (!W || !W->s8() || W->count < rows * I || !R || !R->s8() || R->count < rows * H)
        return false;
    return hasFloats(B, 2 * rows) && hasFloats(xQuant, 1) && hasFloats(hQuant, 1) &&
           hasFloats(wScales, rows * groups) && hasFloats(rScales, rows);
}

bool GRU::packQuant(int blockRows) {
    const int H = hiddenSize, rows = 3 * H;
    const gru::QuantLayout wl = gru::quantLayout(int(inputs[0]->c), quantGroup);
    const gru::QuantLayout rl = gru::quantLayout(H, 1);
    auto* w = static_cast<int8_t*>(alignedAlloc(size_t(rows) * wl.paddedK()));
    auto* r = static_cast<int8_t*>(alignedAlloc(size_t(rows) * rl.paddedK()));
    packedW = w;
    packedR = r;
    if (!w || !r) return false;
    gru::packQuantRows(W->s8(), rows, wl, blockRows, w);
    gru::packQuantRows(R->s8(), rows, rl, blockRows, r);
    if (quantGroup > 0) {
        packedQuant = static_cast<float*>(alignedAlloc(size_t(rows) * quantGroup * sizeof(float)));
        if (!packedQuant) return false;
        gru::packGroupScales(wScales->f32(), rows, quantGroup, blockRows, packedQuant);
        rebindPacked(*wScales, packedQuant, uint32_t(rows), uint32_t(quantGroup));
    }
    wideX.assign(size_t(wl.paddedK()), 0);
    wideH.assign(size_t(rl.paddedK()), 0);
    packedBlockRows = blockRows;
    packedInputs = inputs[0]->c;
    packed = true;
    return true;
}

bool GRU::runQuant(const core::RunEnv& env) {
    // Once packed the format is fixed; the kernels read both block heights.
    const int blockRows = packed ? packedBlockRows : quantBlockRows();
    if (!quantBlockRows() || !quantInputsReady()) return false;
    if (!packed && !packQuant(blockRows)) return false;
    const CpuInfo& cpu = CpuInfo::get();
    const int H = hiddenSize;
    const uint32_t mode = env.stepMode;
    std::memset(gx, 0, 3 * H * sizeof(float));
    std::memset(gates, 0, 3 * H * sizeof(float));
    if (mode != 2) std::memset(gh, 0, 3 * H * sizeof(float));
    const float* bias = B->f32();
    const gru::QuantStepArgs args{
        static_cast<const int8_t*>(packedW), static_cast<const int8_t*>(packedR),
        wScales->f32(), rScales->f32(), xQuant->f32()[0], hQuant->f32()[0], bias, bias + 3 * H,
        gru::quantLayout(int(inputs[0]->c), quantGroup), gru::quantLayout(H, 1), H, blockRows,
        hardSigmoid != 0, mode == 2, wideH.data(), gx, gh, gates,
        cpu.avx2() ? gru::quantMatVecAvx2 : gru::quantMatVecSse41};
    Tensor& x = *inputs[0];
    int8_t* state = int8Data(*outputs[1], size_t(H));
    int8_t* y = int8Data(*outputs[0], size_t(H));
    if (!state || !y) return false;
    if (mode == 1) gru::quantRecurrent(args, state);
    if (mode != 0 && mode != 2) return true;
    if (x.s16()) {
        gru::widenRuns(x.s16(), args.wl, wideX.data());
    } else {
        const int8_t* x8 = int8Data(x, x.c);
        if (!x8) return false;
        gru::widenRuns(x8, args.wl, wideX.data());
    }
    gru::quantStep(args, wideX.data(), state);
    std::memcpy(y, state, size_t(H));
    return true;
}

}  // namespace x86
}  // namespace YNet
