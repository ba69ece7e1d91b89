// The echo filter fed arbitrary float bit patterns (NaN, infinities,
// subnormals, huge values). The input's bytes are tiled over the feature
// buffer; each input runs as one frame on a filter whose recurrent state
// carries over from earlier inputs, followed by one ordinary frame. Every
// mask must be finite and within [0, 1].
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "plugin/echo_filter.h"
#include "plugin/ref_counted.h"

namespace {

using Filter = AiEchoCancellationFilter;
using frame_contract::kBins;
using frame_contract::kFeatureFloats;

void check(const float* mask) {
    for (int k = 0; k < kBins; ++k) {
        if (!(mask[k] >= 0.0f && mask[k] <= 1.0f)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Filter& filter = *new RefCounter<Filter>();  // lives for the whole run
    static std::vector<float> features(kFeatureFloats), ordinary(kFeatureFloats, -3.0f);
    if (size == 0) return 0;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(features.data());
    const size_t total = features.size() * sizeof(float);
    for (size_t at = 0; at < total; at += size) std::memcpy(bytes + at, data, std::min(size, total - at));
    float mask[kBins];
    if (filter.processFrame(features.data(), mask) != 0) __builtin_trap();
    check(mask);
    if (filter.processFrame(ordinary.data(), mask) != 0) __builtin_trap();
    check(mask);
    return 0;
}
