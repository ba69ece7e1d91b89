#pragma once
// Where the probe net (probe_net.cpp) writes what it saw into the mask.
namespace probe {

constexpr int kMaskSize = 513;
// Header: counts of A and B, h and w of A and B, counts of the two states,
// offset of B from A in floats, first and last float of A and of B, and 1
// if both windows point at memory the blobs do not own.
enum Header { kCountA, kCountB, kHA, kWA, kHB, kWB, kCountS1, kCountS2, kOffsetB,
              kFirstA, kLastA, kFirstB, kLastB, kNotOwned, kHeader };
constexpr int kState = 128;
constexpr int kState1 = 16;               // the states as the frame found them
constexpr int kState2 = kState1 + kState;
// After each frame: state1[k] += A[k], state2[k] += B[6155 - k].

}  // namespace probe
