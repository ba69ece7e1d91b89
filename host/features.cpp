#include "host/features.h"

#include <algorithm>
#include <cmath>

namespace aec {

float logPower(Complex x) { return std::log10(std::norm(x) + kPowerFloor); }

FeatureBuilder::FeatureBuilder() : history_(kStreams * kContextFrames * kBins) { reset(); }

void FeatureBuilder::reset() {
  std::fill(history_.begin(), history_.end(), std::log10(kPowerFloor));
  newest_ = kContextFrames - 1;
  level_ = std::log10(kPowerFloor);
  activeFrames_ = 0;
}

void FeatureBuilder::updateLevel(const float* micLog, const Complex* d) {
  float power = 0.0f, logSum = 0.0f;
  for (int k = 0; k < kBins; ++k) {
    power += std::norm(d[k]);
    logSum += micLog[k];
  }
  if (power / kBins <= kLevelActivePower) return;
  ++activeFrames_;
  const float rate = 1.0f / static_cast<float>(std::min<long>(activeFrames_, kLevelFrames));
  level_ += rate * (logSum / kBins - level_);
}

void FeatureBuilder::push(const Complex* e, const Complex* d, const Complex* x, float* out) {
  newest_ = (newest_ + 1) % kContextFrames;
  const Complex* spectra[kStreams] = {e, d, x};
  for (int s = 0; s < kStreams; ++s) {
    float* slot = &history_[(s * kContextFrames + newest_) * kBins];
    for (int k = 0; k < kBins; ++k) slot[k] = logPower(spectra[s][k]);
  }
  updateLevel(&history_[(kContextFrames + newest_) * kBins], d);
  for (int s = 0; s < kStreams; ++s) {
    for (int j = 0; j < kContextFrames; ++j) {
      const int slot = (newest_ + 1 + j) % kContextFrames;  // j = 0 is frame t-5
      const float* src = &history_[(s * kContextFrames + slot) * kBins];
      float* dst = out + (s * kContextFrames + j) * kBins;
      for (int k = 0; k < kBins; ++k) dst[k] = src[k] - level_;
    }
  }
}

}  // namespace aec
