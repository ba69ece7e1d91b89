#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "plugin/host_interfaces.h"

namespace YNet { class Net; }

struct InferenceContext {
    std::unique_ptr<YNet::Net> net;  // null if building it failed

    InferenceContext();
    ~InferenceContext();
};

// Runs the embedded mask network on the host's spectral features, one block
// per processFrame; the two recurrent states stay in the net between blocks.
class AiEchoCancellationFilter : public AudioFilter {
public:
    static constexpr uint32_t kBins = 513;
    static constexpr uint32_t kRows = 12;
    static constexpr uint32_t kWindowOffset = 3078;  // window B starts six rows in
    static constexpr uint32_t kFeatureFloats = kWindowOffset + kRows * kBins;  // 9234
    static constexpr uint32_t kStateSize = 128;

    AiEchoCancellationFilter();
    ~AiEchoCancellationFilter();

    int32_t processFrame(const float* features, float* mask) override;
    int32_t scaleState(float factor) override;

private:
    struct Impl {
        std::unique_ptr<InferenceContext> context;
        std::vector<float> cleanFeatures;  // used only for frames with non-finite values
    };
    const float* cleanInput(const float* features);
    void cleanOutput(YNet::Net& net, float* mask);
    std::unique_ptr<Impl> impl;
};
