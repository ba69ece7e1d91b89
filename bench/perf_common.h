#pragma once
// What every section of perf_report shares: the clocks, per-frame timings,
// the frames under test, the Markdown report and the core it runs on.
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/thread_time.h"
#include "model/frame_contract.h"

double wallSeconds();
double quantile(std::vector<double> v, double q);

// Per-frame processor and wall times of one system.
struct Timing {
    std::vector<double> cpu, wall;
    void add(const std::function<void()>& f);
    void add(double cpuSeconds, double wallSeconds);
    double median() const { return quantile(cpu, 0.5); }
};

struct Frames {
    std::vector<float> data;
    int count() const { return int(data.size() / frame_contract::kFeatureFloats); }
    const float* at(int t) const { return data.data() + size_t(t) * frame_contract::kFeatureFloats; }
};

struct Report {
    std::ostringstream md;
    template <class... A>
    void line(const char* fmt, A... a) {
        char buf[1024];
        std::snprintf(buf, sizeof buf, fmt, a...);
        md << buf << "\n";
    }
};

std::string us(double seconds);

// Binds the calling thread (and the processes it starts) to one core.
bool pinToCore(int core);
// The core with the most idle time over a short look at /proc/stat, so the
// report runs beside, not on top of, a long job on the other core.
int quietestCore();
int onlineCores();
