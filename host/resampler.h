#pragma once

#include <cstddef>
#include <vector>

struct SpeexResamplerState_;

namespace aec {

// Streaming mono sample-rate converter. Its filter delay is compensated:
// output sample j lies at input time j * inRate / outRate, so a chain of
// converters stays time-aligned; in exchange the output trails the input by
// inputLatency() input samples until more input arrives.
class Resampler {
 public:
  Resampler(int inRate, int outRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  void reset();
  // Appends everything the converter can emit for count more input samples.
  void push(const float* in, size_t count, std::vector<float>& out);
  // Input samples the filter needs beyond the latest output sample.
  int inputLatency() const;

 private:
  SpeexResamplerState_* state_;
  int inRate_, outRate_;
};

}  // namespace aec
