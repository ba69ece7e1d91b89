#pragma once

#include <vector>

#include "host/dsp/fft.h"

namespace aec {

// Framing shared by every stage: 16 kHz, 10 ms hop, 20 ms periodic sqrt-Hann
// window for both analysis and synthesis, zero-padded to a 1024-point FFT.
constexpr int kSampleRate = 16000;
constexpr int kHop = 160;
constexpr int kWindow = 320;
constexpr int kFftSize = 1024;
constexpr int kBins = kFftSize / 2 + 1;

// sqrt of the periodic Hann window; its square sums to exactly 1 over two
// frames half a window apart, so analysis * synthesis reconstructs perfectly.
std::vector<float> sqrtHannWindow();

// Frame t covers input samples [kHop (t - 1), kHop (t + 1)): the newest hop
// is the second half of the analysis window.
class StftAnalyzer {
 public:
  StftAnalyzer();
  void reset();
  // hop: kHop new samples; spectrum: kBins values.
  void push(const float* hop, Complex* spectrum);

 private:
  RealFft fft_;
  std::vector<float> window_;
  std::vector<float> frame_;   // last kWindow input samples
  std::vector<float> padded_;  // kFftSize windowed, zero-padded samples
};

// Overlap-add of windowed inverse FFTs. The samples emitted after frame t are
// those of the first half of frame t, so the output lags the analyzer's input
// by exactly kHop samples.
class StftSynthesizer {
 public:
  StftSynthesizer();
  void reset();
  // spectrum: kBins values; hop: kHop output samples.
  void pull(const Complex* spectrum, float* hop);

 private:
  RealFft fft_;
  std::vector<float> window_;
  std::vector<float> overlap_;  // kWindow partial sums
  std::vector<float> time_;     // kFftSize inverse FFT output
};

}  // namespace aec
