#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "host/dsp/fft.h"
#include "host/dsp/stft.h"
#include "tests/support/random_data.h"

namespace {

using aec::Complex;

std::vector<std::complex<double>> naiveDft(const std::vector<float>& x) {
  const int n = static_cast<int>(x.size());
  std::vector<std::complex<double>> out(n / 2 + 1);
  for (int k = 0; k <= n / 2; ++k) {
    for (int i = 0; i < n; ++i) out[k] += static_cast<double>(x[i]) * std::polar(1.0, -2.0 * M_PI * k * i / n);
  }
  return out;
}

TEST(RealFft, MatchesNaiveDftAndInverts) {
  for (int n : {4, 8, 16, 64, 256, 1024}) {
    const std::vector<float> x = test_support::uniformFloats(n, n);
    aec::RealFft fft(n);
    std::vector<Complex> spectrum(fft.bins());
    fft.forward(x.data(), spectrum.data());
    const auto expected = naiveDft(x);
    for (int k = 0; k <= n / 2; ++k) {
      EXPECT_NEAR(spectrum[k].real(), expected[k].real(), 2e-5 * n) << "n " << n << " bin " << k;
      EXPECT_NEAR(spectrum[k].imag(), expected[k].imag(), 2e-5 * n) << "n " << n << " bin " << k;
    }
    std::vector<float> back(n);
    fft.inverse(spectrum.data(), back.data());
    for (int i = 0; i < n; ++i) EXPECT_NEAR(back[i], x[i], 1e-5f) << "n " << n << " sample " << i;
  }
}

TEST(Stft, FramesAreWindowedDftsAndReconstructWithUnitMask) {
  const int hops = 40;
  const std::vector<float> x = test_support::uniformFloats(hops * aec::kHop, 7);
  aec::StftAnalyzer analyzer;
  aec::StftSynthesizer synthesizer;
  std::vector<Complex> spectrum(aec::kBins);
  std::vector<float> y(x.size());
  for (int t = 0; t < hops; ++t) {
    analyzer.push(&x[t * aec::kHop], spectrum.data());
    if (t == 10) {
      // Frame t spans samples [160 (t-1), 160 (t+1)) under a sqrt periodic Hann window.
      std::vector<float> frame(aec::kFftSize, 0.0f);
      for (int n = 0; n < aec::kWindow; ++n) {
        frame[n] = x[(t - 1) * aec::kHop + n] * std::sqrt(0.5f - 0.5f * std::cos(2.0f * M_PI * n / aec::kWindow));
      }
      const auto expected = naiveDft(frame);
      for (int k = 0; k < aec::kBins; k += 7) EXPECT_NEAR(std::abs(spectrum[k] - Complex(expected[k])), 0.0, 1e-3);
    }
    synthesizer.pull(spectrum.data(), &y[t * aec::kHop]);
  }
  double worst = 0.0;
  for (size_t n = aec::kHop; n < x.size(); ++n) worst = std::max(worst, std::fabs(double(y[n]) - x[n - aec::kHop]));
  EXPECT_LT(worst, 1e-5);
  for (int n = 0; n < aec::kHop; ++n) EXPECT_NEAR(y[n], 0.0f, 1e-6f);
}

}  // namespace
