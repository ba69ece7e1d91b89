#pragma once

#include <memory>
#include <vector>

#include "host/delay_estimator.h"
#include "host/dsp/stft.h"
#include "host/features.h"
#include "host/linear_canceller.h"
#include "host/mask_source.h"

namespace aec {

struct AecOptions {
  int sampleRate = kSampleRate;  // only 16000 for now
  int filterMs = 256;            // linear canceller filter length
  int delayMs = -1;              // far-end delay: < 0 estimates it, else fixed
  float maskFloor = 0.0f;        // smallest gain the mask may apply
  bool bypassLinear = false;     // E = D, no linear cancellation
  bool farEndHold = true;        // ease the mask to one while the far end is silent
};

// Streaming echo canceller around a mask source: per 10 ms block of mic and
// far-end reference it aligns the reference, runs the linear canceller,
// builds the feature buffer, asks the mask source for gains, applies them to
// E's spectrum and overlap-adds the output. The default mask source passes
// everything (all ones). While the far end is silent for longer than any
// echo can last, the gains ease back to one (unless farEndHold is off, which
// shows what the mask alone does to a near-end talker).
class AecPipeline {
 public:
  // Null when the options are unsupported.
  static std::unique_ptr<AecPipeline> create(const AecOptions& options);

  // An empty source restores the default (all ones).
  void setMaskSource(MaskSource source);
  void reset();
  // mic, ref, out: kHop samples each.
  void process(const float* mic, const float* ref, float* out);

  // Output sample n corresponds to input sample n - latencySamples().
  int latencySamples() const { return kHop; }
  // Far-end delay in use (estimated or fixed), in samples.
  int delaySamples() const;
  bool delayLocked() const;
  // Fixed, or estimated with a clear correlation peak.
  bool delayConfident() const;

  // Results of the last process() call.
  const float* features() const { return features_.data(); }
  // kBins gains applied to E: the source's mask clamped to [maskFloor, 1]
  // (a bin that is not finite counts as 1), eased towards one while the far
  // end is silent.
  const float* gains() const { return mask_.data(); }
  const Complex* errorSpectrum() const { return spectra_[kE].data(); }
  const Complex* micSpectrum() const { return spectra_[kD].data(); }

 private:
  enum Stream { kD, kR, kE, kX, kStreamCount };  // kX: the aligned reference
  static constexpr int kRefHistory = 8192;  // > 500 ms + one hop, power of two

  explicit AecPipeline(const AecOptions& options);
  // Stores a hop of reference and reads it back at the filter's and the
  // features' shifts.
  void alignReference(const float* ref);
  void readReference(int delay, float* out) const;
  void cancelLinear(const float* mic);
  void trackFarEnd(const float* ref);
  void applyMask(float* out);

  AecOptions options_;
  int filterSamples_;
  int echoSpan_;  // samples after the last loud reference hop that echo may still arrive
  LinearCanceller canceller_;
  DelayEstimator delay_;
  FeatureBuilder builder_;
  StftAnalyzer micStft_, refStft_, errStft_, alignedStft_;
  StftSynthesizer synth_;
  MaskSource maskSource_;
  std::vector<float> refRing_;
  long refWritten_ = 0;
  int cancellerDelay_ = -1;  // filter's reference shift in samples, -1 before the first block
  int silentRef_ = 0;      // samples since the last loud reference hop, capped
  float maskWeight_ = 0.0f;  // share of the mask applied: 1 while echo may arrive
  std::vector<float> cancellerRef_, featureRef_, err_, mask_, features_;
  std::vector<Complex> spectra_[kStreamCount];
};

}  // namespace aec
