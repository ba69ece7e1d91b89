// Convolution kernels on the network's own shapes: the 1x1 channel mixers
// over 257, 129, 65 and 33 rows, the 3-tap convolutions of the gated blocks
// and the padded 3x3 kernels for very few channels. Each kernel runs
// directly on pre-packed weights so only the kernel is timed; GFLOP/s
// counts 2 flops per multiply-add (compare with the FmaPeak row).
#include <benchmark/benchmark.h>

#include <vector>

#include "impl_x86/conv/conv_select.h"
#include "ynet/cpu_info.h"
#include "ynet/tensor.h"

namespace {

using namespace YNet;

struct Buffers {
    Tensor in, out, weight, bias, scratch;
    conv::Args args{};
};

// Builds random operands for one kernel; weights are packed in its layout.
void setUp(Buffers& b, conv::KernelId id, const conv::Geometry& g) {
    const conv::KernelInfo& k = conv::kernelInfo(id);
    b.in.set(1, uint32_t(g.ih), uint32_t(g.iw), uint32_t(g.ic), kNHWC);
    b.out.set(1, uint32_t(g.oh), uint32_t(g.ow), uint32_t(g.oc), kNHWC);
    b.weight.set(uint32_t(g.oc), uint32_t(g.kh), uint32_t(g.kw), uint32_t(g.ic), kNCHW);
    b.bias.set(1, 1, 1, uint32_t(g.oc + 32), kNHWC);
    b.scratch.set(1, 1, 1, uint32_t(conv::scratchFloats(id, g) + 1), kNHWC);
    float* w = b.weight.floatData(kNCHW);
    for (uint32_t i = 0; i < b.weight.count; ++i) w[i] = float(i % 7) * 0.1f - 0.3f;
    float* x = b.in.floatData();
    for (uint32_t i = 0; i < b.in.count; ++i) x[i] = float(i % 5) * 0.2f - 0.4f;
    b.args.g = g;
    b.args.in = x;
    b.args.w = b.weight.floatData(k.weightCode);
    b.args.bias = b.bias.floatData();
    b.args.out = b.out.floatData();
    b.args.scratch = b.scratch.floatData();
}

void runGeometry(benchmark::State& state, conv::KernelId id, const conv::Geometry& g,
                 bool needsAvx2) {
    const CpuInfo& cpu = CpuInfo::get();
    if (needsAvx2 && !(cpu.avx2() && cpu.fma())) {
        state.SkipWithError("no AVX2/FMA");
        return;
    }
    const conv::KernelInfo& k = conv::kernelInfo(id);
    Buffers b;
    setUp(b, id, g);
    for (auto _ : state) {
        k.run(b.args);
        benchmark::DoNotOptimize(b.args.out[0]);
        benchmark::ClobberMemory();
    }
    const double flops = 2.0 * g.oh * g.ow * g.oc * g.ic * g.kh * g.kw;
    state.counters["GFLOP/s"] =
        benchmark::Counter(flops * double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(k.name);
}

// Column convolutions over (rows, IC, OC) from the arguments.
void runKernel(benchmark::State& state, conv::KernelId id, int taps, bool needsAvx2) {
    const int rows = int(state.range(0)), ic = int(state.range(1)), oc = int(state.range(2));
    runGeometry(state, id, {rows, 1, ic, rows, 1, oc, taps, 1, 1, 1, 1, 1, taps / 2, 0, 1},
                needsAvx2);
}

// Padded 3x3 over an image of (rows, columns) from the arguments.
void run3x3(benchmark::State& state, conv::KernelId id, int ic, int oc) {
    const int h = int(state.range(0)), w = int(state.range(1));
    runGeometry(state, id, {h, w, ic, h, w, oc, 3, 3, 1, 1, 1, 1, 1, 1, 1}, true);
}

// The network's pointwise layers (rows, IC, OC).
void pointwiseShapes(benchmark::internal::Benchmark* b) {
    for (auto s : std::vector<std::vector<int64_t>>{{257, 12, 64}, {129, 64, 64}, {65, 64, 64},
                                                    {33, 64, 32}, {33, 128, 64}, {65, 96, 32},
                                                    {129, 96, 32}, {33, 64, 64}})
        b->Args(s);
}

void Fast1x1B32(benchmark::State& s) { runKernel(s, conv::KernelId::Fast1x1B32, 1, true); }
void Pointwise1x1Avx16(benchmark::State& s) {
    runKernel(s, conv::KernelId::PointwiseAvx16, 1, true);
}
void Pointwise1x1Sse8(benchmark::State& s) {
    runKernel(s, conv::KernelId::PointwiseSse8, 1, false);
}
void ThreeTapLineAvx16(benchmark::State& s) { runKernel(s, conv::KernelId::LineAvx16, 3, true); }
void ThreeTapLineSse8(benchmark::State& s) { runKernel(s, conv::KernelId::LineSse8, 3, false); }
void DotAvx16(benchmark::State& s) { runKernel(s, conv::KernelId::DotAvx16, 1, true); }
void Fast3x3ThreeOut(benchmark::State& s) { run3x3(s, conv::KernelId::Fast3x3ThreeOut, 4, 3); }
void Fast3x3SingleOut(benchmark::State& s) {
    run3x3(s, conv::KernelId::Fast3x3SingleOut, 3, 1);
}

BENCHMARK(Fast1x1B32)->Apply(pointwiseShapes);
BENCHMARK(Pointwise1x1Avx16)->Apply(pointwiseShapes);
BENCHMARK(Pointwise1x1Sse8)->Apply(pointwiseShapes);
BENCHMARK(ThreeTapLineAvx16)->Args({33, 64, 64});
BENCHMARK(ThreeTapLineSse8)->Args({33, 64, 64});
BENCHMARK(DotAvx16)->Args({257, 96, 1});
BENCHMARK(Fast3x3ThreeOut)->Args({64, 64})->Args({32, 256});
BENCHMARK(Fast3x3SingleOut)->Args({64, 64})->Args({33, 257});

}  // namespace
