// One run of every speed and memory figure of the echo filter, on the same
// frames of host features: the real filter through the SDK, the engine with
// its best and its portable kernels, the same network on LibTorch, and the
// compute bound from the multiply-accumulate count and this core's FMA peak.
// Prints a Markdown report and writes it to --out.
//
//   perf_report --features FRAMES.feat --out perf.md [--machine TEXT]
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/fma_peak.h"
#include "bench/torch_net.h"
#include "host/aec_pipeline.h"
#include "host/features.h"
#include "host/sdk/host_api.h"
#include "model/echo_net.h"
#include "model/frame_contract.h"
#include "ynet/cpu_info.h"
#include "ynet/net.h"

namespace {

using YNet::Tensor;
using namespace frame_contract;
constexpr int kSilenceFrames = 6000, kTenSeconds = 1000;

// ---- time and memory --------------------------------------------------------

double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double residentBytes() {
    std::ifstream in("/proc/self/statm");
    double size = 0, resident = 0;
    in >> size >> resident;
    return resident * double(sysconf(_SC_PAGESIZE));
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

// Per-frame processor and wall times of one system over the frames.
struct Timing {
    std::vector<double> cpu, wall;
    void add(const std::function<void()>& f) {
        const double c0 = threadSeconds(), w0 = wallSeconds();
        f();
        cpu.push_back(threadSeconds() - c0);
        wall.push_back(wallSeconds() - w0);
    }
    double median() const { return quantile(cpu, 0.5); }
};

// ---- the engine without the SDK ---------------------------------------------

void bindWindow(Tensor& t, const float* rows) {
    t.bindFloats(const_cast<float*>(rows), 1, kWindowRows, kBins, 1, YNet::kNHWC);
}

// Binds inputs the way the filter does; kernels are picked at warm-up from
// CpuInfo::get(), so an override must be alive from construction on.
struct EngineNet {
    std::unique_ptr<YNet::Net> net{buildEchoCancellationNet(0)};

    bool bind(const float* features) {
        if (!net) return false;
        bindWindow(YNet::lookup(net->blobs, kWindowABlob), features);
        bindWindow(YNet::lookup(net->blobs, kWindowBBlob), features + kWindowBOffset);
        for (const char* s : {kState1Blob, kState2Blob})
            YNet::lookup(net->blobs, s).set(1, 1, 1, kStateSize, YNet::kNHWC);
        return net->warmup();
    }
    bool frame(const float* features, float* mask) {
        if (!bind(features) || !net->run(0)) return false;
        std::memcpy(mask, YNet::lookup(net->blobs, kMaskBlob).floatData(YNet::kNHWC), kBins * sizeof(float));
        return true;
    }
    // As Net::run, timing each layer into its type's total.
    void profiledFrame(const float* features, std::map<std::string, double>& perType) {
        bind(features);
        for (size_t i = 0; i < net->layers.size(); ++i) {
            YNet::Layer* l = net->layers[i];
            if (l->removed || l->skip) continue;
            const double t0 = wallSeconds();
            l->forward(*net->env);
            perType[l->type] += wallSeconds() - t0;
            if (i != 0 && i % 8 == 0) net->env->onLayerGroup();
        }
        net->env->afterRun(*net, 0);
    }
};

// ---- the multiply-accumulate count -------------------------------------------

int inputCount(const std::string& type) {
    return type == "Concat" || type == "Add" || type == "Mul" || type == "Sub" ? 2 : 1;
}

// From the blob shapes of a run net and the weight records.
double macsPerFrame(YNet::Net& net) {
    std::map<std::string, const YNet::WeightRecord*> weights;
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) weights[WeightTable()[i].name] = &WeightTable()[i];
    double macs = 0;
    for (uint32_t i = 0; i < kLayerRecordCount; ++i) {
        const YNet::LayerRecord& l = LayerTable()[i];
        const std::string type = l.type;
        const int nIn = inputCount(type);
        const double in = YNet::lookup(net.blobs, l.blobs[0]).count;
        const double out = YNet::lookup(net.blobs, l.blobs[nIn]).count;
        if (type != "GRU" && type != "Conv" && type != "DepthwiseConv" && type != "DepthwiseDeConv" &&
            type != "MatMul")
            continue;
        const YNet::WeightRecord& w = *weights.at(l.weightNames[0]);
        const double count = double(w.n) * w.h * w.w * w.c;
        if (type == "GRU") macs += 3.0 * l.words[0] * (in + l.words[0]);
        else if (type == "DepthwiseDeConv") macs += in * l.words[1];  // every input row scatters k taps
        else if (type == "MatMul") macs += in * (l.words[1] ? w.h : w.w);
        else macs += out / w.n * count;  // output positions x weights per position
    }
    return macs;
}

// ---- features ------------------------------------------------------------------

bool readFeatures(const std::string& path, int limit, std::vector<float>& frames, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    aec::ExportHeader header{};
    if (!in.read(reinterpret_cast<char*>(&header), sizeof header) ||
        std::memcmp(header.magic, aec::kExportMagic, 8) != 0 ||
        header.recordFloats != uint32_t(aec::kExportRecordFloats)) {
        *error = path + ": not a feature export file";
        return false;
    }
    const int n = std::min<int>(limit, int(header.frames));
    std::vector<float> record(aec::kExportRecordFloats);
    for (int t = 0; t < n; ++t) {
        if (!in.read(reinterpret_cast<char*>(record.data()), record.size() * sizeof(float))) {
            *error = path + ": truncated";
            return false;
        }
        frames.insert(frames.end(), record.begin(), record.begin() + kFeatureFloats);
    }
    if (n == 0) *error = path + ": no frames";
    return n > 0;
}

// ---- report ----------------------------------------------------------------------

struct Report {
    std::ostringstream md;
    template <class... A>
    void line(const char* fmt, A... a) {
        char buf[1024];
        std::snprintf(buf, sizeof buf, fmt, a...);
        md << buf << "\n";
    }
};

std::string us(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", s * 1e6);
    return buf;
}

struct Args {
    std::string features, out, machine;
};

bool parseArgs(int argc, char** argv, Args& a) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--features") a.features = v;
        else if (k == "--out") a.out = v;
        else if (k == "--machine") a.machine = v;
        else return false;
    }
    return argc % 2 == 1 && !a.features.empty() && !a.out.empty();
}

