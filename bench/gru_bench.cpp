// The network's two GRUs (1056 -> 128 and 128 -> 128, one step per frame)
// through every step variant this processor runs, and their share of a whole
// frame of the embedded network. Counter GFLOP (per second) counts 2 flops
// per weight.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/thread_time.h"
#include "bench/weight_copies.h"
#include "impl_x86/gru/gru_kernels.h"
#include "impl_x86/gru/gru_qkernels.h"
#include "model/echo_net.h"
#include "model/frame_contract.h"
#include "ynet/cpu_info.h"
#include "ynet/tensor.h"

namespace {

using namespace YNet;

// A 64-byte aligned float or byte buffer with the engine's slack.
template <class T>
struct Buffer {
    T* p;
    explicit Buffer(size_t n) : p(static_cast<T*>(alignedAlloc(n * sizeof(T)))) {}
    ~Buffer() { alignedFree(p); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

template <class T>
void randomFill(T* p, size_t n, float lo, float hi, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    for (size_t i = 0; i < n; ++i) p[i] = T(u(rng));
}

struct Variant {
    const char* name;
    bool (*available)(const CpuInfo&);
    gru::MatVecFn matVec;
    int blockRows;  // packed row blocks, 0 = row-major
};

bool avxFma(const CpuInfo& c) { return c.avx() && c.fma(); }
bool avx2Fma(const CpuInfo& c) { return c.avx2() && c.fma(); }
bool always(const CpuInfo&) { return true; }

const Variant kFloatVariants[] = {{"packed8", avxFma, gru::matVecPacked8Fma, 8},
                                  {"packed4", avxFma, gru::matVecPacked4Fma, 4},
                                  {"genericFma", avx2Fma, gru::matVecAvx2, 0},
                                  {"genericSse", always, gru::matVecSse, 0}};

void setFlops(benchmark::State& state, int I, int H) {
    const double flops = 2.0 * 3 * H * (I + H);
    state.counters["GFLOP"] = benchmark::Counter(flops * double(state.iterations()) / 1e9,
                                                   benchmark::Counter::kIsRate);
}

// Args: I, H, variant, 1 to read the weights from outer caches as in the net.
void FloatStep(benchmark::State& state) {
    const Variant& v = kFloatVariants[state.range(2)];
    const int I = int(state.range(0)), H = int(state.range(1));
    const bool cold = state.range(3) != 0;
    state.SetLabel(std::string(v.name) + ", " + weightPlace(cold));
    if (!v.available(CpuInfo::get())) {
        state.SkipWithError("not supported here");
        return;
    }
    const size_t wn = size_t(3) * H * I, rn = size_t(3) * H * H;
    Buffer<float> W(wn), R(rn), B(6 * size_t(H)), x(I), h(H), gx(3 * H), gh(3 * H), g(3 * H);
    randomFill(W.p, wn, -0.05f, 0.05f, 1);
    randomFill(R.p, rn, -0.1f, 0.1f, 2);
    randomFill(B.p, 6 * size_t(H), -0.1f, 0.1f, 3);
    randomFill(x.p, I, -1, 1, 4);
    // The kernel's format: packed row blocks, or row-major as stored.
    auto format = [&](const float* src, int K) {
        return [&v, src, K, H](float* dst) {
            if (v.blockRows)
                gru::packRows(src, 3 * H, K, v.blockRows, 4 * v.blockRows, dst);
            else
                std::copy(src, src + size_t(3) * H * K, dst);
        };
    };
    WeightCopies<float> pw(wn, cold, format(W.p, I)), pr(rn, cold, format(R.p, H));
    gru::StepArgs args{nullptr, nullptr, B.p, B.p + 3 * H, I,   H,   false,
                       true,    false,   gx.p, gh.p,       g.p, v.matVec};
    for (auto _ : state) {
        args.W = pw.next();
        args.R = pr.next();
        gru::step(args, x.p, h.p);
        benchmark::DoNotOptimize(h.p[0]);
    }
    setFlops(state, I, H);
}

struct QuantVariant {
    const char* name;
    bool (*available)(const CpuInfo&);
    gru::QuantMatVecFn matVec;
    int blockRows;
};

bool avx2(const CpuInfo& c) { return c.avx2(); }
bool sse41(const CpuInfo& c) { return c.sse41(); }

const QuantVariant kQuantVariants[] = {{"quantAvx2", avx2, gru::quantMatVecAvx2, 32},
                                       {"quantSse41", sse41, gru::quantMatVecSse41, 16}};

void QuantStep(benchmark::State& state) {
    const QuantVariant& v = kQuantVariants[state.range(2)];
    const int I = int(state.range(0)), H = int(state.range(1));
    state.SetLabel(v.name);
    if (!v.available(CpuInfo::get())) {
        state.SkipWithError("not supported here");
        return;
    }
    const gru::QuantLayout wl = gru::quantLayout(I, 0), rl = gru::quantLayout(H, 0);
    const size_t rows = size_t(3) * H;
    Buffer<int8_t> W(rows * I), R(rows * H), pw(rows * wl.paddedK()), pr(rows * rl.paddedK());
    Buffer<int8_t> x(I), h(H);
    Buffer<int16_t> wx(wl.paddedK()), wh(rl.paddedK());
    Buffer<float> sW(rows), sR(rows), B(2 * rows), gx(rows), gh(rows), g(rows);
    randomFill(W.p, rows * I, -127, 127, 1);
    randomFill(R.p, rows * H, -127, 127, 2);
    randomFill(x.p, I, -127, 127, 3);
    randomFill(sW.p, rows, 1e-4f, 2e-4f, 4);
    randomFill(sR.p, rows, 5e-4f, 1e-3f, 5);
    gru::packQuantRows(W.p, int(rows), wl, v.blockRows, pw.p);
    gru::packQuantRows(R.p, int(rows), rl, v.blockRows, pr.p);
    const gru::QuantStepArgs args{pw.p,  pr.p, sW.p,   sR.p,  1.0f / 127, 1.0f / 100,
                                  B.p,   B.p + rows, wl, rl,  H,          v.blockRows,
                                  false, false, wh.p,  gx.p,  gh.p,       g.p,
                                  v.matVec};
    for (auto _ : state) {
        gru::widenRuns(x.p, wl, wx.p);
        gru::quantStep(args, wx.p, h.p);
        benchmark::DoNotOptimize(h.p[0]);
    }
    setFlops(state, I, H);
}

void networkShapes(benchmark::internal::Benchmark* b, int variants) {
    for (int v = 0; v < variants; ++v) {
        b->Args({1056, 128, v});
        b->Args({128, 128, v});
    }
}

BENCHMARK(FloatStep)->ArgsProduct({{1056, 128}, {128}, {0, 1, 2, 3}, {0, 1}});
BENCHMARK(QuantStep)->Apply([](benchmark::internal::Benchmark* b) { networkShapes(b, 2); });

// ---- the whole network --------------------------------------------------

void bindWindow(Tensor& t, float* rows) {
    t.bindFloats(rows, 1, frame_contract::kWindowRows, frame_contract::kBins, 1, kNHWC);
}

// A built net with a feature buffer bound as the filter binds it.
struct FrameNet {
    std::unique_ptr<Net> net{buildEchoCancellationNet(0)};
    std::vector<float> features = std::vector<float>(frame_contract::kFeatureFloats);

    FrameNet() { randomFill(features.data(), features.size(), 0.0f, 1.0f, 9); }
    bool frame() {
        using namespace frame_contract;
        bindWindow(lookup(net->blobs, kWindowABlob), features.data());
        bindWindow(lookup(net->blobs, kWindowBBlob), features.data() + kWindowBOffset);
        for (const char* s : {kState1Blob, kState2Blob}) lookup(net->blobs, s).set(1, 1, 1, kStateSize, kNHWC);
        return net->warmup() && net->run(0);
    }
    std::vector<Layer*> grus() const {
        std::vector<Layer*> out;
        for (Layer* l : net->layers)
            if (l->type == "GRU") out.push_back(l);
        return out;
    }
};

// Processor seconds per call of this thread, so that other load on the
// machine (and other threads of the process) does not count.
double secondsPer(int reps, const std::function<void()>& f) {
    const double t0 = threadSeconds();
    for (int i = 0; i < reps; ++i) f();
    return (threadSeconds() - t0) / reps;
}

void WholeFrame(benchmark::State& state) {
    FrameNet f;
    if (!f.net || !f.frame()) {
        state.SkipWithError("the network does not run");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(f.frame());
}
BENCHMARK(WholeFrame)->Unit(benchmark::kMicrosecond);

// The net's own GRU layers (warmed up, packed), and what part of a frame
// they take: both timed here in processor time, frame first.
void NetGrusShareOfFrame(benchmark::State& state) {
    FrameNet f;
    if (!f.net || !f.frame()) {
        state.SkipWithError("the network does not run");
        return;
    }
    const std::vector<Layer*> grus = f.grus();
    core::RunEnv& env = *f.net->env;
    const double frame = secondsPer(300, [&] { f.frame(); });
    for (auto _ : state)
        for (Layer* l : grus) benchmark::DoNotOptimize(l->forward(env));
    const double both = secondsPer(3000, [&] {
        for (Layer* l : grus) l->forward(env);
    });
    state.counters["layers"] = double(grus.size());
    state.counters["frame_us"] = frame * 1e6;
    state.counters["grus_us"] = both * 1e6;
    state.counters["share_%"] = 100.0 * both / frame;
}
BENCHMARK(NetGrusShareOfFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
