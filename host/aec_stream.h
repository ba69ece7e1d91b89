#pragma once

#include <cstddef>
#include <memory>

#include "mask_source.h"

namespace aec {

struct StreamOptions {
  int filterMs = 256;        // linear canceller filter length, 10 to 2000
  int delayMs = -1;          // far-end delay: < 0 estimates it, else fixed, up to 500
  float maskFloor = 0.0f;    // smallest gain the mask may apply
  bool linearOnly = false;   // ignore the mask source: linear canceller only
  bool bypassLinear = false; // skip the linear canceller (E = D)
  bool farEndHold = true;    // mask eased to one while the far end is silent
};

// Streaming echo canceller at any rate from 8 to 48 kHz and any block size.
// Mic and reference are converted to 16 kHz, cancelled in 10 ms hops and the
// result converted back. Above 8 kHz (rates over 16 kHz) the microphone's
// high band is scaled by the chain's gain in the top bins (6-8 kHz), so the
// echo is suppressed there too. The output is the cleaned mic delayed by
// latencySamples(), the same for every block size.
class AecStream {
 public:
  // Null when the rate or an option is out of range.
  static std::unique_ptr<AecStream> create(int sampleRate, const StreamOptions& options = StreamOptions());
  ~AecStream();
  AecStream(const AecStream&) = delete;
  AecStream& operator=(const AecStream&) = delete;

  // An empty source restores the default: the embedded mask network in the
  // installed library (all ones where a build links no network).
  void setMaskSource(MaskSource source);
  // mic, ref, out: count samples each at the stream rate; out may alias mic.
  // Samples beyond [-1, 1] are clamped (a warning on stderr marks the
  // first). False, with nothing done, when a buffer is null and count > 0.
  bool process(const float* mic, const float* ref, float* out, size_t count);
  void reset();

  int sampleRate() const;
  int latencySamples() const;
  // Far-end delay in use, in milliseconds, and whether the estimate has settled.
  int delayMs() const;
  bool delayLocked() const;
  // Whether the delay is fixed, or the estimate settled on a clear peak: a
  // weak one suggests an echo outside the 0-500 ms searched.
  bool delayConfident() const;
  // Non-finite mic or reference samples replaced with 0 so far (a warning on
  // stderr marks the first).
  long nonFiniteSamples() const;
  // Samples beyond full scale clamped to [-1, 1] so far.
  long clampedSamples() const;

 private:
  struct Impl;
  explicit AecStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace aec
