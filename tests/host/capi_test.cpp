#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "host/aec.h"
#include "tests/erle.h"

namespace {

using aec_test::erleDb;

// Far end: low-passed noise with a syllable envelope; mic: its echo through
// a 35 ms delay and a short decaying path, plus a little noise.
struct Scene {
  std::vector<float> mic, ref;
};

Scene scene(int rate, size_t samples, int delay) {
  std::mt19937 rng(11);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Scene s{std::vector<float>(samples, 0.0f), std::vector<float>(samples)};
  float low = 0.0f;
  for (size_t n = 0; n < samples; ++n) {
    low = 0.7f * low + 0.3f * g(rng);
    s.ref[n] = 0.1f * low * std::max(0.0f, float(std::sin(2.0 * M_PI * 3.1 * double(n) / rate)) + 0.3f);
  }
  for (size_t n = delay; n < samples; ++n) {
    for (int i = 0; i < 24 && size_t(i + delay) <= n; ++i) s.mic[n] += 0.4f * std::exp(-i / 6.0f) * s.ref[n - delay - i];
    s.mic[n] += 1e-4f * g(rng);
  }
  return s;
}

std::vector<float> run(aec_handle* h, const Scene& s, const std::vector<size_t>& blocks) {
  std::vector<float> out(s.mic.size());
  size_t at = 0;
  for (size_t i = 0; at < out.size(); ++i) {
    const size_t n = std::min(blocks[i % blocks.size()], out.size() - at);
    EXPECT_EQ(aec_process(h, &s.mic[at], &s.ref[at], &out[at], n), 0);
    at += n;
  }
  return out;
}

// Odd block sizes (including empty ones) give the same output as 10 ms
// blocks at 16 kHz and at a converted rate, and the delay is found.
TEST(CApi, AnyBlockSizeEqualsTenMillisecondBlocks) {
  for (int rate : {16000, 44100}) {
    const Scene s = scene(rate, size_t(rate) * 3, rate * 35 / 1000);
    aec_handle* a = aec_create(rate, nullptr);
    aec_handle* b = aec_create(rate, nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(aec_latency(a), aec_latency(b));
    const auto reference = run(a, s, {160});
    const auto odd = run(b, s, {1, 0, 7, 333, 160, 4097, 2, 95});
    for (size_t n = 0; n < reference.size(); ++n) ASSERT_NEAR(odd[n], reference[n], 1e-6f) << rate << " " << n;
    EXPECT_NEAR(aec_delay_estimate(b), 35, 10) << rate;
    aec_reset(b);
    const auto again = run(b, s, {160});
    for (size_t n = 0; n < reference.size(); ++n) ASSERT_NEAR(again[n], reference[n], 1e-6f) << n;
    aec_destroy(a);
    aec_destroy(b);
  }
}

// The library's default mask is the embedded network: it takes the echo far
// below what the linear stage alone leaves.
TEST(CApi, DefaultMaskIsTheNetwork) {
  const Scene s = scene(16000, 16000 * 5, 560);
  aec_options linear;
  aec_default_options(&linear);
  linear.linear_only = 1;
  aec_handle* a = aec_create(16000, nullptr);
  aec_handle* b = aec_create(16000, &linear);
  ASSERT_TRUE(a && b);
  const double network = erleDb(s.mic, run(a, s, {160}), 32000);
  const double linearOnly = erleDb(s.mic, run(b, s, {160}), 32000);
  EXPECT_GT(network, 30.0);
  EXPECT_GT(network, linearOnly + 15.0) << linearOnly;
  aec_destroy(a);
  aec_destroy(b);
}

void halfMask(void* user, const float*, float* mask) {
  ++*static_cast<int*>(user);
  std::fill(mask, mask + 513, 0.5f);
}

void countReset(void* user) { ++static_cast<int*>(user)[1]; }

void countFrame(void* user, const float*, float* mask) {
  ++static_cast<int*>(user)[0];
  std::fill(mask, mask + 513, 1.0f);
}

// aec_reset clears a stateful source's memory; a plain source set later
// drops the reset hook.
TEST(CApi, ResetReachesAStatefulMaskSource) {
  aec_handle* h = aec_create(16000, nullptr);
  ASSERT_TRUE(h);
  int counts[2] = {0, 0};
  aec_set_stateful_mask_source(h, countFrame, countReset, counts);
  std::vector<float> mic(480, 0.1f), out(480);
  aec_process(h, mic.data(), mic.data(), out.data(), mic.size());
  aec_reset(h);
  EXPECT_EQ(counts[0], 3);
  EXPECT_EQ(counts[1], 1);
  aec_set_mask_source(h, countFrame, counts);
  aec_reset(h);
  EXPECT_EQ(counts[1], 1);
  aec_set_stateful_mask_source(h, countFrame, nullptr, counts);
  aec_reset(h);
  aec_set_stateful_mask_source(nullptr, countFrame, countReset, counts);
  EXPECT_EQ(counts[1], 1);
  aec_destroy(h);
}

TEST(CApi, OptionsMaskCallbackAndBadArguments) {
  aec_options options;
  aec_default_options(&options);
  EXPECT_EQ(options.filter_ms, 256);
  EXPECT_EQ(options.delay_ms, -1);
  options.bypass_linear = 1;
  aec_handle* h = aec_create(16000, &options);
  ASSERT_TRUE(h);
  int calls = 0;
  aec_set_mask_source(h, halfMask, &calls);
  std::vector<float> mic(1600, 0.25f), out(1600);
  EXPECT_EQ(aec_process(h, mic.data(), mic.data(), out.data(), mic.size()), 0);
  EXPECT_EQ(calls, 10);
  EXPECT_NEAR(out.back(), 0.125f, 1e-4f);
  aec_set_mask_source(h, nullptr, nullptr);  // back to the embedded network
  EXPECT_EQ(aec_process(h, mic.data(), mic.data(), out.data(), mic.size()), 0);
  EXPECT_EQ(calls, 10);
  EXPECT_EQ(aec_process(h, nullptr, mic.data(), out.data(), 1), -1);
  EXPECT_EQ(aec_process(nullptr, mic.data(), mic.data(), out.data(), 1), -1);
  EXPECT_EQ(aec_process(h, nullptr, nullptr, nullptr, 0), 0);
  aec_default_options(nullptr);
  aec_destroy(h);
  options.linear_only = 1;  // no mask and no linear stage: a pure delay, also in place
  h = aec_create(16000, &options);
  ASSERT_TRUE(h);
  EXPECT_EQ(aec_process(h, mic.data(), mic.data(), mic.data(), mic.size()), 0);
  EXPECT_NEAR(mic.back(), 0.25f, 1e-4f);
  aec_destroy(h);
  options.filter_ms = 1;
  EXPECT_EQ(aec_create(16000, &options), nullptr);
  EXPECT_EQ(aec_create(96000, nullptr), nullptr);
}

// Float data scaled like 16-bit integers: clamped with one warning, and the
// linear stage never resets itself (each reset used to print a line).
TEST(CApi, FarBeyondFullScaleIsClampedWithOneWarningAndNoResets) {
  for (int rate : {16000, 48000}) {
    Scene s = scene(rate, size_t(rate) * 10, rate * 35 / 1000);
    for (auto* x : {&s.mic, &s.ref}) {
      for (float& v : *x) v *= 32767.0f;
    }
    aec_handle* h = aec_create(rate, nullptr);
    ASSERT_TRUE(h);
    testing::internal::CaptureStderr();
    const std::vector<float> out = run(h, s, {size_t(rate) / 100});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "aec: warning: input samples beyond full scale clamped to [-1, 1]\n");
    const float peak = std::fabs(*std::max_element(out.begin(), out.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }));
    EXPECT_TRUE(std::isfinite(peak) && peak < 4.0f) << peak;  // echo estimate of a square wave overshoots
    aec_destroy(h);
  }
}

}  // namespace
