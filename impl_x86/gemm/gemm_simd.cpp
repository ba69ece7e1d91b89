// Forward of the simd Gemm: the generic float products, AVX2+FMA or SSE.
#include "impl_x86/gemm/gemm_kernels.h"
#include "ynet/cpu_info.h"
#include "ynet/layer_registry.h"
#include "ynet/layers/gemm/gemm.h"

namespace YNet {
namespace simd {

namespace {

struct Family {
    void (*matVec)(const float*, const float*, const float*, float*, int, int);
    void (*vecMat)(const float*, const float*, const float*, float*, int, int);
    void (*general)(const float*, const float*, const float*, float*, int, int, int);
    void (*transA)(const float*, const float*, float*, int, int, int);
};

constexpr Family kSse = {gemm::matVecSse, gemm::vecMatSse, gemm::gemmSse, gemm::gemmTransASse};
constexpr Family kAvx2 = {gemm::matVecAvx2, gemm::vecMatAvx2, gemm::gemmAvx2,
                          gemm::gemmTransAAvx2};

}  // namespace

bool Gemm::forward(core::RunEnv& env) {
    // The input may have been reshaped since warmup (a layer before this one
    // shapes at run time): check it again.
    if (env.halfPrecision || !weight || !weight->f32() || !reshape()) return false;
    const CpuInfo& cpu = CpuInfo::get();
    const Family& fam = cpu.avx2() && cpu.fma() ? kAvx2 : kSse;
    const int m = sizeM(), n = sizeN(), k = sizeK();
    const float* b = weight->f32();
    const float* bi = bias ? bias->f32() : nullptr;
    const float* a = inputs[0]->floatData(0);
    float* c = outputs[0]->floatData(0);
    if (!a || !c) return false;
    if (n == 1 && !transA) {
        fam.matVec(a, b, bi, c, m, k);
    } else if (m == 1) {
        if (transB)
            fam.matVec(b, a, bi, c, n, k);
        else
            fam.vecMat(b, a, bi, c, n, k);
    } else if (m >= 2 && n >= 2 && !transB) {
        if (transA)
            fam.transA(a, b, c, m, n, k);
        else
            fam.general(a, b, bi, c, m, n, k);
    } else {
        return false;
    }
    return true;
}

}  // namespace simd

YNET_REGISTER_LAYER(3, "Gemm", simd::Gemm);

}  // namespace YNet
