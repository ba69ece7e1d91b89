#pragma once
// Activation kinds and the hand-over of a follower activation to its
// producer, shared by the Activation layer, the graph pass and every producer
// that applies its follower inside its own kernel (convolutions, BinaryOp,
// ...).
//
// Typical use in a producer's forward:
//     act::Fused f = act::takeFollower(*this, act::kReluClipLeaky, false);
//     ... compute a row / block of outputs into out[0..n) ...
//     if (f) act::apply(f, out, n);   // or act::applyScalar per element
// takeFollower marks the follower (skip or removed) so it does not run again.
// The kernels (`apply`, `applyScalar`, ...) are the x86 library's.
#include <cstdint>

namespace YNet {

class Layer;

namespace act {

// Activation kind numbers as stored in parameter word 0 of a layer record.
enum Kind : uint32_t {
    kNone = 0,
    kRelu = 1,       // max(x, 0)
    kClip = 2,       // min(max(x, 0), param)
    kSigmoid = 5,    // 1 / (1 + e^-x)
    kLeakyRelu = 6,  // max(x, 0) + param * min(x, 0)
    kSwish = 7,      // x / (1 + e^-x)
    kHardSwish = 9,  // x * min(max(x + 3, 0), 6) / 6
};

constexpr uint32_t kindBit(uint32_t kind) { return 1u << kind; }
// The kinds producers fuse: the three rectifiers.
constexpr uint32_t kReluClipLeaky = kindBit(kRelu) | kindBit(kClip) | kindBit(kLeakyRelu);

// An activation taken over by a producer; kind kNone means "nothing to do".
struct Fused {
    uint32_t kind = kNone;
    float param = 0.0f;  // clip bound (kind 2) or negative slope (kind 6)
    explicit operator bool() const { return kind != kNone; }
};

// If `producer.followers[0]` is an Activation whose kind is in `kindMask`
// (bits from kindBit), marks it `removed` (markRemoved) or `skip` and
// returns its kind and parameter; otherwise returns kind kNone and marks
// nothing.
Fused takeFollower(Layer& producer, uint32_t kindMask, bool markRemoved);

}  // namespace act
}  // namespace YNet
