// The FmaPeak row every compute benchmark prints next to its GFLOP/s.
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
    double peak = 0;
    for (auto _ : state) peak = fmaPeakGflops();
    state.counters["GFLOP/s"] = peak;
}
BENCHMARK(FmaPeak)->Iterations(1);

}  // namespace
