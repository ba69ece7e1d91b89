#pragma once
// Drives a model net the way the filter does: binds a caller's feature buffer
// to the two window blobs without copying, runs one frame, reads the outputs.
#include <cstring>
#include <memory>
#include <vector>

#include "model/echo_net.h"

namespace modeltest {

// The mirror computes in float64 with exact functions; the engine departs
// from it only where its kernels trade precision for speed:
// - sigmoid main loops use the reciprocal estimate (about 12 bits, relative
//   error up to 1.5 * 2^-12): at most 3.7e-4 * mask on the output, and the
//   four gating sigmoids feed the GRUs, so the states drift by up to ~1e-3;
// - the head products stream bfloat16 copies of their weights, which the
//   exporter keeps bfloat16-exact, so those copies cost nothing.
// Measured over 120 frames on every tier: mask max 2.6e-4, mean 4e-5;
// states max 8.5e-4, mean 2.2e-5. The bounds leave margin for other
// processors' reciprocal estimates; a real fault (a wrong tap, channel or
// gate) moves the means by orders of magnitude more.
constexpr double kMaskMax = 5e-4;
constexpr double kMaskMean = 1e-4;
constexpr double kStateMax = 2e-3;
constexpr double kStateMean = 6e-5;

constexpr int kRow = 513;
constexpr int kStateSize = 128;
constexpr int kBufferFloats = 18 * kRow;
constexpr int kWindowBOffset = 6 * kRow;

inline void bindWindow(YNet::Tensor& t, const float* rows) {
    t.bindFloats(const_cast<float*>(rows), 1, 12, kRow, 1, YNet::kNHWC);
}

struct Frame {
    std::vector<float> mask, state469, state493;
};

// One frame on a caller buffer of kBufferFloats floats; the states carry over.
inline Frame runFrame(YNet::Net& net, const float* buffer) {
    bindWindow(YNet::lookup(net.blobs, net.inputNames[0]), buffer);
    bindWindow(YNet::lookup(net.blobs, net.inputNames[1]), buffer + kWindowBOffset);
    for (int i = 2; i < 4; ++i) YNet::lookup(net.blobs, net.inputNames[i]).set(1, 1, 1, kStateSize, YNet::kNHWC);
    net.warmup();
    net.run(0);
    const float* mask = YNet::lookup(net.blobs, "mask").floatData();
    const float* s1 = YNet::lookup(net.blobs, "469").f32();
    const float* s2 = YNet::lookup(net.blobs, "493").f32();
    return {std::vector<float>(mask, mask + kRow), std::vector<float>(s1, s1 + kStateSize),
            std::vector<float>(s2, s2 + kStateSize)};
}

inline std::unique_ptr<YNet::Net> buildNet() {
    return std::unique_ptr<YNet::Net>(buildEchoCancellationNet(0));
}

}  // namespace modeltest
