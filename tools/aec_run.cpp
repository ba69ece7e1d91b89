#include "tools/aec_run.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tools/audio_file.h"

namespace aec_tools {

namespace {

constexpr double kProgressMinSeconds = 5.0;
constexpr int kBarWidth = 40;

class ProgressBar {
 public:
  ProgressBar(size_t total, bool enabled) : total_(total), enabled_(enabled) {}
  ~ProgressBar() {
    if (shown_ >= 0) std::fprintf(stderr, "\r%*s\r", kBarWidth + 8, "");
  }
  void update(size_t done) {
    const int percent = static_cast<int>(100 * done / std::max<size_t>(total_, 1));
    if (!enabled_ || percent == shown_) return;
    shown_ = percent;
    const int filled = percent * kBarWidth / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(kBarWidth - filled, '.').c_str(), percent);
    std::fflush(stderr);
  }

 private:
  size_t total_;
  bool enabled_;
  int shown_ = -1;
};

}  // namespace

bool runCanceller(const std::vector<float>& mic, const std::vector<float>& ref, int rate,
                  const aec::StreamOptions& options, const MaskChoice& mask, RunResult& result) {
  auto stream = aec::AecStream::create(rate, options);
  if (!stream) return fail("unsupported option values");
  stream->setMaskSource(mask.source);
  result.latency = stream->latencySamples();
  // Run latency samples of silence past the end, then drop the first
  // latency output samples, so the output lines up with the mic.
  const size_t total = mic.size() + result.latency, block = rate / 100;
  std::vector<float> micIn(mic), refIn(ref), out(total);
  micIn.resize(total, 0.0f);
  refIn.resize(total, 0.0f);
  ProgressBar progress(total, isatty(fileno(stderr)) && mic.size() > kProgressMinSeconds * rate);
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < total; at += block) {
    const size_t count = std::min(block, total - at);
    stream->process(&micIn[at], &refIn[at], &out[at], count);
    progress.update(at + count);
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.out.assign(out.begin() + result.latency, out.end());
  result.delayMs = stream->delayMs();
  result.delayLocked = stream->delayLocked();
  result.delayFixed = options.delayMs >= 0;
  return true;
}

void printSummary(const RunResult& result, size_t samples, int rate, const MaskChoice& mask,
                  const aec::StreamOptions& options) {
  const double duration = double(samples) / rate;
  std::printf("duration:          %.2f s at %d Hz\n", duration, rate);
  std::printf("processing time:   %.2f s (real-time factor %.3f)\n", result.seconds, result.seconds / duration);
  std::printf("far-end delay:     %d ms (%s)\n", result.delayMs, result.delayFixed    ? "fixed"
                                                                   : result.delayLocked ? "estimated"
                                                                                        : "not settled");
  std::printf("stream latency:    %d samples (%.1f ms)\n", result.latency, 1000.0 * result.latency / rate);
  std::printf("mask:              %s\n", options.linearOnly ? "off (--linear-only)" : mask.description.c_str());
  if (!options.farEndHold) std::printf("far-end hold:      off (the mask applies on a silent far end too)\n");
}

}  // namespace aec_tools
