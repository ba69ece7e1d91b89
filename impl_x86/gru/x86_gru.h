#pragma once
// The x86 GRU: packed FMA, generic FMA/SSE and quantized variants.
#include <cstdint>
#include <vector>

#include "impl_x86/gru/gru_kernels.h"
#include "ynet/layers/gru/gru.h"

namespace YNet {
namespace x86 {

class GRU : public simd::GRU {
public:
    bool packed = false;
    // Float variants: packed float rows. Quantized variants: packed 8-bit
    // rows in packedW / packedR and the packed W group scales in packedQuant.
    void* packedW = nullptr;
    float* packedQuant = nullptr;
    void* packedR = nullptr;

    GRU(const LayerRecord& record, TensorMap& blobs, TensorMap& weights);
    ~GRU() override;

    bool forward(core::RunEnv& env) override;

private:
    enum class Variant { Packed8, Packed4, GenericFma, GenericSse };
    Variant choose(const core::RunEnv& env) const;
    int packedBlockRows = 0;  // float: 8 or 4; quantized: 32 or 16 once packed
    uint32_t packedInputs = 0;  // input width the packed rows were made for
    std::vector<int16_t> wideX, wideH;  // widened quantized vectors

    bool pack(int blockRows, int chunk);
    bool runFloat(const core::RunEnv& env, Variant variant);
    bool runSequence(const gru::StepArgs& args, float* state);

    // Quantized variants (x86_gru_quant.cpp).
    int quantBlockRows() const;  // 32 (AVX2), 16 (SSE4.1) or 0: not runnable
    bool quantInputsReady() const;
    bool packQuant(int blockRows);
    bool runQuant(const core::RunEnv& env);
};

// Points a weight tensor's float data at a packed copy the layer owns, as a
// (1, 1, rows, cols) tensor; an owned previous buffer is freed.
void rebindPacked(Tensor& t, float* buffer, uint32_t rows, uint32_t cols);

}  // namespace x86
}  // namespace YNet
