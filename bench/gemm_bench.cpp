// The network's matrix products through their kernels, with GFLOP/s and the
// bandwidth the weight stream achieves, next to this machine's streaming
// read bandwidth for the same working-set size (ReadBandwidth/<bytes>).
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <random>
#include <vector>

#include "bench/weight_copies.h"
#include "impl_x86/gemm/gemm_kernels.h"
#include "ynet/cpu_info.h"
#include "ynet/tensor.h"

using namespace YNet;

namespace {

std::vector<float> random(size_t n) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> d(-1.f, 1.f);
    std::vector<float> v(n);
    for (auto& x : v) x = d(gen);
    return v;
}

bool avx2Fma() { return CpuInfo::get().avx2() && CpuInfo::get().fma(); }

void report(benchmark::State& state, double flops, double bytes) {
    const auto it = double(state.iterations());
    state.counters["GFLOP/s"] = benchmark::Counter(flops * it / 1e9, benchmark::Counter::kIsRate);
    state.counters["GB/s"] = benchmark::Counter(bytes * it / 1e9, benchmark::Counter::kIsRate);
}

// Four 33x33 mixing products per frame: A 33x64 used transposed.
void MixingTransA(benchmark::State& state) {
    const int M = 64, N = 33, K = 33;
    const auto A = random(K * M), B = random(K * N);
    std::vector<float> C(size_t(M) * N);
    auto fn = avx2Fma() ? gemm::gemmTransAAvx2 : gemm::gemmTransASse;
    for (auto _ : state) {
        fn(A.data(), B.data(), C.data(), M, N, K);
        benchmark::DoNotOptimize(C.data());
    }
    report(state, 2.0 * M * N * K, 4.0 * (K * M + K * N + M * N));
}
BENCHMARK(MixingTransA);

// 1x128 times 128x1056 over the packed fp32 copy; arg 0 = 1 reads the
// weights from outer caches, as in the net.
void DenseFp32(benchmark::State& state) {
    if (!(CpuInfo::get().avx() && CpuInfo::get().fma())) return state.SkipWithError("no AVX+FMA");
    const int K = 128, N = 1056;
    const bool cold = state.range(0) != 0;
    const auto B = random(size_t(K) * N), x = random(K), bias = random(N);
    WeightCopies<float> packed(size_t(K) * N, cold,
                               [&](float* p) { gemm::packRowVectorFp32(B.data(), K, N, p); });
    std::vector<float> y(N);
    for (auto _ : state) {
        gemm::rowVectorFp32Fma(x.data(), packed.next(), bias.data(), y.data(), N, K);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetLabel(weightPlace(cold));
    report(state, 2.0 * K * N, 4.0 * K * N);
}
BENCHMARK(DenseFp32)->Arg(0)->Arg(1);

// The two head layers over their bfloat16 copies; arg 0 = K, arg 1 = 1 for
// the wide (AVX2) format, 0 for the narrow (SSE) one, arg 2 = 1 reads the
// weights from outer caches.
void DenseBf16(benchmark::State& state) {
    const int K = int(state.range(0)), N = 513;
    const bool wide = state.range(1) != 0, cold = state.range(2) != 0;
    if (wide && !avx2Fma()) return state.SkipWithError("no AVX2+FMA");
    const auto B = random(size_t(K) * N), x = random(K), bias = random(N);
    WeightCopies<uint16_t> packed(size_t(K) * N, cold, [&](uint16_t* p) {
        (wide ? gemm::packBf16Wide : gemm::packBf16Narrow)(B.data(), nullptr, K, 0, N, p);
    });
    std::vector<float> y(N);
    auto fn = wide ? gemm::rowVectorBf16Avx2 : gemm::rowVectorBf16Sse;
    for (auto _ : state) {
        fn(x.data(), packed.next(), bias.data(), y.data(), N, K);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetLabel(weightPlace(cold));
    report(state, 2.0 * K * N, 2.0 * K * N);
}
BENCHMARK(DenseBf16)->ArgsProduct({{257, 513}, {1, 0}, {0, 1}});

// The same head products on the unpacked fp32 weights (generic family).
void DenseGenericFp32(benchmark::State& state) {
    const int K = int(state.range(0)), N = int(state.range(1));
    const auto B = random(size_t(K) * N), x = random(K), bias = random(N);
    std::vector<float> y(N);
    auto fn = avx2Fma() ? gemm::vecMatAvx2 : gemm::vecMatSse;
    for (auto _ : state) {
        fn(B.data(), x.data(), bias.data(), y.data(), N, K);
        benchmark::DoNotOptimize(y.data());
    }
    report(state, 2.0 * K * N, 4.0 * K * N);
}
BENCHMARK(DenseGenericFp32)->Args({128, 1056})->Args({257, 513})->Args({513, 513});

// Streaming read ceiling for a working set of the given size (repeated
// reads, so caches help exactly as they help the kernels above).
void ReadBandwidth(benchmark::State& state) {
    const size_t n = size_t(state.range(0)) / 4;
    const auto v = random(n);
    for (auto _ : state) {
        __m128 s0 = _mm_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
        for (size_t i = 0; i + 16 <= n; i += 16) {
            s0 = _mm_add_ps(s0, _mm_loadu_ps(&v[i]));
            s1 = _mm_add_ps(s1, _mm_loadu_ps(&v[i + 4]));
            s2 = _mm_add_ps(s2, _mm_loadu_ps(&v[i + 8]));
            s3 = _mm_add_ps(s3, _mm_loadu_ps(&v[i + 12]));
        }
        benchmark::DoNotOptimize(_mm_add_ps(_mm_add_ps(s0, s1), _mm_add_ps(s2, s3)));
    }
    report(state, 0, double(n) * 4);
}
BENCHMARK(ReadBandwidth)
    ->Arg(257 * 513 * 2)
    ->Arg(513 * 513 * 2)
    ->Arg(128 * 1056 * 4)
    ->Arg(64 << 20);

}  // namespace
