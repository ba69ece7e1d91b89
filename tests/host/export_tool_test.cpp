#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/aec_pipeline.h"
#include "host/features.h"
#include "tests/support/random_data.h"
#include "tests/support/scratch_folder.h"

namespace {

constexpr int kRate = 16000;  // the exporter's rate

// Noise at about -26 dBFS.
std::vector<float> signal(size_t samples, unsigned seed) { return test_support::normalFloats(samples, seed, 0.05f); }

class ExportTool : public test_support::ScratchFolderTest {
 protected:
  int run(const std::string& args) const { return runTool(AEC_FEATURES_TOOL, args); }
  std::string errors() const { return text("stderr.txt"); }
};

// Quantises through 16-bit PCM the way the WAV files store the samples.
std::vector<float> pcm16(std::vector<float> x) {
  for (float& v : x) v = std::nearbyint(v * 32768.0f) / 32768.0f;
  return x;
}

TEST_F(ExportTool, WritesHeaderAndRecordsOfThePipeline) {
  const int samples = 50 * aec::kHop + 70;  // a partial last hop is padded
  const auto mic = pcm16(signal(samples, 1)), ref = pcm16(signal(samples, 2)), near = pcm16(signal(samples, 3));
  const std::string args = "--mic " + writeWav("mic.wav", mic, kRate) + " --ref " + writeWav("ref.wav", ref, kRate) +
                           " --near " + writeWav("near.wav", near, kRate) + " --out " + path("out.feat");
  ASSERT_EQ(run(args), 0) << errors();
  std::ifstream in(path("out.feat"), std::ios::binary);
  aec::ExportHeader header{};
  in.read(reinterpret_cast<char*>(&header), sizeof(header));
  EXPECT_EQ(std::memcmp(header.magic, "AECFEAT1", 8), 0);
  EXPECT_EQ(header.version, 2u);
  EXPECT_EQ(header.sampleRate, 16000u);
  EXPECT_EQ(header.hop, 160u);
  EXPECT_EQ(header.bins, 513u);
  EXPECT_EQ(header.rows, 18u);
  EXPECT_EQ(header.hasTarget, 1u);
  EXPECT_EQ(header.recordFloats, 9234u + 4 * 513u);
  ASSERT_EQ(header.frames, 51u);

  auto pipeline = aec::AecPipeline::create(aec::AecOptions());
  aec::StftAnalyzer nearStft;
  std::vector<float> padded[3] = {mic, ref, near}, out(aec::kHop), record(header.recordFloats);
  for (auto& p : padded) p.resize(51 * aec::kHop, 0.0f);
  std::vector<aec::Complex> target(aec::kBins);
  for (int t = 0; t < 51; ++t) {
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(record.data()), record.size() * sizeof(float)));
    pipeline->process(&padded[0][t * aec::kHop], &padded[1][t * aec::kHop], out.data());
    nearStft.push(&padded[2][t * aec::kHop], target.data());
    const float* e = reinterpret_cast<const float*>(pipeline->errorSpectrum());
    const float* s = reinterpret_cast<const float*>(target.data());
    for (int i = 0; i < aec::kFeatureFloats; i += 11) ASSERT_FLOAT_EQ(record[i], pipeline->features()[i]) << t;
    for (int i = 0; i < 2 * aec::kBins; ++i) {
      ASSERT_FLOAT_EQ(record[aec::kFeatureFloats + i], e[i]) << t;
      ASSERT_FLOAT_EQ(record[aec::kFeatureFloats + 2 * aec::kBins + i], s[i]) << t;
    }
  }
  EXPECT_FALSE(in.read(reinterpret_cast<char*>(record.data()), 1));
}

TEST_F(ExportTool, PadsTheShorterSignalWithAWarningAndWritesNoTargetWithoutNear) {
  const std::string args = "--mic " + writeWav("mic.wav", signal(3200, 1), kRate) + " --ref " +
                           writeWav("ref.wav", signal(1600, 2), kRate) + " --out " + path("out.feat");
  ASSERT_EQ(run(args), 0) << errors();
  EXPECT_NE(errors().find("warning"), std::string::npos);
  std::ifstream in(path("out.feat"), std::ios::binary);
  aec::ExportHeader header{};
  in.read(reinterpret_cast<char*>(&header), sizeof(header));
  EXPECT_EQ(header.frames, 20u);
  EXPECT_EQ(header.hasTarget, 0u);
}

TEST_F(ExportTool, BadInputFailsWithOneLineAndNoOutput) {
  const std::string good = writeWav("good.wav", signal(3200, 1), kRate);
  put("text.wav", "not audio at all\n");
  std::vector<float> withNan = signal(3200, 2);
  withNan[1000] = std::numeric_limits<float>::quiet_NaN();
  const std::string cases[] = {
      "--mic " + path("missing.wav") + " --ref " + good,
      "--mic " + path("text.wav") + " --ref " + good,
      "--mic " + writeWav("rate.wav", signal(3200, 3), 48000) + " --ref " + good,
      "--mic " + writeWav("empty.wav", {}, kRate) + " --ref " + good,
      "--mic " + writeWav("nan.wav", withNan, kRate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT) + " --ref " + good,
      "--mic " + good + " --ref " + good + " --near " + path("missing.wav"),
      "--mic " + good + " --ref " + good + " --delay-ms 900",
      "--mic " + good + " --ref " + good + " --filter-ms 12x",
      "--mic " + good + " --ref " + good + " --filter-ms 5",
      "--mic " + good + " --ref " + good + " --bogus 1",
  };
  for (const std::string& args : cases) {
    EXPECT_NE(run(args + " --out " + path("out.feat")), 0) << args;
    const std::string message = errors();
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_FALSE(exists("out.feat")) << args;
    EXPECT_FALSE(exists("out.feat.tmp")) << args;
  }
  EXPECT_EQ(run("--mic " + good + " --ref " + good + " --out " + dir_), 256);
  EXPECT_NE(errors().find("is a folder"), std::string::npos) << errors();
}

// The export shares the tool's output rules: an input as OUT is refused
// before anything is written, a file named like the old temporary survives,
// and `--key=value` options work.
TEST_F(ExportTool, OutputRulesAndEqualsOptions) {
  const std::string mic = writeWav("mic.wav", signal(3200, 1), kRate);
  const std::string ref = writeWav("ref.wav", signal(3200, 2), kRate);
  std::ifstream before(mic, std::ios::binary);
  const std::string micBytes(std::istreambuf_iterator<char>(before), {});
  EXPECT_EQ(run("--mic " + mic + " --ref " + ref + " --out " + mic), 256);
  EXPECT_NE(errors().find("same file as the input"), std::string::npos) << errors();
  std::ifstream after(mic, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}), micBytes);
  put("out.feat.tmp", "precious");
  ASSERT_EQ(run("--mic=" + mic + " --ref=" + ref + " --delay-ms=0 --out=" + path("out.feat")), 0) << errors();
  EXPECT_TRUE(exists("out.feat"));
  std::ifstream kept(path("out.feat.tmp"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "precious");
}

}  // namespace
