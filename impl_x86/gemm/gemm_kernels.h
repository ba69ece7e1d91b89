#pragma once
// Matrix product kernels of the Gemm layer, shared with other layers (the GRU
// reuses the row-vector products). Plain functions; every matrix is
// contiguous row-major float data, `bias` may be null (nothing is added).
// Callers choose the ISA variant from CpuInfo; each variant may only be
// called when its instruction set is present.
//
// Row-vector products compute y[n] = bias[n] + sum_k x[k] * B[k][n] for a
// 1xK vector x and a KxN matrix B that was packed once by the matching pack
// function. Packed buffers should come from alignedAlloc (kernels read them
// with aligned-or-unaligned loads, never past the packed size).
#include <cstddef>
#include <cstdint>

namespace YNet {
namespace gemm {

// ---- fp32 row-vector product (needs AVX and FMA) --------------------------
// Packed layout, K a multiple of 16: for each group g of 4 columns
// (g < N/4), for each block b of 16 rows (b < K/16), for each column of the
// group: B[16b + i][4g + col], i = 0..15. The N % 4 last columns follow,
// each as its K/16 blocks of 16 consecutive k. K*N floats in all.
void packRowVectorFp32(const float* B, int K, int N, float* packed);
void rowVectorFp32Fma(const float* x, const float* packed, const float* bias, float* y, int N,
                      int K);

// ---- bfloat16 row-vector products -----------------------------------------
// Both formats hold the upper 16 bits of the float weights and take an
// optional second matrix B2 (K2 x N, same row length N) whose rows follow
// B's rows inside every block; the kernel's K is then K + K2 and x holds
// the K + K2 values (x for B, then x2 for B2). Pass B2 = null, K2 = 0 for
// one matrix. K*N (+ K2*N) 16-bit values in all.
//
// Wide format (AVX2 kernel): blocks of 64 columns, per row 64 values in four
// groups of 16; inside a group of columns j..j+15 the stored order is
// j..j+3, j+8..j+11, j+4..j+7, j+12..j+15 (so that a per-lane interleave
// with zeros widens them in column order). Truncates. The N % 64 last
// columns follow column by column, each as its rows in k order.
void packBf16Wide(const float* B, const float* B2, int K, int K2, int N, uint16_t* packed);
void rowVectorBf16Avx2(const float* x, const uint16_t* packed, const float* bias, float* y,
                       int N, int K);

// Narrow format (SSE kernel): blocks of 32 columns in natural order, rounded
// to nearest (ties away from zero); tail columns as in the wide format.
void packBf16Narrow(const float* B, const float* B2, int K, int K2, int N, uint16_t* packed);
void rowVectorBf16Sse(const float* x, const uint16_t* packed, const float* bias, float* y, int N,
                      int K);

// The two 16-bit encodings, for references and other packers.
uint16_t bf16Truncate(float v);
uint16_t bf16RoundNearest(float v);
float bf16ToFloat(uint16_t v);
// s + sum_k bf16(column[k]) * x[k], in k order, 4 terms per step (the tail
// columns of both formats).
float bf16Dot(const float* x, const uint16_t* column, int K, float s);

// ---- generic float family (unpacked operands), SSE and AVX2+FMA ----------
// matVec:  y[r] = bias[r] + sum_k mat[r*K + k] * v[k]            (R rows)
// vecMat:  y[n] = bias[n] + sum_k x[k] * B[k*N + n]              (N columns)
// general: C[m*N + n] = bias[m*N + n] + sum_k A[m*K + k] * B[k*N + n]
// transA:  C[n*M + m] = sum_k A[k*M + m] * B[k*N + n]  (A is KxM; no bias)
void matVecSse(const float* mat, const float* v, const float* bias, float* y, int R, int K);
void vecMatSse(const float* B, const float* x, const float* bias, float* y, int N, int K);
void gemmSse(const float* A, const float* B, const float* bias, float* C, int M, int N, int K);
void gemmTransASse(const float* A, const float* B, float* C, int M, int N, int K);

void matVecAvx2(const float* mat, const float* v, const float* bias, float* y, int R, int K);
void vecMatAvx2(const float* B, const float* x, const float* bias, float* y, int N, int K);
void gemmAvx2(const float* A, const float* B, const float* bias, float* C, int M, int N, int K);
void gemmTransAAvx2(const float* A, const float* B, float* C, int M, int N, int K);

// ---- 8-bit quantized row-vector products ---------------------------------
// a: K signed 8- or 16-bit activations, w: KxN signed 8-bit weights
// row-major, one weight scale per column.

// General float output, float arithmetic per term:
// y[n] = bias[n] + sum_k (a[k] * inScale) * (w[k][n] * wScale[n]).
void qgemvFloatGeneral(const int8_t* a, const int8_t* w, float inScale, const float* wScale,
                       const float* bias, float* y, int N, int K);
void qgemvFloatGeneral(const int16_t* a, const int8_t* w, float inScale, const float* wScale,
                       const float* bias, float* y, int N, int K);

// Exact 32-bit column sums: sums[n] = sum_k a[k] * w[k][n] (any N, K).
void qsumColumns(const int8_t* a, const int8_t* w, int32_t* sums, int N, int K);
void qsumColumns(const int16_t* a, const int8_t* w, int32_t* sums, int N, int K);
void qsumColumnsSse41(const int8_t* a, const int8_t* w, int32_t* sums, int N, int K);
void qsumColumnsSse41(const int16_t* a, const int8_t* w, int32_t* sums, int N, int K);
void qsumColumnsAvx2(const int8_t* a, const int8_t* w, int32_t* sums, int N, int K);
void qsumColumnsAvx2(const int16_t* a, const int8_t* w, int32_t* sums, int N, int K);

// y[n] = float(sums[n]) * (wScale[n] * inScale) + bias[n].
void qfinishFloat(const int32_t* sums, float inScale, const float* wScale, const float* bias,
                  float* y, int N);

// Fixed-point factor f = multiplier * 2^(shift - 31), multiplier in
// [2^30, 2^31).
struct Requant {
    int32_t multiplier = 1;
    int32_t shift = 0;
};
Requant requantFactor(float f);
// Rescales one 32-bit sum and clamps it to [-127, 127].
int8_t requantize(int32_t acc, Requant r);
// y[n] = requantize(sums[n] + bias[n]); bias (32-bit) may be null.
void qfinishInt8(const int32_t* sums, const int32_t* bias, Requant r, int8_t* y, int N);

// Pair format, N a multiple of 64 and K even: for each block of 64 columns,
// for each row pair (k, k+1), the 64 byte pairs (w[k][n], w[k+1][n]).
void packQuantPairs64(const int8_t* w, int K, int N, int8_t* packed);
// Float output over the pair format with the scales pre-folded:
// y[n] = float(sum_k a[k] * w[k][n]) * scale[n] + bias[n].
void qgemvPairsAvx2(const int16_t* a, const int8_t* packed, const float* scale,
                    const float* bias, float* y, int N, int K);

}  // namespace gemm
}  // namespace YNet
