// The network's depthwise shapes through the dispatching kernels: five-tap,
// stride-2, dilation-2 down-sampling along the rows (513 -> 257 at 12
// channels, then 257 -> 129 -> 65 -> 33 at 64), the decoder's stride-1
// five-tap rows at 96 channels (65, 129, 257) and the 33 -> 65 transposed
// up-sampling. Counters: GFLOP/s (2 per tap and channel, taps inside the
// input only counted as issued) and bytes moved per call (input, weights,
// bias and output once).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>

#include "impl_x86/depthwise/dw_select.h"
#include "ynet/cpu_info.h"
#include "ynet/tensor.h"

namespace {

using namespace YNet;

dw::Geometry lineGeometry(int inRows, int outRows, int channels) {
    dw::Geometry g;
    g.inH = inRows;
    g.outH = outRows;
    g.inC = g.outC = g.group = channels;
    g.kernelH = 5;
    g.strideH = 2;
    g.dilationH = 2;
    g.padTop = 4;
    return g;
}

dw::Geometry strideOneGeometry(int rows, int channels) {
    dw::Geometry g = lineGeometry(rows, rows, channels);
    g.strideH = g.dilationH = 1;
    g.padTop = 2;
    return g;
}

// Packed weight sizes: blocked codes hold ceil(C / B) blocks of 5 * B.
size_t weightFloats(const dw::Choice& c, int channels) {
    if (c.path != dw::Path::Vector || c.weightCode == kNHWC || c.weightCode == kOuterInnermost)
        return 5 * size_t(channels);
    return size_t((channels + c.block - 1) / c.block) * 5 * c.block;
}

void run(benchmark::State& state, const dw::Geometry& g, bool transposed) {
    const CpuInfo& cpu = CpuInfo::get();
    const dw::Choice c = transposed ? dw::selectDepthwiseDeconv(g, cpu, false) : dw::selectDepthwise(g, cpu, false);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    // 64-byte aligned as the engine's tensors are: the kernels' unaligned
    // loads would split cache lines on most rows of a std::vector.
    using Buffer = std::unique_ptr<float[], void (*)(void*)>;
    auto random = [&](size_t n) {
        Buffer v(static_cast<float*>(alignedAlloc(n * sizeof(float))), alignedFree);
        std::generate(v.get(), v.get() + n, [&] { return d(rng); });
        return v;
    };
    const Buffer in = random(size_t(g.inH) * g.inC), w = random(weightFloats(c, g.outC)), bias = random(g.outC);
    const Buffer out = random(size_t(g.outH) * g.outC);
    const dw::Operands ops{in.get(), w.get(), bias.get(), out.get()};
    const dw::Activation leaky{6, 0.01f};
    for (auto _ : state) {
        if (c.path == dw::Path::Vector)
            c.kernel(g, ops, leaky);
        else if (transposed)
            dw::genericDepthwiseDeconv(g, ops, leaky);
        else
            dw::dilatedDepthwise(g, ops);
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
    }
    // Transposed: only every second output row gathers taps.
    const double taps = transposed ? 5.0 * (g.outH + 1) / 2 : 5.0 * g.outH;
    const double flops = 2.0 * taps * g.outC;
    const double bytes =
        4.0 * (double(g.inH) * g.inC + weightFloats(c, g.outC) + g.outC + double(g.outH) * g.outC);
    state.counters["GFLOP/s"] = benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["bytes/call"] = bytes;
    state.SetLabel(std::string(c.avx ? "avx2 block " : "sse block ") + std::to_string(c.block));
}

void BM_Down513x12(benchmark::State& s) { run(s, lineGeometry(513, 257, 12), false); }
void BM_Down257x64(benchmark::State& s) { run(s, lineGeometry(257, 129, 64), false); }
void BM_Down129x64(benchmark::State& s) { run(s, lineGeometry(129, 65, 64), false); }
void BM_Down65x64(benchmark::State& s) { run(s, lineGeometry(65, 33, 64), false); }
void BM_Up33x64(benchmark::State& s) { run(s, lineGeometry(33, 65, 64), true); }
void BM_Rows65x96(benchmark::State& s) { run(s, strideOneGeometry(65, 96), false); }
void BM_Rows129x96(benchmark::State& s) { run(s, strideOneGeometry(129, 96), false); }
void BM_Rows257x96(benchmark::State& s) { run(s, strideOneGeometry(257, 96), false); }

BENCHMARK(BM_Down513x12);
BENCHMARK(BM_Down257x64);
BENCHMARK(BM_Down129x64);
BENCHMARK(BM_Down65x64);
BENCHMARK(BM_Up33x64);
BENCHMARK(BM_Rows65x96);
BENCHMARK(BM_Rows129x96);
BENCHMARK(BM_Rows257x96);

}  // namespace
