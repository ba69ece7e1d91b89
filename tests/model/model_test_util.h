#pragma once
// Drives a model net the way the filter does: binds a caller's feature buffer
// to the two window blobs without copying, runs one frame, reads the outputs.
#include <cstring>
#include <memory>
#include <vector>

#include "model/echo_net.h"

namespace modeltest {

constexpr int kRow = 513;
constexpr int kStateSize = 128;
constexpr int kBufferFloats = 18 * kRow;
constexpr int kWindowBOffset = 6 * kRow;

inline void bindWindow(YNet::Tensor& t, const float* rows) {
    t.set(1, 12, kRow, 1, YNet::kNHWC);
    if (t.data[YNet::kFloat] && !t.notOwned[YNet::kFloat]) YNet::alignedFree(t.data[YNet::kFloat]);
    t.data[YNet::kFloat] = const_cast<float*>(rows);
    t.notOwned[YNet::kFloat] = true;
    t.capacity = 0;
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
