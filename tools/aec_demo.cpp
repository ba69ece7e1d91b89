#include "tools/aec_demo.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "tools/aec_run.h"
#include "tools/audio_file.h"

namespace aec_tools {

namespace {

constexpr int kRate = 16000;
constexpr int kEchoDelay = kRate * 40 / 1000;  // loudspeaker and converter latency
constexpr int kGap = kRate * 3 / 10;           // pause between the far-end turns
constexpr int kFarTurns = 3;
constexpr int kNearOffset = kRate;             // near end starts 1 s into the last turn
constexpr int kSettle = 3 * kRate;             // adaptation time left out of the measurement
constexpr float kPeak = 0.7f;

struct Scene {
  std::vector<float> mic, ref;
  size_t singleTalkEnd = 0;  // far-end single talk is [0, singleTalkEnd)
};

bool readClip(const std::string& dir, const char* name, std::vector<float>& samples) {
  Audio audio;
  if (!readAudio(dir + "/" + name, kRate, kRate, audio)) return false;
  samples = std::move(audio.samples);
  return true;
}

std::vector<float> roomEcho(const std::vector<float>& ref, const std::vector<float>& room) {
  std::vector<float> echo(ref.size(), 0.0f);
  for (size_t n = kEchoDelay; n < ref.size(); ++n) {
    const size_t taps = std::min(room.size(), n - kEchoDelay + 1);
    double sum = 0.0;
    for (size_t i = 0; i < taps; ++i) sum += double(room[i]) * ref[n - kEchoDelay - i];
    echo[n] = float(sum);
  }
  return echo;
}

// Far end talks kFarTurns times; the near end answers during the last turn.
bool buildScene(const std::string& clipDir, Scene& scene) {
  std::vector<float> far, near, room;
  if (!readClip(clipDir, "far_end.wav", far) || !readClip(clipDir, "near_end.wav", near) ||
      !readClip(clipDir, "room_ir.wav", room)) {
    return false;
  }
  const size_t turn = far.size() + kGap, last = (kFarTurns - 1) * turn, nearStart = last + kNearOffset;
  const size_t length = std::max(last + far.size(), nearStart + near.size()) + kGap;
  scene.ref.assign(length, 0.0f);
  for (int t = 0; t < kFarTurns; ++t) std::copy(far.begin(), far.end(), scene.ref.begin() + t * turn);
  scene.mic = roomEcho(scene.ref, room);
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0f, 1e-4f);
  for (size_t n = 0; n < length; ++n) {
    scene.mic[n] += noise(rng) + (n >= nearStart && n < nearStart + near.size() ? 0.5f * near[n - nearStart] : 0.0f);
  }
  float peak = 0.0f;
  for (float v : scene.mic) peak = std::max(peak, std::fabs(v));
  for (float& v : scene.mic) v *= kPeak / peak;
  scene.singleTalkEnd = nearStart;
  return true;
}

double energy(const std::vector<float>& x, size_t from, size_t to) {
  double sum = 1e-20;
  for (size_t n = from; n < to; ++n) sum += double(x[n]) * x[n];
  return sum;
}

bool makeDir(const std::string& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  return !error || fail(dir + ": cannot create folder (" + error.message() + ")");
}

// The scene through runCanceller, collecting the output.
bool cancel(const Scene& scene, const aec::StreamOptions& options, const MaskChoice& mask, RunResult& result,
            std::vector<float>& out) {
  size_t at = 0;
  const auto source = [&](float* mic, float* ref, size_t count) {
    std::copy_n(scene.mic.begin() + std::ptrdiff_t(at), count, mic);
    std::copy_n(scene.ref.begin() + std::ptrdiff_t(at), count, ref);
    at += count;
    return true;
  };
  const auto sink = [&](const float* samples, size_t count) {
    out.insert(out.end(), samples, samples + count);
    return true;
  };
  out.clear();
  return runCanceller(scene.mic.size(), kRate, options, mask, source, sink, result);
}

double erleDb(const Scene& scene, const std::vector<float>& out) {
  return 10.0 * std::log10(energy(scene.mic, kSettle, scene.singleTalkEnd) / energy(out, kSettle, scene.singleTalkEnd));
}

}  // namespace

std::string defaultClipDir() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return AEC_DEMO_CLIPS;
  return (self.parent_path() / AEC_DEMO_CLIPS).lexically_normal().string();
}

int runDemo(const DemoArgs& args) {
  Scene scene;
  if (!buildScene(args.clipDir, scene) || !makeDir(args.outDir)) return 1;
  const MaskChoice mask = chooseMask();
  RunResult result;
  std::vector<float> out;
  if (!cancel(scene, aec::StreamOptions(), mask, result, out)) return 1;
  const int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  for (auto [name, samples] : {std::pair("mic.wav", &scene.mic), std::pair("ref.wav", &scene.ref),
                               std::pair("out.wav", &out)}) {
    if (!writeAudio(args.outDir + "/" + name, *samples, kRate, format)) return 1;
  }
  printSummary(result, scene.mic.size(), kRate, mask, aec::StreamOptions());
  std::printf("written:           %s/{mic,ref,out}.wav\n", args.outDir.c_str());
  std::printf("echo reduction:    %.1f dB ERLE over far-end single talk (%.1f to %.1f s)\n", erleDb(scene, out),
              double(kSettle) / kRate, double(scene.singleTalkEnd) / kRate);
  if (mask.source) {
    aec::StreamOptions linearOnly;
    linearOnly.linearOnly = true;
    RunResult linear;
    if (!cancel(scene, linearOnly, MaskChoice{}, linear, out)) return 1;
    std::printf("  linear alone:    %.1f dB (mask off)\n", erleDb(scene, out));
  }
  return 0;
}

}  // namespace aec_tools
