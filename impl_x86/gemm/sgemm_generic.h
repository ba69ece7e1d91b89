#pragma once
// Generic float products written once over a small vector-ops struct, so the
// SSE and the AVX2+FMA builds share one blocking. Ops is one of the traits of
// impl_x86/simd: V, kLanes, zero, set1, load, store, fmadd(a, b, c) = a*b + c
// and addLanes(s, v): s + v[0] + v[1] + ... added one after the other.
// Included by one kernel file per ISA; the unnamed namespace keeps each
// build's copy local so the linker never mixes instruction sets.
#include <cstddef>

namespace YNet {
namespace gemm {
namespace {
namespace generic {

// Scalar dot over k with stride-1 a and strided b, 4 terms per step.
inline float dotStrided(const float* a, const float* b, int stride, int K, float s) {
    int k = 0;
    for (; k + 4 <= K; k += 4)
        s += a[k] * b[k * stride] + a[k + 1] * b[(k + 1) * stride] +
             a[k + 2] * b[(k + 2) * stride] + a[k + 3] * b[(k + 3) * stride];
    for (; k < K; ++k) s += a[k] * b[k * stride];
    return s;
}

// Acc[j] = vector j of a block of Nv vectors that all run over the same k.
template <class Ops, int Nv>
struct Block {
    typename Ops::V acc[Nv];
    void init(const float* src) {
        for (int j = 0; j < Nv; ++j) acc[j] = src ? Ops::load(src + j * Ops::kLanes) : Ops::zero();
    }
    void store(float* dst) const {
        for (int j = 0; j < Nv; ++j) Ops::store(dst + j * Ops::kLanes, acc[j]);
    }
};

// C row by row; 8 columns per block, A[m][k] broadcast, k innermost.
template <class Ops>
void gemm(const float* A, const float* B, const float* bias, float* C, int M, int N, int K) {
    constexpr int Nv = 8 / Ops::kLanes;
    for (int m = 0; m < M; ++m) {
        const float* a = A + size_t(m) * K;
        float* c = C + size_t(m) * N;
        const float* bRow = bias ? bias + size_t(m) * N : nullptr;
        int n = 0;
        for (; n + 8 <= N; n += 8) {
            Block<Ops, Nv> blk;
            blk.init(bRow ? bRow + n : nullptr);
            for (int k = 0; k < K; ++k) {
                auto av = Ops::set1(a[k]);
                for (int j = 0; j < Nv; ++j)
                    blk.acc[j] = Ops::fmadd(av, Ops::load(B + size_t(k) * N + n + j * Ops::kLanes),
                                           blk.acc[j]);
            }
            blk.store(c + n);
        }
        for (; n < N; ++n) c[n] = dotStrided(a, B + n, N, K, bRow ? bRow[n] : 0.f);
    }
}

// Columns n0..n0+Cols-1 for Rows values of m starting at m, k innermost.
template <class Ops, int Rows, int Cols>
void transATile(const float* A, const float* B, float* C, int M, int N, int K, int m, int n0) {
    constexpr int Nv = Rows / Ops::kLanes;
    Block<Ops, Nv> blk[Cols];
    for (int c = 0; c < Cols; ++c) blk[c].init(nullptr);
    for (int k = 0; k < K; ++k) {
        const float* a = A + size_t(k) * M + m;
        typename Ops::V av[Nv];
        for (int j = 0; j < Nv; ++j) av[j] = Ops::load(a + j * Ops::kLanes);
        for (int c = 0; c < Cols; ++c) {
            auto bv = Ops::set1(B[size_t(k) * N + n0 + c]);
            for (int j = 0; j < Nv; ++j) blk[c].acc[j] = Ops::fmadd(av[j], bv, blk[c].acc[j]);
        }
    }
    for (int c = 0; c < Cols; ++c) blk[c].store(C + size_t(n0 + c) * M + m);
}

// Columns n.. of 16 values of m, Cols columns per tile, then one tile of
// the columns left. Every column's sum is the same whatever tile holds it;
// wider tiles only run more independent accumulator chains at once.
template <class Ops, int Cols>
void transAColumns(const float* A, const float* B, float* C, int M, int N, int K, int m, int n) {
    for (; n + Cols <= N; n += Cols) transATile<Ops, 16, Cols>(A, B, C, M, N, K, m, n);
    if constexpr (Cols > 1) transAColumns<Ops, Cols - 1>(A, B, C, M, N, K, m, n);
}

// A is KxM, the result is written transposed: C[n*M + m]. With 8 lanes a
// tile of 6 columns keeps twelve accumulator chains in flight (k is short,
// so fewer chains leave the FMA units waiting on each other's latency); with
// 4 lanes two columns already fill the registers.
template <class Ops>
void gemmTransA(const float* A, const float* B, float* C, int M, int N, int K) {
    constexpr int kCols = Ops::kLanes == 8 ? 6 : 2;
    int m = 0;
    for (; m + 16 <= M; m += 16) transAColumns<Ops, kCols>(A, B, C, M, N, K, m, 0);
    for (; m + 8 <= M; m += 8)
        for (int n = 0; n < N; ++n) transATile<Ops, 8, 1>(A, B, C, M, N, K, m, n);
    for (; m < M; ++m)
        for (int n = 0; n < N; ++n) {
            float s = 0.f;
            for (int k = 0; k < K; ++k) s += A[size_t(k) * M + m] * B[size_t(k) * N + n];
            C[size_t(n) * M + m] = s;
        }
}

// One output row at a time: 8-wide chunks into vectors, then 4-chunks and
// single terms into a scalar that starts at bias[r]; lanes folded last.
template <class Ops>
void matVec(const float* mat, const float* v, const float* bias, float* y, int R, int K) {
    constexpr int Nv = 8 / Ops::kLanes;
    for (int r = 0; r < R; ++r) {
        const float* row = mat + size_t(r) * K;
        Block<Ops, Nv> blk;
        blk.init(nullptr);
        int k = 0;
        for (; k + 8 <= K; k += 8)
            for (int j = 0; j < Nv; ++j)
                blk.acc[j] = Ops::fmadd(Ops::load(row + k + j * Ops::kLanes),
                                       Ops::load(v + k + j * Ops::kLanes), blk.acc[j]);
        float s = bias ? bias[r] : 0.f;
        for (; k + 4 <= K; k += 4)
            s += row[k] * v[k] + row[k + 1] * v[k + 1] + row[k + 2] * v[k + 2] +
                 row[k + 3] * v[k + 3];
        for (; k < K; ++k) s += row[k] * v[k];
        for (int j = 0; j < Nv; ++j) s = Ops::addLanes(s, blk.acc[j]);
        y[r] = s;
    }
}

// 16 columns per block with x[k] broadcast; remaining columns scalar.
template <class Ops>
void vecMat(const float* B, const float* x, const float* bias, float* y, int N, int K) {
    constexpr int Nv = 16 / Ops::kLanes;
    int n = 0;
    for (; n + 16 <= N; n += 16) {
        Block<Ops, Nv> blk;
        blk.init(bias ? bias + n : nullptr);
        for (int k = 0; k < K; ++k) {
            auto xv = Ops::set1(x[k]);
            for (int j = 0; j < Nv; ++j)
                blk.acc[j] =
                    Ops::fmadd(xv, Ops::load(B + size_t(k) * N + n + j * Ops::kLanes), blk.acc[j]);
        }
        blk.store(y + n);
    }
    for (; n < N; ++n) y[n] = dotStrided(x, B + n, N, K, bias ? bias[n] : 0.f);
}

}  // namespace generic
}  // namespace
}  // namespace gemm
}  // namespace YNet
