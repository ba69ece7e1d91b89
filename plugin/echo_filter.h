#pragma once
#include <cstdint>
#include <memory>

#include "model/frame_contract.h"
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
    AiEchoCancellationFilter();
    ~AiEchoCancellationFilter();

    int32_t processFrame(const float* features, float* mask) override;
    int32_t scaleState(float factor) override;

private:
    struct Impl {
        std::unique_ptr<InferenceContext> context;
    };
    void cleanOutput(YNet::Net& net, float* mask);
    std::unique_ptr<Impl> impl;
};
