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
  auto slot = [&](int stream, int at) { return &history_[(stream * kContextFrames + at) * kBins]; };
  float* logE = slot(kStreamE, newest_);
  float* logD = slot(kStreamD, newest_);
  float* logX = slot(kStreamX, newest_);
  float* logY = slot(kStreamY, newest_);
  for (int k = 0; k < kBins; ++k) {
    logE[k] = logPower(e[k]);
    logD[k] = logPower(d[k]);
    logX[k] = logPower(x[k]);
    logY[k] = logPower(d[k] - e[k]);
  }
  updateLevel(logD, d);
  for (int s = 0; s < kStreams; ++s) {
    const int frames = kStreamFrames[s];
    for (int j = 0; j < frames; ++j) {
      // j = 0 is frame t - (frames - 1)
      const float* src = slot(s, (newest_ + kContextFrames - (frames - 1) + j) % kContextFrames);
      float* dst = out + (firstRow(s) + j) * kBins;
      for (int k = 0; k < kBins; ++k) dst[k] = src[k] - level_;
    }
  }
}

}  // namespace aec
