#pragma once

#include <array>
#include <vector>

#include "host/dsp/fft.h"

namespace aec {

// Coarse far-end delay from the correlation of band envelopes: for every lag
// of 0..kMaxLagFrames hops, a running normalised correlation between the
// mic's and the (lagged) reference's frame-to-frame changes of log band
// energy. The
// best lag is adopted once it has led clearly for a while, so the estimate
// follows a drifting or jumping delay without flickering; the first lock
// needs a shorter lead.
class DelayEstimator {
 public:
  static constexpr int kMaxLagFrames = 50;  // 500 ms at 10 ms per frame
  static constexpr int kBands = 16;

  DelayEstimator();
  void reset();
  // One frame of mic and raw (unaligned) reference spectra, kBins each.
  void push(const Complex* mic, const Complex* ref);

  bool locked() const { return delayFrames_ >= 0; }
  // Locked, and the correlation at the adopted lag still stands out.
  bool confident() const;
  // Correlation score at the adopted lag (0 until locked).
  float score() const { return delayFrames_ < 0 ? 0.0f : score_[delayFrames_]; }
  // Estimated delay of the echo behind the reference, in frames (0 until locked).
  int delayFrames() const { return delayFrames_ < 0 ? 0 : delayFrames_; }

 private:
  using Bands = std::array<float, kBands>;
  struct RefFrame {
    Bands deviation{};
    bool active = false;
  };

  static bool bandLog(const Complex* spectrum, Bands& out);
  static void track(Bands& previous, Bands& var, Bands& value, float& updates);
  void correlate(const Bands& mic);
  void decide();

  std::vector<RefFrame> history_;  // ring, history_[(head_ - lag) mod size]
  int head_ = 0;
  std::vector<Bands> cross_;       // per lag, running E[dm * dr]
  Bands micPrev_{}, micVar_{}, refPrev_{}, refVar_{};
  bool micSeen_ = false, refSeen_ = false;
  std::vector<float> score_;
  std::vector<float> updates_;     // per lag, updates of cross_ so far
  float micUpdates_ = 0.0f, refUpdates_ = 0.0f;
  int delayFrames_ = -1;
  int candidate_ = -1;
  int candidateFrames_ = 0;
};

}  // namespace aec
