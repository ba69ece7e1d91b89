// One run of every speed and memory figure of the echo filter, on the same
// frames of host features: the real filter through the SDK, the engine with
// its best and its portable kernels, the same network on LibTorch (op by op
// and as a traced module) and on ONNX Runtime, the compute bounds from the
// multiply-accumulate count and this core's FMA peaks, each layer against
// its own bound, and streams per machine. Everything runs pinned to one core
// and is timed in processor time of the running thread (and wall).
//
//   perf_report --features FRAMES.feat --out perf.md [--machine TEXT] [--core N]
//               [--rounds N] [--torchscript NET.pt] [--onnx NET.onnx --node-modules DIR]
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/fma_peak.h"
#include "bench/ort_peer.h"
#include "bench/perf_common.h"
#include "bench/perf_engine.h"
#include "bench/perf_streams.h"
#include "bench/torch_net.h"
#include "host/aec_pipeline.h"
#include "host/features.h"
#include "host/sdk/host_api.h"
#include "model/frame_contract.h"
#include "ynet/cpu_info.h"

namespace {

using namespace frame_contract;
constexpr int kSilenceFrames = 6000, kTenSeconds = 1000, kBlock = 50;

double residentBytes() {
    std::ifstream in("/proc/self/statm");
    double size = 0, resident = 0;
    in >> size >> resident;
    return resident * double(sysconf(_SC_PAGESIZE));
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

struct Args {
    std::string features, out, machine, torchscript, onnx, nodeModules;
    int core = -1, rounds = 14;
};

bool parseArgs(int argc, char** argv, Args& a) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--features") a.features = v;
        else if (k == "--out") a.out = v;
        else if (k == "--machine") a.machine = v;
        else if (k == "--torchscript") a.torchscript = v;
        else if (k == "--onnx") a.onnx = v;
        else if (k == "--node-modules") a.nodeModules = v;
        else if (k == "--core") a.core = std::atoi(v.c_str());
        else if (k == "--rounds") a.rounds = std::atoi(v.c_str());
        else return false;
    }
    return argc % 2 == 1 && !a.features.empty() && !a.out.empty() && a.rounds > 0 && a.core < onlineCores();
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

// The aged filter against a fresh one, taking turns on blocks of the same
// silent frame: the machine's drift over the minute falls on both alike.
double agedOverFresh(zelta::PluginHost& host, zelta::Filter& aged, const float* frame) {
    zelta::Filter fresh = host.createFilter(zelta::kEchoFilterName);
    std::vector<float> mask(kBins);
    fresh.processFrame(frame, mask.data());
    Timing a, b;
    for (int done = 0; done < kTenSeconds; done += kBlock) {
        for (int i = 0; i < kBlock; ++i) a.add([&] { aged.processFrame(frame, mask.data()); });
        for (int i = 0; i < kBlock; ++i) b.add([&] { fresh.processFrame(frame, mask.data()); });
    }
    return quantile(a.cpu, 0.5) / quantile(b.cpu, 0.5);
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
    const double paired = agedOverFresh(host, filter, pipeline->features());
    r.line("\nLast / first median: %.3f (the machine's speed drifts over a minute). The filter after those %d "
           "frames against a fresh one, taking turns on blocks of %d frames for %d frames each: **%.3f** (%s). "
           "Subnormal values in the engine's blobs after the %d frames: %zu.",
           b / a, kSilenceFrames, kBlock, kTenSeconds, paired, paired < 1.1 ? "no rise" : "RISES", kSilenceFrames,
           subnormalsAfterSilence(pipeline->features()));
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

double maxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) d = std::max(d, double(std::fabs(a[i] - b[i])));
    return d;
}

// One system under measurement: either a frame function run here, or a peer
// in another process that runs a block of frames and reports their times.
struct System {
    std::string name;
    std::function<void()> reset;
    std::function<void(const float*, float*)> frame;
    std::function<bool(int, int, Timing&)> block;
    bool portable = false;  // runs with the portable kernels forced
    std::vector<Timing> rounds;
    std::vector<float> masks;

    static System local(std::string name, std::function<void()> reset, std::function<void(const float*, float*)> frame,
                        bool portable = false) {
        System s;
        s.name = std::move(name);
        s.reset = std::move(reset);
        s.frame = std::move(frame);
        s.portable = portable;
        return s;
    }
    static System peer(std::string name, std::function<void()> reset, std::function<bool(int, int, Timing&)> block) {
        System s;
        s.name = std::move(name);
        s.reset = std::move(reset);
        s.block = std::move(block);
        return s;
    }

