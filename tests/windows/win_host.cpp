// The Windows build end to end (run under wine by scripts/windows-check.sh):
// the plug-in DLL, loaded through the SDK DLL's host API, reproduces the
// reference masks; the engine linked into this program reproduces masks and
// both states on every instruction-set tier; the plug-in survives 100 rounds
// of load, filter, release, unload. One line per check, exit code 1 if any
// check fails.
//
//   win_host <reference dir> [plug-in DLL]     (default: zelta_aiaec.dll)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "host/sdk/host_api.h"
#include "tests/model/model_test_util.h"
#include "ynet/cpu_info.h"

using namespace modeltest;

namespace {

constexpr int kSeeds = 4;
constexpr int kLoadRounds = 100;

int failures = 0;

void report(bool ok, const std::string& line) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", line.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sections back to back: features (F + 17 rows), mask (F rows), both states.
struct Reference {
    int frames = 0;
    std::vector<float> features, mask, state469, state493;

    bool load(const std::string& stem) {
        const std::string json = readFile(stem + ".json");
        const std::string bin = readFile(stem + ".bin");
        const size_t at = json.find("\"frames\":");
        frames = at == std::string::npos ? 0 : std::atoi(json.c_str() + at + 9);
        const size_t sizes[4] = {size_t(frames + 17) * kRow, size_t(frames) * kRow,
                                 size_t(frames) * kStateSize, size_t(frames) * kStateSize};
        std::vector<float>* parts[4] = {&features, &mask, &state469, &state493};
        size_t total = 0;
        for (size_t s : sizes) total += s * sizeof(float);
        if (frames < 100 || bin.size() != total || json.find(AEC_WEIGHT_SHA256) == std::string::npos) {
            return false;
        }
        const char* from = bin.data();
        for (int i = 0; i < 4; ++i) {
            parts[i]->resize(sizes[i]);
            std::memcpy(parts[i]->data(), from, sizes[i] * sizeof(float));
            from += sizes[i] * sizeof(float);
        }
        return true;
    }
    const float* buffer(int f) const { return features.data() + size_t(f) * kRow; }
};

struct Deviation {
    double max = 0, sum = 0;
    size_t count = 0;

    void add(const float* got, const float* want, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const double d = std::fabs(double(got[i]) - want[i]);
            max = std::max(max, std::isnan(d) ? INFINITY : d);
            sum += d;
        }
        count += n;
    }
    double mean() const { return count ? sum / double(count) : INFINITY; }
    bool within(double maxBound, double meanBound) const { return max <= maxBound && mean() <= meanBound; }
    std::string text() const {
        char line[64];
        std::snprintf(line, sizeof line, "%.2g/%.2g", max, mean());
        return line;
    }
};

void checkPluginMasks(zelta::PluginHost& host, const Reference& ref, const std::string& what) {
    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    Deviation mask;
    std::vector<float> out(kRow);
    bool calls = bool(filter);
    for (int f = 0; calls && f < ref.frames; ++f) {
        calls = filter.processFrame(ref.buffer(f), out.data()) == 0;
        mask.add(out.data(), ref.mask.data() + size_t(f) * kRow, kRow);
    }
    report(calls && mask.within(kMaskMax, kMaskMean), what + " plug-in DLL mask |diff| max/mean " + mask.text());
}

void checkEngine(const Reference& ref, const std::string& what) {
    for (YNet::IsaLevel level : YNet::CpuInfo::supportedLevels()) {
        YNet::ScopedCpuOverride guard(level);
        auto net = buildNet();
        Deviation mask, s469, s493;
        for (int f = 0; net && f < ref.frames; ++f) {
            const Frame out = runFrame(*net, ref.buffer(f));
            mask.add(out.mask.data(), ref.mask.data() + size_t(f) * kRow, kRow);
            s469.add(out.state469.data(), ref.state469.data() + size_t(f) * kStateSize, kStateSize);
            s493.add(out.state493.data(), ref.state493.data() + size_t(f) * kStateSize, kStateSize);
        }
        const bool ok = net && mask.within(kMaskMax, kMaskMean) && s469.within(kStateMax, kStateMean) &&
                        s493.within(kStateMax, kStateMean);
        report(ok, what + " engine " + YNet::isaLevelName(level) + " |diff| max/mean: mask " + mask.text() +
                       " state469 " + s469.text() + " state493 " + s493.text());
    }
}

void checkLoadRounds(zelta::PluginHost& host, const std::string& plugin) {
    int round = 0;
    std::string error;
    for (; round < kLoadRounds; ++round) {
        if (!host.load(plugin, &error)) break;
        zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
        if (!filter || filter.release() != 0) {
            error = "no filter, or the filter outlived its last reference";
            break;
        }
        host.unload();
    }
    report(round == kLoadRounds, std::to_string(kLoadRounds) + " rounds of load, filter, release, unload" +
                                     (round == kLoadRounds ? "" : ": round " + std::to_string(round) + ": " + error));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: win_host <reference dir> [plug-in DLL]\n");
        return 1;
    }
    const std::string dir = argv[1];
    const std::string plugin = argc > 2 ? argv[2] : "zelta_aiaec.dll";
    std::printf("highest tier: %s\n", YNet::isaLevelName(YNet::CpuInfo::supportedLevels().back()));
    zelta::PluginHost host;
    std::string error;
    const bool loaded = host.load(plugin, &error);
    report(loaded, "load " + plugin + (loaded ? "" : ": " + error));
    for (int seed = 1; seed <= kSeeds; ++seed) {
        const std::string what = "seed " + std::to_string(seed);
        Reference ref;
        const bool read = ref.load(dir + "/seed" + std::to_string(seed));
        if (!read) report(false, what + ": reference frames missing, malformed or made from another blob");
        if (!read) continue;
        if (loaded) checkPluginMasks(host, ref, what);
        checkEngine(ref, what);
    }
    host.unload();
    checkLoadRounds(host, plugin);
    return failures ? 1 : 0;
}
