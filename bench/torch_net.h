#pragma once
// The echo-cancellation network rebuilt on LibTorch from the model's layer
// and weight records, with the weights read from the half-precision blob
// file. A reference point for the engine's speed and a check on its output.
#include <memory>
#include <string>

class TorchEchoNet {
public:
    virtual ~TorchEchoNet() = default;
    // features: the filter's 9234 floats; mask: 513 floats out. The two
    // recurrent states carry over between calls.
    virtual void frame(const float* features, float* mask) = 0;
    virtual void resetState() = 0;
};

// Null with a one-line reason when LibTorch was not built in or the blob
// does not read.
std::unique_ptr<TorchEchoNet> makeTorchEchoNet(const std::string& blobPath, std::string* error);

// The one-frame TorchScript export of the PyTorch mirror (bench/export_peers.py:
// traced, frozen and optimised for inference), states fed back frame to frame.
std::unique_ptr<TorchEchoNet> makeTracedEchoNet(const std::string& modulePath, std::string* error);