    // Median over rounds of each round's median: one slow round (another
    // job's burst) moves it less than a pooled median.
    double median(bool wall = false) const {
        std::vector<double> m;
        for (const Timing& t : rounds) m.push_back(quantile(wall ? t.wall : t.cpu, 0.5));
        return quantile(m, 0.5);
    }
    double p99() const {
        std::vector<double> all;
        for (const Timing& t : rounds) all.insert(all.end(), t.cpu.begin(), t.cpu.end());
        return quantile(all, 0.99);
    }
};

// Each round runs every system over all frames from zero states; within a
// round the systems take turns on blocks of frames, so that a change in the
// load on the machine falls on all of them alike. Each frame is first copied
// into one buffer, as a host hands over the features it has just written.
// `eachRound` runs before every round (the core's limits take their turn too).
bool runRounds(const Frames& frames, const std::vector<System*>& systems, int rounds,
               const std::function<void()>& eachRound, std::string* error) {
    for (System* s : systems) s->masks.assign(size_t(frames.count()) * kBins, 0.0f);
    std::vector<float> staging(kFeatureFloats);
    for (int r = 0; r < rounds; ++r) {
        eachRound();
        for (System* s : systems) {
            s->reset();
            s->rounds.emplace_back();
        }
        for (int b = 0; b < frames.count(); b += kBlock) {
            const int e = std::min(frames.count(), b + kBlock);
            for (System* s : systems) {
                Timing& t = s->rounds.back();
                if (s->block) {
                    if (!s->block(b, e, t)) return *error = s->name + " stopped answering", false;
                    continue;
                }
                std::unique_ptr<YNet::ScopedCpuOverride> force;
                if (s->portable) force.reset(new YNet::ScopedCpuOverride(YNet::IsaLevel::Portable));
                for (int i = b; i < e; ++i) {
                    std::copy(frames.at(i), frames.at(i) + kFeatureFloats, staging.begin());
                    t.add([&] { s->frame(staging.data(), &s->masks[size_t(i) * kBins]); });
                }
            }
        }
    }
    return true;
}

// One try at each rate: the best of the tries spread over the rounds counts,
// since other load only ever lowers a rate.
void sampleLimits(CoreLimits& c) {
    const YNet::CpuInfo& cpu = YNet::CpuInfo::get();
    if (!(cpu.avx2() && cpu.fma())) return;
    c.roundPeak256.push_back(fmaPeakGflops());
    c.peak256 = std::max(c.peak256, c.roundPeak256.back());
    if (cpu.avx512f() && __builtin_cpu_supports("avx512f")) c.peak512 = std::max(c.peak512, fmaPeak512Gflops());
    c.weightReadGBps = std::max(c.weightReadGBps, readGBps(size_t(weightBytes())));
}

struct Peers {
    std::unique_ptr<OrtPeer> ort;
    std::unique_ptr<TorchEchoNet> torch, traced;
    std::string ortError, torchError, tracedError;
};

// The peer process starts first, before any library has threads of its own.
void startPeers(const Args& args, const Frames& frames, Peers& p) {
    p.ort = OrtPeer::start({AEC_ORT_SCRIPT, args.nodeModules, args.onnx}, frames, &p.ortError);
    p.torch = makeTorchEchoNet(AEC_WEIGHT_BLOB, &p.torchError);
    p.traced = makeTracedEchoNet(args.torchscript, &p.tracedError);
}

System torchSystem(const std::string& name, TorchEchoNet& net, const float* first) {
    std::vector<float> mask(kBins);
    net.frame(first, mask.data());
    return System::local(name, [&net] { net.resetState(); }, [&net](const float* f, float* m) { net.frame(f, m); });
}

struct Measured {
    std::vector<System> systems;  // filter, engine, portable, then the peers that run
    double macs = 0;
    CoreLimits limits;
    std::vector<std::string> notRun;
};

