#include "host/dsp/stft.h"

#include <algorithm>
#include <cmath>

namespace aec {

std::vector<float> sqrtHannWindow() {
  std::vector<float> w(kWindow);
  for (int n = 0; n < kWindow; ++n) {
    const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * n / kWindow);
    w[n] = static_cast<float>(std::sqrt(hann));
  }
  return w;
}

StftAnalyzer::StftAnalyzer()
    : fft_(kFftSize), window_(sqrtHannWindow()), frame_(kWindow, 0.0f), padded_(kFftSize, 0.0f) {}

void StftAnalyzer::reset() { std::fill(frame_.begin(), frame_.end(), 0.0f); }

void StftAnalyzer::push(const float* hop, Complex* spectrum) {
  std::copy(frame_.begin() + kHop, frame_.end(), frame_.begin());
  std::copy(hop, hop + kHop, frame_.begin() + (kWindow - kHop));
  for (int n = 0; n < kWindow; ++n) padded_[n] = frame_[n] * window_[n];
  fft_.forward(padded_.data(), spectrum);
}

StftSynthesizer::StftSynthesizer()
    : fft_(kFftSize), window_(sqrtHannWindow()), overlap_(kWindow, 0.0f), time_(kFftSize, 0.0f) {}

void StftSynthesizer::reset() { std::fill(overlap_.begin(), overlap_.end(), 0.0f); }

void StftSynthesizer::pull(const Complex* spectrum, float* hop) {
  fft_.inverse(spectrum, time_.data());
  for (int n = 0; n < kWindow; ++n) overlap_[n] += time_[n] * window_[n];
  std::copy(overlap_.begin(), overlap_.begin() + kHop, hop);
  std::copy(overlap_.begin() + kHop, overlap_.end(), overlap_.begin());
  std::fill(overlap_.begin() + (kWindow - kHop), overlap_.end(), 0.0f);
}

}  // namespace aec
