#include "bench/perf_streams.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using frame_contract::kBins;

namespace {

struct Run {
    double framesPerSecond = 0, cpuShare = 0;
};

// `threads` filters, thread i pinned to firstCore on one core, else to core
// i mod cores; each runs every frame once, copying it first into its own
// buffer as a host writes the features. Wall time from a common start to the last finish.
Run runStreams(zelta::PluginHost& host, const Frames& frames, int threads, int cores, int firstCore) {
    std::vector<zelta::Filter> filters;
    std::vector<float> mask(kBins);
    for (int i = 0; i < threads; ++i) {
        filters.push_back(host.createFilter(zelta::kEchoFilterName));
        filters.back().processFrame(frames.at(0), mask.data());
    }
    std::atomic<int> waiting{threads};
    std::vector<double> cpu(size_t(threads), 0.0);
    std::vector<std::thread> pool;
    double start = 0;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&, i] {
            pinToCore(cores == 1 ? firstCore : i % cores);
            std::vector<float> out(kBins), staging(frame_contract::kFeatureFloats);
            if (--waiting == 0) start = wallSeconds();
            while (waiting.load() > 0) std::this_thread::yield();
            const double c0 = threadSeconds();
            for (int t = 0; t < frames.count(); ++t) {
                std::copy(frames.at(t), frames.at(t) + frame_contract::kFeatureFloats, staging.begin());
                filters[size_t(i)].processFrame(staging.data(), out.data());
            }
            cpu[size_t(i)] = threadSeconds() - c0;
        });
    for (std::thread& t : pool) t.join();
    const double wall = wallSeconds() - start;
    double cpuTotal = 0;
    for (double c : cpu) cpuTotal += c;
    return {double(threads) * frames.count() / wall, cpuTotal / (wall * cores)};
}

}  // namespace

void streamsSection(Report& r, zelta::PluginHost& host, const Frames& frames, int firstCore) {
    const int cores = onlineCores();
    r.line("\n## Streams per machine (filters through the SDK, one thread each, %d frames per filter)\n",
           frames.count());
    r.line("| cores | filters | frames per second | real-time streams | processor time / (wall x cores) |\n"
           "|---|---|---|---|---|");
    double bestOne = 0, bestAll = 0;
    for (int c : {1, cores}) {
        for (int n : {c, 2 * c}) {
            const Run run = runStreams(host, frames, n, c, firstCore);
            (c == 1 ? bestOne : bestAll) = std::max(c == 1 ? bestOne : bestAll, run.framesPerSecond);
            r.line("| %d | %d | %.0f | %.1f | %.2f |", c, n, run.framesPerSecond, run.framesPerSecond / 100.0,
                   run.cpuShare);
        }
        if (cores == 1) break;
    }
    if (cores > 1)
        r.line("\n%d cores / one core: **%.2fx** the frames per second. Real-time streams: 100 frames per second "
               "each. Wall-clock rates: the other jobs on the machine take their share of every core.",
               cores, bestAll / bestOne);
}