bool measureSystems(zelta::PluginHost& host, const Frames& frames, const Args& args, Measured& m, std::string* error) {
    Peers peers;
    startPeers(args, frames, peers);
    std::vector<float> mask(kBins);
    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    filter.processFrame(frames.at(0), mask.data());
    EngineNet best, portable;
    best.warm(frames.at(0));
    {
        YNet::ScopedCpuOverride force(YNet::IsaLevel::Portable);
        portable.warm(frames.at(0));
    }
    m.systems.push_back(System::local("filter through the SDK (best kernels)", [&] { filter.scaleState(0.0f); },
                         [&](const float* f, float* o) { filter.processFrame(f, o); }));
    m.systems.push_back(System::local("(a) engine, best kernels", [&] { best.resetState(); },
                         [&](const float* f, float* o) { best.frame(f, o); }));
    m.systems.push_back(System::local("(b) engine, portable kernels", [&] { portable.resetState(); },
                         [&](const float* f, float* o) { portable.frame(f, o); }, true));
    if (peers.torch) m.systems.push_back(torchSystem("(c) LibTorch, op by op, 1 thread", *peers.torch, frames.at(0)));
    else m.notRun.push_back("LibTorch op by op: " + peers.torchError);
    if (peers.traced)
        m.systems.push_back(torchSystem("(d) LibTorch, traced + frozen + optimize_for_inference, 1 thread",
                                        *peers.traced, frames.at(0)));
    else m.notRun.push_back("LibTorch traced: " + peers.tracedError);
    if (peers.ort) {
        OrtPeer& ort = *peers.ort;
        m.systems.push_back(System::peer("(e) ONNX Runtime " + ort.version() + ", 1 thread, graph optimisation all",
                                         [&ort] { ort.reset(); },
                                         [&ort](int b, int e, Timing& t) { return ort.run(b, e, t); }));
    } else {
        m.notRun.push_back("ONNX Runtime: " + peers.ortError);
    }
    std::vector<System*> all;
    for (System& s : m.systems) all.push_back(&s);
    if (!runRounds(frames, all, args.rounds, [&m] { sampleLimits(m.limits); }, error)) return false;
    if (peers.ort && !peers.ort->masks(m.systems.back().masks)) return *error = "ONNX Runtime: no masks", false;
    for (System& s : m.systems) s.frame = nullptr, s.block = nullptr, s.reset = nullptr;
    m.macs = macsPerFrame(*best.net);
    return true;
}

struct Spread {
    double median = 0, low = 0, high = 0;
};

// The engine's per-round median over the 256-bit bound from the same
// round's peak.
Spread pairedRatios(const System& engine, const Measured& m) {
    std::vector<double> ratios;
    for (size_t i = 0; i < engine.rounds.size() && i < m.limits.roundPeak256.size(); ++i) {
        CoreLimits round;
        round.peak256 = m.limits.roundPeak256[i];
        ratios.push_back(quantile(engine.rounds[i].cpu, 0.5) / round.bound256(m.macs));
    }
    if (ratios.empty()) return {};
    return {quantile(ratios, 0.5), *std::min_element(ratios.begin(), ratios.end()),
            *std::max_element(ratios.begin(), ratios.end())};
}

void boundRow(Report& r, const char* name, double bound) {
    if (bound > 0) r.line("| %s | %s | | | %.1f |", name, us(bound).c_str(), 0.010 / bound);
}

