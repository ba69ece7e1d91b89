#pragma once
// Kernels of the GRU layer. A matrix-vector kernel computes
//   out[j] = bias[j] + sum_k Wt[j][k] * v[k],  j < rows, k < K
// with the weights in the kernel's own format. Each ISA variant may only be
// called when its instruction set is present.
#include <cstddef>

namespace YNet {
namespace gru {

using MatVecFn = void (*)(const float* v, const float* w, const float* bias, float* out, int K,
                          int rows);

// Row-major weights (row j at w + j*K), SSE: per row two 4-wide accumulators
// over chunks of 8 columns, their lanes added to a scalar that starts at the
// bias, then the remaining columns in chunks of 4 (summed first), then one by
// one.
void matVecSse(const float* v, const float* w, const float* bias, float* out, int K, int rows);
// Same with one 8-wide fused multiply-add accumulator (AVX2+FMA).
void matVecAvx2(const float* v, const float* w, const float* bias, float* out, int K, int rows);

// Packed row-block format: rows in blocks of `blockRows` (rows must be a
// multiple of it). Inside a block, for each chunk of `chunk` columns the
// block's rows one after another (blockRows*chunk floats), then the K % chunk
// tail columns, again row after row. A block takes blockRows*K floats, so the
// rows of block b start at b*blockRows*K.
void packRows(const float* src, int rows, int K, int blockRows, int chunk, float* dst);

// Packed kernels (AVX+FMA): 8 rows x 32 columns and 4 rows x 16 columns.
void matVecPacked8Fma(const float* v, const float* w, const float* bias, float* out, int K,
                      int rows);
void matVecPacked4Fma(const float* v, const float* w, const float* bias, float* out, int K,
                      int rows);

// Scalar activations of one step.
float logistic(float v);      // exp in single precision, 1/(1+e) in double
float hardSigmoid(float v);   // 0 below -2.5, 1 above 2.5, else 0.2v + 0.5
float tanhRational(float v);  // rational tanh, clamped to +-1 outside (-5, 5]

// Inputs and scratch of one step. W and R are in the format `matVec` reads;
// the candidate rows of R start at row 2H of that format.
struct StepArgs {
    const float* W;
    const float* R;
    const float* Wb;  // 3H input biases (z, r, n)
    const float* Rb;  // 3H recurrent biases (z, r, n)
    int I, H;
    bool hardSigmoid;
    bool linearBeforeReset;
    bool reuseGh;  // step mode 2: the recurrent products in gh are precomputed
    float* gx;     // 3H scratch each
    float* gh;
    float* gates;
    MatVecFn matVec;
};

// One time step: reads x (I floats) and h (H floats), overwrites h.
void step(const StepArgs& a, const float* x, float* h);

// gates[j] = sigma(gx[j] + gh[j]) for j < n.
void gateActivations(const float* gx, const float* gh, float* gates, int n, bool hard);
// h[j] = z[j]*h[j] + (1 - z[j]) * tanhRational(a[j]) for j < n.
void updateState(const float* z, const float* a, float* h, int n);

}  // namespace gru
}  // namespace YNet
