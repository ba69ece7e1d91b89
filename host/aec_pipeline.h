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
  int delaySamples() const { return inUse_; }
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
  // Mic and reference kept for a re-aligned filter to learn from: 2.05 s,
  // a power of two, so it holds the replayed span at the largest delay.
  static constexpr int kHistory = 32768;

  explicit AecPipeline(const AecOptions& options);
  // Stores a hop of mic and reference, starts a filter at a new shift when
  // the estimate moves, and reads the reference back at the filter's and the
  // features' shifts.
  void alignReference(const float* mic, const float* ref);
  void read(const std::vector<float>& ring, long start, float* out) const;
  int estimateSamples() const;
  // The delay to align at: the estimate, unless it was refused lately.
  int acceptedEstimate(int estimate);
  void warmUp();
  void cancelLinear(const float* mic);
  void trackFarEnd(const float* ref);
  void applyMask(float* out);

  AecOptions options_;
  int filterSamples_;
  int echoSpan_;  // samples after the last loud reference hop that echo may still arrive
  // The filter in use and the one learning at a new shift from the history;
  // they trade places once the second has caught up with the present.
  std::unique_ptr<LinearCanceller> canceller_, warming_;
  DelayEstimator delay_;
  FeatureBuilder builder_;
  StftAnalyzer micStft_, refStft_, errStft_, alignedStft_;
  StftSynthesizer synth_;
  MaskSource maskSource_;
  std::vector<float> micRing_, refRing_;
  long written_ = 0;          // samples of mic (and of reference) stored
  // Delay estimates (samples) the serving filter and the learning one are
  // aligned for (the shift is a margin less); -1: none learns.
  int inUse_ = 0, warmingEstimate_ = -1;
  long warmingNext_ = 0;      // first sample of the next history hop it learns from
  // The learning filter's residual and the serving one's over the same last
  // kCompareHops of the history, for the hand-over test.
  double warmingErr_ = 0.0, servingErr_ = 0.0;
  std::vector<float> servingErrRing_;  // residual energy per hop, by hop number mod its size
  int refused_ = -1;          // estimate whose filter did worse than the serving one
  int refusedHops_ = 0;
  int silentRef_ = 0;      // samples since the last loud reference hop, capped
  float maskWeight_ = 0.0f;  // share of the mask applied: 1 while echo may arrive
  std::vector<float> cancellerRef_, featureRef_, err_, replayMic_, mask_, features_;
  std::vector<Complex> spectra_[kStreamCount];
};

}  // namespace aec