bool writeAtomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary);
        if (!(out << text)) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// ---- the sections -----------------------------------------------------------------

struct Frames {
    std::vector<float> data;
    int count() const { return int(data.size() / kFeatureFloats); }
    const float* at(int t) const { return data.data() + size_t(t) * kFeatureFloats; }
};

void latencyRow(Report& r, const char* name, const Timing& t) {
    r.line("| %s | %s | %s | %s | %.1f |", name, us(t.median()).c_str(), us(quantile(t.cpu, 0.99)).c_str(),
           us(quantile(t.wall, 0.5)).c_str(), 0.010 / t.median());
}

// The real filter through the SDK: memory per filter and warm-up.
void memorySection(Report& r, zelta::PluginHost& host, const Frames& frames) {
    std::vector<float> mask(kBins);
    std::vector<double> firsts;
    r.line("\n## Memory per filter (resident growth, one frame run on each)\n");
    r.line("| filters | growth MiB | per filter KiB |\n|---|---|---|");
    for (int n : {1, 8, 32}) {
        const double before = residentBytes();
        std::vector<zelta::Filter> filters;
        for (int i = 0; i < n; ++i) {
            filters.push_back(host.createFilter(zelta::kEchoFilterName));
            const double t0 = wallSeconds();
            filters.back().processFrame(frames.at(0), mask.data());
            firsts.push_back(wallSeconds() - t0);
        }
        const double growth = residentBytes() - before;
        r.line("| %d | %.2f | %.0f |", n, growth / 1048576.0, growth / 1024.0 / n);
    }
    r.line("\nThe first filter also pays for allocator arenas and the first use of shared code pages; "
           "the 32-filter figure is closest to the cost of one more filter.");
    r.line("\nFirst frame of a new filter (includes the net's warm-up), wall: first %s us, median of %zu %s us.",
           us(firsts[0]).c_str(), firsts.size(), us(quantile(firsts, 0.5)).c_str());
}

double maxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) d = std::max(d, double(std::fabs(a[i] - b[i])));
    return d;
}

void profileSection(Report& r, const Frames& frames) {
    EngineNet net;
    std::vector<float> mask(kBins);
    net.frame(frames.at(0), mask.data());
    std::map<std::string, double> perType;
    for (int i = 0; i < frames.count(); ++i) net.profiledFrame(frames.at(i), perType);
    double total = 0;
    for (const auto& kv : perType) total += kv.second;
    std::vector<std::pair<double, std::string>> rows;
    for (const auto& kv : perType) rows.emplace_back(kv.second, kv.first);
    std::sort(rows.rbegin(), rows.rend());
    r.line("\n## Time per layer type (best kernels, wall, mean per frame)\n");
    r.line("| layer type | us per frame | share |\n|---|---|---|");
    for (const auto& row : rows)
        r.line("| %s | %.1f | %.1f%% |", row.second.c_str(), row.first / frames.count() * 1e6, 100.0 * row.first / total);
    r.line("| all layers | %.1f | 100%% |", total / frames.count() * 1e6);
}

