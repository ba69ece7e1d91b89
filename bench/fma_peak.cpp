// The FmaPeak row every compute benchmark prints next to its GFLOP/s: the
// 256-bit peak the kernels can reach and, where the core has it, the 512-bit one.
#include <benchmark/benchmark.h>

#include "bench/fma_peak.h"
#include "ynet/cpu_info.h"

namespace {

void FmaPeak(benchmark::State& state) {
    const YNet::CpuInfo& cpu = YNet::CpuInfo::get();
    if (!(cpu.avx2() && cpu.fma())) {
        state.SkipWithError("no AVX2/FMA");
        return;
    }
    // The CPUID bit, and the OS saving the 512-bit registers.
    const bool has512 = cpu.avx512f() && __builtin_cpu_supports("avx512f");
    double peak = 0, peak512 = 0;
    for (auto _ : state) {
        peak = fmaPeakGflops();
        if (has512) peak512 = fmaPeak512Gflops();
    }
    state.counters["GFLOP/s"] = peak;
    if (has512) state.counters["GFLOP/s 512-bit"] = peak512;
}
BENCHMARK(FmaPeak)->Iterations(1);

}  // namespace
