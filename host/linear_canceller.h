#pragma once

#include <cstdint>
#include <vector>

struct SpeexEchoState_;

namespace aec {

// Adaptive linear echo canceller (frequency-domain block filter) on 16-bit
// samples; floats in [-1, 1] are scaled and clipped on the way in.
class LinearCanceller {
 public:
  LinearCanceller(int frameSize, int filterLength, int sampleRate);
  ~LinearCanceller();
  LinearCanceller(const LinearCanceller&) = delete;
  LinearCanceller& operator=(const LinearCanceller&) = delete;

  void reset();
  // mic, ref, err: frameSize samples; ref must already be delay-aligned.
  void process(const float* mic, const float* ref, float* err);

 private:
  SpeexEchoState_* state_;
  int frameSize_, filterLength_, sampleRate_;
  std::vector<std::int16_t> mic_, ref_, err_;
};

}  // namespace aec
