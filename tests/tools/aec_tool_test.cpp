#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

class AecTool : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/aec_tool_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Interleaved samples, channels of them per frame.
  std::string write(const std::string& name, const std::vector<float>& x, int rate = 48000, int channels = 1,
                    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) const {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path(name).c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << name;
    sf_writef_float(file, x.data(), static_cast<sf_count_t>(x.size() / channels));
    sf_close(file);
    return path(name);
  }

  std::vector<float> read(const std::string& name, SF_INFO& info) const {
    info = SF_INFO{};
    SNDFILE* file = sf_open(path(name).c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<float> x(static_cast<size_t>(info.frames) * info.channels);
    sf_readf_float(file, x.data(), info.frames);
    sf_close(file);
    return x;
  }

  int run(const std::string& args) const {
    const std::string command = std::string(AEC_TOOL) + " " + args + " >" + path("stdout.txt") + " 2>" + path("stderr.txt");
    return std::system(command.c_str());
  }

  std::string text(const char* name) const {
    std::ifstream in(path(name));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  bool exists(const std::string& name) const { return access(path(name).c_str(), F_OK) == 0; }

  std::string dir_;
};

constexpr int kRate = 48000;

// Far end and its echo through 60 ms and a short decaying path, at 48 kHz.
struct Scene {
  std::vector<float> mic, ref;
};

Scene echoScene(size_t samples) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Scene s{std::vector<float>(samples, 0.0f), std::vector<float>(samples)};
  float low = 0.0f;
  for (size_t n = 0; n < samples; ++n) {
    low = 0.8f * low + 0.2f * g(rng);
    s.ref[n] = 0.2f * low * std::max(0.0f, float(std::sin(2.0 * M_PI * 2.9 * double(n) / kRate)) + 0.3f);
  }
  const size_t delay = kRate * 60 / 1000;
  for (size_t n = delay; n < samples; ++n) {
    for (size_t i = 0; i < 96 && i + delay <= n; i += 3) s.mic[n] += 0.5f * std::exp(-float(i) / 20.0f) * s.ref[n - delay - i];
    s.mic[n] += 1e-4f * g(rng);
  }
  return s;
}

double energy(const std::vector<float>& x, size_t from, size_t to, size_t stride = 1) {
  double sum = 1e-20;
  for (size_t n = from; n < to; ++n) sum += double(x[n * stride]) * x[n * stride];
  return sum;
}

