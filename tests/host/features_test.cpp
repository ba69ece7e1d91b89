#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "host/aec_pipeline.h"
#include "host/features.h"

namespace {

using aec::Complex;

std::vector<Complex> randomSpectrum(std::mt19937& rng, float scale) {
  std::normal_distribution<float> g(0.0f, scale);
  std::vector<Complex> s(aec::kBins);
  for (Complex& c : s) c = Complex(g(rng), g(rng));
  return s;
}

double hostLog(Complex c) { return std::log10(double(std::norm(c)) + 1e-10); }

// Rows, oldest frame first, Y = d - e per frame, and the level as the mean of
// the mic frames' mean log power, computed here in double from the
// documented definition.
TEST(FeatureBuilder, RowsHoldEachStreamsFramesNormalisedByMicLevel) {
  std::mt19937 rng(3);
  aec::FeatureBuilder builder;
  std::vector<std::vector<Complex>> e, d, x, y;
  std::vector<float> out(aec::kFeatureFloats);
  double levelSum = 0.0;
  for (int t = 0; t < 9; ++t) {
    e.push_back(randomSpectrum(rng, 0.1f));
    d.push_back(randomSpectrum(rng, t < 2 ? 0.0f : 1.0f + t));  // two silent frames first
    x.push_back(randomSpectrum(rng, 0.5f));
    y.push_back(d[t]);
    for (int k = 0; k < aec::kBins; ++k) y[t][k] -= e[t][k];
    builder.push(e[t].data(), d[t].data(), x[t].data(), out.data());
    double frameMean = 0.0;
    for (Complex c : d[t]) frameMean += hostLog(c) / aec::kBins;
    if (t >= 2) levelSum += frameMean;
    const double level = t < 2 ? -10.0 : levelSum / (t - 1);
    ASSERT_NEAR(builder.level(), level, 1e-4) << "frame " << t;
    // stream, first row, frames
    const struct {
      const std::vector<std::vector<Complex>>* spectra;
      int row, frames;
    } streams[] = {{&e, 0, 6}, {&d, 6, 6}, {&x, 12, 3}, {&y, 15, 3}};
    for (const auto& s : streams) {
      for (int j = 0; j < s.frames; ++j) {
        const int frame = t - (s.frames - 1) + j;
        for (int k = 0; k < aec::kBins; k += 37) {
          const double raw = frame < 0 ? -10.0 : hostLog((*s.spectra)[frame][k]);
          ASSERT_NEAR(out[(s.row + j) * aec::kBins + k], raw - level, 2e-4) << t << " " << s.row << " " << j << " " << k;
        }
      }
    }
  }
}

std::vector<std::vector<float>> runFeatures(float gain, int hops) {
  aec::AecOptions options;
  options.bypassLinear = true;
  options.delayMs = 0;
  auto pipeline = aec::AecPipeline::create(options);
  std::mt19937 rng(11);
  std::normal_distribution<float> g(0.0f, 0.05f);
  std::vector<float> mic(aec::kHop), ref(aec::kHop), out(aec::kHop);
  std::vector<std::vector<float>> frames;
  for (int t = 0; t < hops; ++t) {
    for (int n = 0; n < aec::kHop; ++n) mic[n] = gain * g(rng) * (1.0f + std::sin(0.01f * (t * aec::kHop + n)));
    pipeline->process(mic.data(), ref.data(), out.data());
    frames.emplace_back(pipeline->features(), pipeline->features() + aec::kFeatureFloats);
  }
  return frames;
}

// A 20 dB louder input gives the same E and D features once six frames of
// signal are in the context window.
TEST(FeatureBuilder, PipelineFeaturesIgnoreInputGain) {
  const auto quiet = runFeatures(1.0f, 60);
  const auto loud = runFeatures(10.0f, 60);
  for (int t = 6; t < 60; t += 9) {
    for (int i = 0; i < aec::firstRow(aec::kStreamX) * aec::kBins; ++i) ASSERT_NEAR(quiet[t][i], loud[t][i], 1e-3) << t << " " << i;
  }
}

// The reference rows show the far end where the linear canceller sees it:
// a burst at frame 20 of the reference, with a fixed 100 ms delay and the
// aligner's two-hop margin, reaches the newest X row eight frames later,
// while the mic (silent) rows stay at the floor.
TEST(FeatureBuilder, ReferenceRowsFollowTheAlignedFarEnd) {
  aec::AecOptions options;
  options.delayMs = 100;
  auto pipeline = aec::AecPipeline::create(options);
  ASSERT_TRUE(pipeline);
  std::vector<float> mic(aec::kHop, 0.0f), ref(aec::kHop), out(aec::kHop);
  const int newestX = aec::newestRow(aec::kStreamX) * aec::kBins;
  const int newestD = aec::newestRow(aec::kStreamD) * aec::kBins;
  int first = -1;
  for (int t = 0; t < 40; ++t) {
    for (int n = 0; n < aec::kHop; ++n) ref[n] = t == 20 ? 0.5f * std::sin(0.3f * n) : 0.0f;
    pipeline->process(mic.data(), ref.data(), out.data());
    const float* f = pipeline->features();
    double x = 0.0, d = 0.0;
    for (int k = 0; k < aec::kBins; ++k) {
      x += f[newestX + k] / aec::kBins;
      d += f[newestD + k] / aec::kBins;
    }
    EXPECT_NEAR(d, 0.0, 1e-6) << t;  // silent mic: level stays at the floor
    if (first < 0 && x > 1.0) first = t;
  }
  // The analysis window spans two hops, so the burst shows one frame early.
  EXPECT_GE(first, 27);
  EXPECT_LE(first, 28);
}

}  // namespace