// Subnormal floats left in the engine's blobs after a run of silent frames.
size_t subnormalsAfterSilence(const float* silentFrame) {
    EngineNet net;
    std::vector<float> mask(kBins);
    for (int i = 0; i < kSilenceFrames; ++i) net.frame(silentFrame, mask.data());
    size_t count = 0;
    for (const auto& kv : net.net->blobs) {
        const float* p = kv.second.f32();
        if (!p) continue;
        const size_t n = std::min<size_t>(kv.second.floatCapacity(), kv.second.count);
        count += size_t(std::count_if(p, p + n, [](float v) { return std::fpclassify(v) == FP_SUBNORMAL; }));
    }
    return count;
}

void silenceSection(Report& r, zelta::PluginHost& host) {
    auto pipeline = aec::AecPipeline::create(aec::AecOptions());
    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    std::vector<float> zeros(aec::kHop, 0.0f), out(aec::kHop), mask(kBins);
    double largest = 0;
    Timing t;
    for (int i = 0; i < kSilenceFrames; ++i) {
        pipeline->process(zeros.data(), zeros.data(), out.data());
        const float* f = pipeline->features();
        for (int k = 0; k < kFeatureFloats; ++k) largest = std::max(largest, double(std::fabs(f[k])));
        t.add([&] { filter.processFrame(f, mask.data()); });
    }
    const std::vector<double> first(t.cpu.begin(), t.cpu.begin() + kTenSeconds);
    const std::vector<double> last(t.cpu.end() - kTenSeconds, t.cpu.end());
    const double a = quantile(first, 0.5), b = quantile(last, 0.5);
    r.line("\n## Silence, 60 s (%d frames of the host's features for zero input; largest |feature| %g)\n",
           kSilenceFrames, largest);
    r.line("| | median us | p99 us |\n|---|---|---|");
    r.line("| first 10 s | %s | %s |", us(a).c_str(), us(quantile(first, 0.99)).c_str());
    r.line("| last 10 s | %s | %s |", us(b).c_str(), us(quantile(last, 0.99)).c_str());
    r.line("\nLast / first median: **%.3f** (%s). Subnormal values in the engine's blobs after the %d frames: %zu.",
           b / a, b / a < 1.1 ? "no rise" : "RISES", kSilenceFrames, subnormalsAfterSilence(pipeline->features()));
}

std::string machineLine(const std::string& note) {
    std::ifstream in("/proc/cpuinfo");
    std::string line, model = "unknown processor";
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return std::string(date) + ", " + model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
           " cores online, " + u.sysname + " " + u.release + (note.empty() ? "" : ", " + note);
}

// One system under measurement: a frame function, its times and masks.
struct System {
    std::function<void(const float*, float*)> frame;
    bool portable = false;  // runs with the portable kernels forced
    Timing timing;
    std::vector<float> masks;
};

struct Systems {
    System filter, engine, portable, torch;
    bool haveTorch = false;
    std::string torchError;
    double macs = 0, peak = 0, bound = 0;
};

// Systems take turns on blocks of frames, so that a change in the load on
// the machine falls on all of them alike. Each runs the frames in order
// from zero states.
void runInterleaved(const Frames& frames, std::vector<System*> systems) {
    constexpr int kBlock = 50;
    for (System* s : systems) s->masks.assign(size_t(frames.count()) * kBins, 0.0f);
    for (int b = 0; b < frames.count(); b += kBlock) {
        for (System* s : systems) {
            std::unique_ptr<YNet::ScopedCpuOverride> force;
            if (s->portable) force.reset(new YNet::ScopedCpuOverride(YNet::IsaLevel::Portable));
            for (int i = b; i < std::min(frames.count(), b + kBlock); ++i)
                s->timing.add([&] { s->frame(frames.at(i), &s->masks[size_t(i) * kBins]); });
        }
    }
}

// A warm-up frame, then zero states again.
void warmEngine(EngineNet& net, const float* features) {
    std::vector<float> mask(kBins);
    net.frame(features, mask.data());
    for (const char* s : {kState1Blob, kState2Blob})
        std::memset(YNet::lookup(net.net->blobs, s).f32(), 0, kStateSize * sizeof(float));
}

// The best FMA rate of a few tries: a loaded core only ever lowers it.
double fmaPeak() {
    const YNet::CpuInfo& cpu = YNet::CpuInfo::get();
    if (!(cpu.avx2() && cpu.fma())) return 0.0;
    double best = 0;
    for (int i = 0; i < 7; ++i) best = std::max(best, fmaPeakGflops());
    return best;
}