void systemsSection(Report& r, const Measured& m, int rounds) {
    const System& engine = m.systems[1];
    const double b256 = m.limits.bound256(m.macs), b512 = m.limits.bound512(m.macs);
    r.line("\n## Per-frame latency (warm; median of %d per-round medians)\n", rounds);
    r.line("| system | median us | p99 us | median wall us | real-time streams per core |\n|---|---|---|---|---|");
    for (const System& s : m.systems)
        r.line("| %s | %s | %s | %s | %.1f |", s.name.c_str(), us(s.median()).c_str(), us(s.p99()).c_str(),
               us(s.median(true)).c_str(), 0.010 / s.median());
    boundRow(r, "(f) compute bound, 256-bit FMA peak (the bound our kernels can reach)", b256);
    boundRow(r, "(g) compute bound, 512-bit FMA peak (this core's physical bound)", b512);
    r.line("\nStreams per core: 10 ms of audio per frame / median processor time. LibTorch op by op runs the layer "
           "records on one-frame tensors, so its time is mostly per-op dispatch; the traced module and ONNX "
           "Runtime run a one-frame export of the PyTorch mirror (`bench/export_peers.py`) with the states fed "
           "back. ONNX Runtime runs in a Node process (`bench/ort_peer.js`, the `onnxruntime-node` package) on "
           "the same core, its time measured there around each call (the process's processor time; the work "
           "runs on its main thread), so it includes the binding's per-call cost. On a shared core, wall medians of the slower systems "
           "include other jobs' turns: a frame longer than the scheduler's time slice is often interrupted.");
    for (const std::string& n : m.notRun) r.line("\n- not run: %s", n.c_str());
    r.line("\nMultiply-accumulates per frame (from the layer shapes): %.2f M; FMA peak of this core: %.1f GFLOP/s "
           "with 256-bit registers, %s with 512-bit registers (each the best of one try before every round). No kernel of the engine uses 512-bit registers, "
           "by design, so the 256-bit bound is the one it can reach.",
           m.macs / 1e6, m.limits.peak256,
           m.limits.peak512 > 0 ? (std::to_string(int(m.limits.peak512 + 0.5)) + " GFLOP/s").c_str() : "not measured (no AVX-512F)");
    r.line("\n## Ratios (median processor time, one run)\n");
    if (b256 > 0) r.line("- engine / 256-bit bound: **%.2fx** (%.0f%% of the 256-bit FMA peak)", engine.median() / b256,
                         100.0 * b256 / engine.median());
    const Spread paired = pairedRatios(engine, m);
    if (b256 > 0)
        r.line("- engine / 256-bit bound, each round's median frame against that round's own peak (the core's clock "
               "and the neighbours' cache use drift between rounds; this pairs them in time): median %.2fx, "
               "rounds %.2fx to %.2fx", paired.median, paired.low, paired.high);
    if (b512 > 0) r.line("- engine / 512-bit bound: %.2fx", engine.median() / b512);
    r.line("- filter through the SDK / engine: %.2fx", m.systems[0].median() / engine.median());
    for (size_t i = 2; i < m.systems.size(); ++i)
        r.line("- %s / engine: **%.2fx**; max |mask difference| to the engine %.2e", m.systems[i].name.c_str(),
               m.systems[i].median() / engine.median(), maxDifference(m.systems[i].masks, engine.masks));
    r.line("- max |mask difference| filter vs engine: %.2e", maxDifference(m.systems[0].masks, engine.masks));
}

int runReport(const Args& args) {
    Frames frames;
    std::string error;
    if (!readFeatures(args.features, 2000, frames.data, &error)) return std::fprintf(stderr, "perf_report: %s\n", error.c_str()), 1;
    const int core = args.core >= 0 ? args.core : quietestCore();
    if (!pinToCore(core)) return std::fprintf(stderr, "perf_report: cannot pin to core %d\n", core), 1;
    zelta::PluginHost host;
    if (!host.load(AEC_PLUGIN, &error)) return std::fprintf(stderr, "perf_report: %s\n", error.c_str()), 1;
    Report r;
    r.line("# Performance of the echo filter\n\n%s.\n", machineLine(args.machine).c_str());
    r.line("%d frames of host features (aec_features on 20 s made from the demo clips: far-end echo through "
           "the demo room, near-end talk in alternate repetitions), the same frames for every system, one "
           "thread pinned to core %d (%s). Times are processor time of "
           "the running thread, so other load on the machine counts only through shared caches and clock, "
           "except where marked wall. %d rounds; within a round the systems take turns on blocks of %d "
           "frames, and every figure compared is a ratio from this one run.",
           frames.count(), core, args.core >= 0 ? "as asked" : "the quieter core when the report started",
           args.rounds, kBlock);
    memorySection(r, host, frames);
    Measured measured;
    if (!measureSystems(host, frames, args, measured, &error)) return std::fprintf(stderr, "perf_report: %s\n", error.c_str()), 1;
    systemsSection(r, measured, args.rounds);
    layerSection(r, frames, measured.limits, measured.systems[1].median());
    streamsSection(r, host, frames, core);
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
        std::fprintf(stderr,
                     "usage: perf_report --features FRAMES.feat --out REPORT.md [--machine TEXT] [--core N] "
                     "[--rounds N] [--torchscript NET.pt] [--onnx NET.onnx --node-modules DIR]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);  // a peer that dies is reported, not fatal
    try {
        return runReport(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "perf_report: %s\n", e.what());
        return 1;
    }
}
