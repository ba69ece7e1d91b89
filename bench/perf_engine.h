#pragma once
// The engine without the SDK, its multiply-accumulate count, and the time of
// each layer against that layer's own compute and weight-traffic bound.
#include <memory>
#include <vector>

#include "bench/perf_common.h"
#include "ynet/net.h"

// Binds inputs the way the filter does; kernels are picked at warm-up from
// CpuInfo::get(), so an override must be alive from construction on.
struct EngineNet {
    std::unique_ptr<YNet::Net> net;
    EngineNet();
    bool bind(const float* features);
    bool frame(const float* features, float* mask);
    // A warm-up frame, then zero states again.
    void warm(const float* features);
    void resetState();
};

// From the blob shapes of a run net and the weight records.
double macsPerFrame(YNet::Net& net);

struct CoreLimits {
    double peak256 = 0, peak512 = 0;  // GFLOP/s, the best try
    std::vector<double> roundPeak256;  // each round's own try, in round order
    double weightReadGBps = 0;        // over a buffer the size of all weights
    double bound256(double macs) const { return peak256 > 0 ? 2.0 * macs / (peak256 * 1e9) : 0.0; }
    double bound512(double macs) const { return peak512 > 0 ? 2.0 * macs / (peak512 * 1e9) : 0.0; }
};

// Float bytes of every weight of the net (what one frame reads at most).
double weightBytes();
// engineSeconds: the engine's median frame, set against the sum of the layers' bounds.
void layerSection(Report& r, const Frames& frames, const CoreLimits& limits, double engineSeconds);