void measureSystems(zelta::PluginHost& host, const Frames& frames, Systems& s) {
    std::vector<float> mask(kBins);
    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    filter.processFrame(frames.at(0), mask.data());
    filter.scaleState(0.0f);
    s.filter.frame = [&](const float* f, float* m) { filter.processFrame(f, m); };
    EngineNet best, portable;
    warmEngine(best, frames.at(0));
    s.engine.frame = [&](const float* f, float* m) { best.frame(f, m); };
    {
        YNet::ScopedCpuOverride force(YNet::IsaLevel::Portable);
        warmEngine(portable, frames.at(0));
    }
    s.portable.portable = true;
    s.portable.frame = [&](const float* f, float* m) { portable.frame(f, m); };
    std::unique_ptr<TorchEchoNet> torchNet = makeTorchEchoNet(AEC_WEIGHT_BLOB, &s.torchError);
    s.haveTorch = torchNet != nullptr;
    std::vector<System*> systems{&s.filter, &s.engine, &s.portable};
    if (torchNet) {
        torchNet->frame(frames.at(0), mask.data());
        torchNet->resetState();
        s.torch.frame = [&](const float* f, float* m) { torchNet->frame(f, m); };
        systems.push_back(&s.torch);
    }
    runInterleaved(frames, systems);
    s.macs = macsPerFrame(*best.net);
    s.peak = fmaPeak();
    s.bound = s.peak > 0 ? 2.0 * s.macs / (s.peak * 1e9) : 0.0;
}

void systemsSection(Report& r, const Systems& s) {
    r.line("\n## Per-frame latency (warm)\n");
    r.line("| system | median us | p99 us | median wall us | real-time streams per core |\n|---|---|---|---|---|");
    latencyRow(r, "filter through the SDK (best kernels)", s.filter.timing);
    latencyRow(r, "(a) engine, best kernels", s.engine.timing);
    latencyRow(r, "(b) engine, portable kernels", s.portable.timing);
    if (s.haveTorch) latencyRow(r, "(c) LibTorch, 1 thread", s.torch.timing);
    if (s.bound > 0) r.line("| (d) compute bound | %s | | | %.1f |", us(s.bound).c_str(), 0.010 / s.bound);
    r.line("\nStreams per core: 10 ms of audio per frame / median processor time. LibTorch runs the same "
           "layer records op by op on one-frame tensors, so its time is mostly per-op dispatch; the "
           "compute bound assumes every multiply-accumulate at the FMA peak.");
    r.line("\nMultiply-accumulates per frame (from the layer shapes): %.2f M; FMA peak of this core: %.1f GFLOP/s.",
           s.macs / 1e6, s.peak);
    r.line("\n## Ratios (median processor time)\n");
    r.line("- portable / best kernels: **%.2fx**", s.portable.timing.median() / s.engine.timing.median());
    if (s.haveTorch)
        r.line("- LibTorch / our filter: **%.2fx** (LibTorch / engine %.2fx)", s.torch.timing.median() / s.filter.timing.median(),
               s.torch.timing.median() / s.engine.timing.median());
    if (s.bound > 0)
        r.line("- our filter / compute bound: **%.2fx** (%.0f%% of the FMA peak)", s.filter.timing.median() / s.bound,
               100.0 * s.bound / s.filter.timing.median());
    r.line("- max |mask difference| portable vs best: %.2e", maxDifference(s.portable.masks, s.engine.masks));
    if (s.haveTorch) r.line("- max |mask difference| LibTorch vs engine: %.2e", maxDifference(s.torch.masks, s.engine.masks));
    else r.line("- LibTorch: not run (%s)", s.torchError.c_str());
}

int runReport(const Args& args) {
    Frames frames;
    std::string error;
    if (!readFeatures(args.features, 2000, frames.data, &error)) return std::fprintf(stderr, "perf_report: %s\n", error.c_str()), 1;
    zelta::PluginHost host;
    if (!host.load(AEC_PLUGIN, &error)) return std::fprintf(stderr, "perf_report: %s\n", error.c_str()), 1;
    Report r;
    r.line("# Performance of the echo filter\n\n%s.\n", machineLine(args.machine).c_str());
    r.line("%d frames of host features (aec_features on 20 s made from the demo clips: far-end echo through "
           "the demo room, near-end talk in alternate repetitions), one thread, the same frames for every "
           "system. Times are processor time of the running thread (other load on the machine does not "
           "count), except where marked wall. The systems take turns on blocks of 50 frames.",
           frames.count());
    memorySection(r, host, frames);
    Systems systems;
    measureSystems(host, frames, systems);
    systemsSection(r, systems);
    profileSection(r, frames);
    silenceSection(r, host);
    const std::string text = r.md.str();
    std::fputs(text.c_str(), stdout);
    if (!writeAtomically(args.out, text)) return std::fprintf(stderr, "perf_report: %s: cannot write\n", args.out.c_str()), 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!parseArgs(argc, argv, args)) {
        std::fprintf(stderr, "usage: perf_report --features FRAMES.feat --out REPORT.md [--machine TEXT]\n");
        return 2;
    }
    try {
        return runReport(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "perf_report: %s\n", e.what());
        return 1;
    }
}
