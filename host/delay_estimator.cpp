#include "host/delay_estimator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "host/dsp/stft.h"

namespace aec {

namespace {

constexpr int kFirstBin = 8;     // 125 Hz
constexpr int kBandWidth = 24;   // 375 Hz; 16 bands reach 6125 Hz
constexpr float kActivePower = 1e-6f;  // mean |X|^2 per bin below this is silence
constexpr float kVarRate = 0.02f;      // envelope variance, ~0.5 s
constexpr float kCrossRate = 0.01f;    // correlation, ~1 s
constexpr float kMinScore = 0.2f;
constexpr float kLead = 0.05f;
constexpr int kHoldFrames = 25;
// A settled estimate is trusted when its score is near perfect or stands
// well clear of every lag but its neighbours: true lags score 0.4-1.0 with
// the next peak under a fifth of that on speech in a room, while an echo
// beyond the search settles on a lag whose score others match.
constexpr float kSureScore = 0.9f;
constexpr float kPeakRatio = 2.0f;
constexpr int kNeighbourFrames = 3;
// Until the first lock the filter cannot cancel echo beyond its span, and a
// re-aligned filter learns from the kept history, so a lead counts sooner.
constexpr int kFirstHoldFrames = 5;

// Step of a running mean after count updates: a plain mean at first, then
// exponential, so the early frames weigh fully instead of against zeros.
float step(float rate, float count) { return std::max(rate, 1.0f / count); }

}  // namespace

DelayEstimator::DelayEstimator()
    : history_(kMaxLagFrames + 1), cross_(kMaxLagFrames + 1), score_(kMaxLagFrames + 1),
      updates_(kMaxLagFrames + 1) {
  reset();
}

void DelayEstimator::reset() {
  std::fill(history_.begin(), history_.end(), RefFrame{});
  for (Bands& c : cross_) c.fill(0.0f);
  std::fill(score_.begin(), score_.end(), 0.0f);
  micPrev_.fill(0.0f);
  micVar_.fill(0.0f);
  refPrev_.fill(0.0f);
  refVar_.fill(0.0f);
  micSeen_ = refSeen_ = false;
  micUpdates_ = refUpdates_ = 0.0f;
  std::fill(updates_.begin(), updates_.end(), 0.0f);
  head_ = 0;
  delayFrames_ = candidate_ = -1;
  candidateFrames_ = 0;
}

bool DelayEstimator::bandLog(const Complex* spectrum, Bands& out) {
  float total = 0.0f;
  for (int b = 0; b < kBands; ++b) {
    float power = 0.0f;
    for (int k = 0; k < kBandWidth; ++k) power += std::norm(spectrum[kFirstBin + b * kBandWidth + k]);
    total += power;
    out[b] = std::log10(power / kBandWidth + 1e-12f);
  }
  return total / (kBands * kBandWidth) > kActivePower;
}

// Turns value into its change since the previous active frame, updating the
// running variance. Differencing whitens the envelopes, so the correlation
// peaks sharply at the true lag instead of spreading over the syllable rate.
void DelayEstimator::track(Bands& previous, Bands& var, Bands& value, float& updates) {
  const float rate = step(kVarRate, updates += 1.0f);
  for (int b = 0; b < kBands; ++b) {
    const float change = value[b] - previous[b];
    previous[b] = value[b];
    value[b] = change;
    var[b] += rate * (change * change - var[b]);
  }
}

void DelayEstimator::push(const Complex* mic, const Complex* ref) {
  Bands m, r;
  const bool micActive = bandLog(mic, m);
  const bool refActive = bandLog(ref, r);
  head_ = (head_ + 1) % static_cast<int>(history_.size());
  RefFrame& slot = history_[head_];
  slot.active = refActive;
  if (refActive) {
    if (!refSeen_) refPrev_ = r;
    refSeen_ = true;
    track(refPrev_, refVar_, r, refUpdates_);
    slot.deviation = r;
  }
  if (!micActive) return;
  if (!micSeen_) micPrev_ = m;
  micSeen_ = true;
  track(micPrev_, micVar_, m, micUpdates_);
  correlate(m);
  decide();
}

void DelayEstimator::correlate(const Bands& mic) {
  const int size = static_cast<int>(history_.size());
  for (int lag = 0; lag <= kMaxLagFrames; ++lag) {
    const RefFrame& past = history_[(head_ - lag + size) % size];
    if (!past.active) continue;
    const float rate = step(kCrossRate, updates_[lag] += 1.0f);
    float sum = 0.0f;
    for (int b = 0; b < kBands; ++b) {
      cross_[lag][b] += rate * (mic[b] * past.deviation[b] - cross_[lag][b]);
      sum += cross_[lag][b] / std::sqrt(micVar_[b] * refVar_[b] + 1e-12f);
    }
    score_[lag] = sum / kBands;
  }
}

bool DelayEstimator::confident() const {
  if (!locked()) return false;
  float others = 0.0f;
  for (int lag = 0; lag <= kMaxLagFrames; ++lag) {
    if (std::abs(lag - delayFrames_) > kNeighbourFrames) others = std::max(others, score_[lag]);
  }
  return score() > kSureScore || score() > kPeakRatio * others;
}

void DelayEstimator::decide() {
  const int best = static_cast<int>(std::max_element(score_.begin(), score_.end()) - score_.begin());
  const float current = delayFrames_ < 0 ? 0.0f : score_[delayFrames_];
  const bool leads = best != delayFrames_ && score_[best] > kMinScore && score_[best] > current + kLead;
  if (!leads) {
    candidateFrames_ = 0;
    return;
  }
  candidateFrames_ = best == candidate_ ? candidateFrames_ + 1 : 1;
  candidate_ = best;
  if (candidateFrames_ >= (delayFrames_ < 0 ? kFirstHoldFrames : kHoldFrames)) {
    delayFrames_ = best;
    candidateFrames_ = 0;
  }
}

}  // namespace aec
