// The engine against the frames the independent torch mirror computed from
// the same blob: every seed, every frame with the states carried, on every
// instruction-set tier this machine can run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/model/model_test_util.h"
#include "ynet/cpu_info.h"

using namespace modeltest;
using YNet::CpuInfo;
using YNet::IsaLevel;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The integer after "key": in the reference header.
long headerNumber(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::stol(json.substr(at + key.size() + 3));
}

// Sections back to back: features (F + 17 rows), mask (F rows), both states.
struct Golden {
    int frames = 0;
    std::vector<float> features, mask, state469, state493;

    bool load(const std::string& stem) {
        const std::string json = readFile(stem + ".json");
        const std::string bin = readFile(stem + ".bin");
        frames = int(headerNumber(json, "frames"));
        const size_t sizes[4] = {size_t(frames + 17) * kRow, size_t(frames) * kRow,
                                 size_t(frames) * kStateSize, size_t(frames) * kStateSize};
        std::vector<float>* parts[4] = {&features, &mask, &state469, &state493};
        size_t offset = 0;
        for (int i = 0; i < 4; ++i) offset += sizes[i] * sizeof(float);
        if (frames <= 0 || bin.size() != offset || json.find(AEC_WEIGHT_SHA256) == std::string::npos) {
            return false;
        }
        offset = 0;
        for (int i = 0; i < 4; ++i) {
            parts[i]->resize(sizes[i]);
            std::memcpy(parts[i]->data(), bin.data() + offset, sizes[i] * sizeof(float));
            offset += sizes[i] * sizeof(float);
        }
        return true;
    }
};

struct Deviation {
    double max = 0, sum = 0;
    size_t count = 0;

    void add(const std::vector<float>& got, const float* want) {
        for (size_t i = 0; i < got.size(); ++i) {
            const double d = std::fabs(double(got[i]) - want[i]);
            max = std::max(max, std::isnan(d) ? INFINITY : d);
            sum += d;
        }
        count += got.size();
    }
    double mean() const { return count ? sum / double(count) : INFINITY; }
};

struct Errors {
    Deviation mask, state469, state493;
};

Errors runSeed(const Golden& g) {
    auto net = buildNet();
    Errors e;
    for (int f = 0; f < g.frames; ++f) {
        const Frame out = runFrame(*net, g.features.data() + size_t(f) * kRow);
        e.mask.add(out.mask, g.mask.data() + size_t(f) * kRow);
        e.state469.add(out.state469, g.state469.data() + size_t(f) * kStateSize);
        e.state493.add(out.state493, g.state493.data() + size_t(f) * kStateSize);
    }
    return e;
}

void expectWithin(const Deviation& d, double maxBound, double meanBound, const std::string& what) {
    EXPECT_LE(d.max, maxBound) << what << " max";
    EXPECT_LE(d.mean(), meanBound) << what << " mean";
}

TEST(ModelGolden, MatchesMirrorOnEveryTier) {
    for (int seed = 1; seed <= 4; ++seed) {
        Golden g;
        const std::string stem = std::string(AEC_GOLDEN_DIR) + "/seed" + std::to_string(seed);
        ASSERT_TRUE(g.load(stem)) << stem << ": missing, malformed or made from another blob";
        ASSERT_GE(g.frames, 100);
        for (IsaLevel level : CpuInfo::supportedLevels()) {
            YNet::ScopedCpuOverride guard(level);
            const Errors e = runSeed(g);
            const std::string what = "seed " + std::to_string(seed) + " " + YNet::isaLevelName(level);
            std::printf("%s |diff| max/mean: mask %.2g/%.2g state469 %.2g/%.2g state493 %.2g/%.2g\n",
                        what.c_str(), e.mask.max, e.mask.mean(), e.state469.max, e.state469.mean(),
                        e.state493.max, e.state493.mean());
            expectWithin(e.mask, kMaskMax, kMaskMean, what + " mask");
            expectWithin(e.state469, kStateMax, kStateMean, what + " state469");
            expectWithin(e.state493, kStateMax, kStateMean, what + " state493");
        }
    }
}

}  // namespace
