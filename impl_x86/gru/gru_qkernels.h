#pragma once
// 8-bit quantized GRU kernels. Weights are signed 8-bit rows with float row
// (or row-group) scales; the vector is widened to 16 bits and multiplied
// with the sign-extended weights in column pairs, summed in 32-bit integers.
#include <cstddef>
#include <cstdint>

namespace YNet {
namespace gru {

// A row of K columns split into `groups` runs of K / groups columns (one
// scale each), every run padded with a zero column to an even length.
struct QuantLayout {
    int K = 0, groups = 1, run = 0, paddedRun = 0;
    int paddedK() const { return groups * paddedRun; }
};
QuantLayout quantLayout(int K, int groups);

// Repacked weights: rows in blocks of `blockRows`; inside a block, for each
// run and each column pair of it, the block's rows' two bytes one row after
// another (2 * blockRows bytes). A block takes blockRows * paddedK() bytes.
void packQuantRows(const int8_t* src, int rows, const QuantLayout& l, int blockRows, int8_t* dst);
// Row-major rows x groups scales -> per block, per group, the block's rows.
void packGroupScales(const float* src, int rows, int groups, int blockRows, float* dst);
// The vector as the kernels read it: each run widened and zero-padded.
void widenRuns(const int8_t* v, const QuantLayout& l, int16_t* dst);
void widenRuns(const int16_t* v, const QuantLayout& l, int16_t* dst);

// out[j] = sum_g float(sum_{k in run g} v[k] w[j][k]) * inScale * scale[j][g]
//          + bias[j]
// with v widened, w packed for `blockRows` (16 or 32) and the scales in the
// packed group order; rows a multiple of blockRows.
using QuantMatVecFn = void (*)(const int16_t* v, const int8_t* w, const float* scales,
                               float inScale, const float* bias, float* out,
                               const QuantLayout& l, int rows, int blockRows);
void quantMatVecAvx2(const int16_t* v, const int8_t* w, const float* scales, float inScale,
                     const float* bias, float* out, const QuantLayout& l, int rows,
                     int blockRows);
void quantMatVecSse41(const int16_t* v, const int8_t* w, const float* scales, float inScale,
                      const float* bias, float* out, const QuantLayout& l, int rows,
                      int blockRows);

// Inputs and scratch of one quantized step (reset gate on the recurrent
// product only). W, R and their scales are packed for `blockRows`.
struct QuantStepArgs {
    const int8_t* W;
    const int8_t* R;
    const float* wScales;
    const float* rScales;
    float sx, sh;       // x and h quantization scales
    const float* Wb;    // 3H input biases
    const float* Rb;    // 3H recurrent biases
    QuantLayout wl, rl;
    int H, blockRows;
    bool hardSigmoid;
    bool reuseGh;       // step mode 2
    int16_t* wideH;     // rl.paddedK() scratch
    float* gx;
    float* gh;
    float* gates;
    QuantMatVecFn matVec;
};

// gh = R * h + Rb over all 3H rows, from the 8-bit state.
void quantRecurrent(const QuantStepArgs& a, const int8_t* h);
// One step from the widened input; overwrites the 8-bit state h.
void quantStep(const QuantStepArgs& a, const int16_t* wideX, int8_t* h);
// round(v / sh), halves away from zero, clamped to [-127, 127].
int8_t quantizeState(float v, float invScale);

}  // namespace gru
}  // namespace YNet
