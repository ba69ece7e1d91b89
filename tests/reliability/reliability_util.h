#pragma once
// Shared by the reliability tests: the plug-in loaded once per process (the
// SDK allows one host), its filter as a mask source, an echo scene made in
// blocks, and cheap deterministic feature frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "host/sdk/host_api.h"

namespace reliability {

constexpr size_t kFeatureFloats = 9234;
constexpr size_t kMaskBins = 513;

// Unloaded at exit, which releases the provider.
inline zelta::PluginHost& pluginHost() {
    static zelta::PluginHost host;
    static const bool loaded = [] {
        std::string error;
        const bool ok = host.load(AEC_PLUGIN, &error);
        if (!ok) ADD_FAILURE() << error;
        return ok;
    }();
    (void)loaded;
    return host;
}

// Far end: low-passed noise with a syllable envelope; mic: its echo through
// `delay` samples and a short decaying path, plus a near-end tone from
// nearStart on. Made block by block, so hours cost no memory.
class EchoScene {
public:
    EchoScene(int rate, int delay, long nearStart = -1) : rate(rate), nearStart(nearStart), history(delay + 32, 0.0f) {}
    void next(float* mic, float* ref, size_t count) {
        for (size_t i = 0; i < count; ++i, ++n) {
            low = 0.7f * low + 0.3f * g(rng);
            const float far = 0.1f * low * std::max(0.0f, float(std::sin(2.0 * M_PI * 3.1 * double(n) / rate)) + 0.3f);
            history[n % history.size()] = far;
            float echo = 0.0f;
            const long delay = long(history.size()) - 32;
            for (int k = 0; k < 24 && n >= delay + k; ++k) echo += 0.4f * std::exp(-k / 6.0f) * history[(n - delay - k) % history.size()];
            const float near = nearStart >= 0 && n >= nearStart ? 0.05f * float(std::sin(2.0 * M_PI * 440.0 * double(n) / rate)) : 0.0f;
            ref[i] = far;
            mic[i] = echo + near + 1e-4f * g(rng);
        }
    }

private:
    int rate;
    long nearStart, n = 0;
    std::vector<float> history;
    std::mt19937 rng{11};
    std::normal_distribution<float> g{0.0f, 1.0f};
    float low = 0.0f;
};

// Feature frame `frame` of stream `stream`: log powers in [-8, 2], cheap to make.
inline void featureFrame(uint32_t frame, uint32_t stream, float* out) {
    uint32_t x = frame * 2654435761u ^ (stream + 1) * 40503u;
    for (size_t i = 0; i < kFeatureFloats; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = -8.0f + 10.0f * float(x >> 8) / float(1 << 24);
    }
}

// FNV-1a over the mask bytes, chained across frames.
inline uint64_t hashMask(uint64_t h, const float* mask) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(mask);
    for (size_t i = 0; i < kMaskBins * sizeof(float); ++i) h = (h ^ bytes[i]) * 1099511628211ull;
    return h;
}
constexpr uint64_t kHashSeed = 14695981039346656037ull;

inline bool maskInRange(const float* mask) {
    for (size_t k = 0; k < kMaskBins; ++k)
        if (!(mask[k] >= 0.0f && mask[k] <= 1.0f)) return false;
    return true;
}

}  // namespace reliability