// A stereo 48 kHz mic (first channel used) and a mono ref: the output keeps
// rate, length and format, the echo drops, and the summary is printed.
TEST_F(AecTool, ProcessCancelsEchoAndKeepsRateLengthAndFormat) {
  const size_t samples = 6 * kRate;
  const Scene s = echoScene(samples);
  std::vector<float> stereo(2 * samples);
  for (size_t n = 0; n < samples; ++n) stereo[2 * n] = s.mic[n], stereo[2 * n + 1] = 0.3f;
  const std::string mic = write("mic.flac", stereo, kRate, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  ASSERT_EQ(run("process --mic " + mic + " --ref " + write("ref.wav", s.ref) + " --out " + path("out.flac")), 0)
      << text("stderr.txt");
  EXPECT_NE(text("stderr.txt").find("warning: " + mic + ": using the first of 2 channels"), std::string::npos);
  for (const char* field : {"duration:", "real-time factor", "far-end delay:     6", "mask:"}) {
    EXPECT_NE(text("stdout.txt").find(field), std::string::npos) << field << "\n" << text("stdout.txt");
  }
  SF_INFO info;
  const std::vector<float> out = read("out.flac", info);
  EXPECT_EQ(info.samplerate, kRate);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
  ASSERT_EQ(out.size(), samples);
  const double erle = 10.0 * std::log10(energy(s.mic, 3 * kRate, samples) / energy(out, 3 * kRate, samples));
  EXPECT_GT(erle, 10.0);
  EXPECT_FALSE(exists("out.flac.tmp"));
}

// Fixed delay and the linear-only and hold switches reach the summary; different
// lengths, a silent ref and clipped samples only warn.
TEST_F(AecTool, OptionsAndWarnings) {
  const Scene s = echoScene(2 * kRate);
  std::vector<float> clipped(s.mic);
  std::fill(clipped.begin(), clipped.begin() + 100, 1.0f);
  const std::string args = "process --mic " + write("mic.wav", clipped) + " --ref " +
                           write("ref.wav", std::vector<float>(kRate, 0.0f)) + " --out " + path("out.wav") +
                           " --delay-ms 60 --linear-only --filter-ms 128 --mask-floor 0.1";
  ASSERT_EQ(run(args), 0) << text("stderr.txt");
  const std::string warnings = text("stderr.txt");
  for (const char* w : {"ref.wav is shorter, padded", "ref.wav is silent", "mic.wav: 100 samples at full scale"}) {
    EXPECT_NE(warnings.find(w), std::string::npos) << w << "\n" << warnings;
  }
  EXPECT_NE(text("stdout.txt").find("60 ms (fixed)"), std::string::npos) << text("stdout.txt");
  EXPECT_NE(text("stdout.txt").find("off (--linear-only)"), std::string::npos);
  SF_INFO info;
  EXPECT_EQ(read("out.wav", info).size(), size_t(2 * kRate));
  EXPECT_EQ(text("stdout.txt").find("far-end hold"), std::string::npos);
  ASSERT_EQ(run(args + " --no-far-end-hold"), 0) << text("stderr.txt");
  EXPECT_NE(text("stdout.txt").find("far-end hold:      off"), std::string::npos) << text("stdout.txt");
}

TEST_F(AecTool, BadInputFailsWithOneLineAndNoOutput) {
  const std::string good = write("good.wav", echoScene(kRate).ref);
  std::ofstream(path("text.wav")) << "RIFF but not really audio\n";
  std::vector<float> withNan = echoScene(kRate).mic;
  withNan[500] = std::numeric_limits<float>::quiet_NaN();
  const std::string nan = write("nan.wav", withNan, kRate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  const std::string cases[] = {
      "--mic " + path("missing.wav") + " --ref " + good,
      "--mic " + path("text.wav") + " --ref " + good,
      "--mic " + write("rate.wav", echoScene(kRate).mic, 44100) + " --ref " + good,
      "--mic " + write("fast.wav", echoScene(kRate).mic, 96000) + " --ref " + good,
      "--mic " + write("empty.wav", {}) + " --ref " + good,
      "--mic " + good + " --ref " + nan,
      "--mic " + good + " --ref " + good + " --delay-ms 900",
      "--mic " + good + " --ref " + good + " --mask-floor high",
      "--mic " + good + " --ref " + good + " --bogus 1",
      "--mic " + good + " --ref " + good + " --filter-ms",
      "--mic " + good,
  };
  for (const std::string& args : cases) {
    EXPECT_NE(run("process " + args + " --out " + path("out.wav")), 0) << args;
    const std::string message = text("stderr.txt");
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << args << "\n" << message;
    EXPECT_EQ(message.rfind("aec: ", 0), 0u) << message;
    EXPECT_FALSE(exists("out.wav")) << args;
    EXPECT_FALSE(exists("out.wav.tmp")) << args;
  }
  EXPECT_NE(run("process --mic " + good + " --ref " + good + " --out " + path("no/such/dir/out.wav")), 0);
  EXPECT_NE(run("frobnicate"), 0);
}

// The demo writes its three files and measures a real echo reduction, over
// the whole band: a drift below the voice band once took the linear stage
// down to 2 dB here.
TEST_F(AecTool, DemoWritesSceneAndReportsErle) {
  ASSERT_EQ(run("demo --out-dir " + path("demo")), 0) << text("stderr.txt");
  for (const char* name : {"demo/mic.wav", "demo/ref.wav", "demo/out.wav"}) EXPECT_TRUE(exists(name)) << name;
  const std::string summary = text("stdout.txt");
  const size_t at = summary.find("echo reduction:");
  ASSERT_NE(at, std::string::npos) << summary;
  EXPECT_GT(std::atof(summary.c_str() + at + 15), 12.0) << summary;
  const size_t linear = summary.find("linear alone:");
  if (linear != std::string::npos) {
    EXPECT_GT(std::atof(summary.c_str() + linear + 13), 10.0) << summary;
  }
  EXPECT_NE(run("demo --clips " + path("none") + " --out-dir " + path("demo2")), 0);
  EXPECT_FALSE(exists("demo2/out.wav"));
}

}  // namespace
