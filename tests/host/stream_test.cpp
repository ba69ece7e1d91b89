#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "host/aec_stream.h"
#include "host/resampler.h"
#include "tests/support/random_data.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Sum of sines at the given frequencies, amplitude 0.1 each.
std::vector<float> tones(size_t samples, int rate, std::initializer_list<double> hz) {
  std::vector<float> x(samples, 0.0f);
  for (double f : hz) {
    for (size_t n = 0; n < samples; ++n) x[n] += float(0.1 * std::sin(2.0 * kPi * f * double(n) / rate + f));
  }
  return x;
}

std::vector<float> noise(size_t samples, unsigned seed) { return test_support::normalFloats(samples, seed, 0.05f); }

std::vector<float> convert(aec::Resampler& r, const std::vector<float>& x) {
  std::vector<float> y;
  for (size_t at = 0; at < x.size(); at += 97) r.push(&x[at], std::min<size_t>(97, x.size() - at), y);
  return y;
}

// Largest |y[n] - x[n - shift]| over the middle of the signal.
float alignedError(const std::vector<float>& x, const std::vector<float>& y, size_t shift, size_t from, size_t to) {
  float worst = 0.0f;
  for (size_t n = from; n < to; ++n) worst = std::max(worst, std::fabs(y[n] - (n >= shift ? x[n - shift] : 0.0f)));
  return worst;
}

// Rate -> 16 kHz -> rate keeps a signal inside both bands, sample-aligned,
// since the converters compensate their filter delay.
TEST(Resampler, RoundTripsThrough16kHzAreAlignedAndClean) {
  for (int rate : {8000, 22050, 44100, 48000}) {
    const size_t samples = rate;  // 1 s
    const auto x = tones(samples, rate, {220.0, 1000.0, 2900.0});
    aec::Resampler down(rate, 16000), up(16000, rate);
    const auto y = convert(up, convert(down, x));
    ASSERT_GT(y.size(), samples * 9 / 10) << rate;
    EXPECT_LT(alignedError(x, y, 0, samples / 10, y.size() * 9 / 10), 2e-3f) << rate;
    EXPECT_GT(down.inputLatency(), 0) << rate;
  }
}

std::vector<float> runStream(aec::AecStream& stream, const std::vector<float>& mic, const std::vector<float>& ref,
                             size_t block) {
  std::vector<float> out(mic.size());
  for (size_t at = 0; at < mic.size(); at += block) {
    stream.process(&mic[at], &ref[at], &out[at], std::min(block, mic.size() - at));
  }
  return out;
}

// With the linear stage bypassed and a mask of ones the stream is a pure
// delay of latencySamples() at every rate, high band included above 16 kHz.
TEST(AecStream, BypassWithUnitMaskIsPureDelayAtEveryRate) {
  for (int rate : {8000, 16000, 22050, 44100, 48000}) {
    aec::StreamOptions options;
    options.bypassLinear = true;
    auto stream = aec::AecStream::create(rate, options);
    ASSERT_TRUE(stream) << rate;
    const size_t samples = rate;
    // full band above 16 kHz (the high band is passed exactly), else inside the 16 kHz band
    const auto mic = rate > 16000 ? noise(samples, 1) : tones(samples, rate, {300.0, 1700.0, 0.35 * rate});
    const auto out = runStream(*stream, mic, noise(samples, 2), 441);
    const size_t latency = stream->latencySamples();
    EXPECT_LT(latency, size_t(rate) * 40 / 1000) << rate;
    const float tolerance = rate == 16000 ? 1e-5f : 5e-3f;
    EXPECT_LT(alignedError(mic, out, latency, latency + rate / 10, samples), tolerance) << rate;
  }
}

// Top-bin gains of 0.1 scale a tone above 8 kHz by 0.1 and leave a tone
// below it alone.
TEST(AecStream, HighBandCarriesTheGainOfTheTopBins) {
  const int rate = 48000;
  aec::StreamOptions options;
  options.bypassLinear = true;
  auto stream = aec::AecStream::create(rate, options);
  stream->setMaskSource([](const float*, float* mask) {
    for (int k = 0; k < 513; ++k) mask[k] = k >= 384 ? 0.1f : 1.0f;
  });
  const size_t samples = rate;
  const auto ref = noise(samples, 3);
  const auto level = [&](double hz) {
    const auto mic = tones(samples, rate, {hz});
    const auto out = runStream(*stream, mic, ref, 480);
    double in = 0.0, got = 0.0;
    for (size_t n = rate / 2; n < samples; ++n) in += double(mic[n]) * mic[n], got += double(out[n]) * out[n];
    return std::sqrt(got / in);
  };
  EXPECT_NEAR(level(1000.0), 1.0, 0.02);
  stream->reset();
  EXPECT_NEAR(level(14000.0), 0.1, 0.01);
}

TEST(AecStream, RejectsRatesAndOptionsOutOfRange) {
  EXPECT_FALSE(aec::AecStream::create(7999));
  EXPECT_FALSE(aec::AecStream::create(48001));
  aec::StreamOptions options;
  options.delayMs = 501;
  EXPECT_FALSE(aec::AecStream::create(16000, options));
  options = aec::StreamOptions();
  options.maskFloor = std::nanf("");
  EXPECT_FALSE(aec::AecStream::create(16000, options));
  options.maskFloor = 0.5f;
  options.filterMs = 5;
  EXPECT_FALSE(aec::AecStream::create(16000, options));
}

// Null buffers are refused without touching the stream; an empty block is fine.
TEST(AecStream, NullBuffersAreRefused) {
  auto stream = aec::AecStream::create(16000);
  std::vector<float> x(160, 0.1f), out(160);
  EXPECT_FALSE(stream->process(nullptr, x.data(), out.data(), x.size()));
  EXPECT_FALSE(stream->process(x.data(), nullptr, out.data(), x.size()));
  EXPECT_FALSE(stream->process(x.data(), x.data(), nullptr, x.size()));
  EXPECT_TRUE(stream->process(nullptr, nullptr, nullptr, 0));
  EXPECT_TRUE(stream->process(x.data(), x.data(), out.data(), x.size()));
}

}  // namespace
