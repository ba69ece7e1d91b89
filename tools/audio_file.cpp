#include "tools/audio_file.h"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <memory>

namespace aec_tools {

namespace {

const char* toolName = "aec";

constexpr float kSilence = 1e-4f;     // -80 dBFS peak
constexpr float kFullScale = 0.999f;
constexpr sf_count_t kReadFrames = 1 << 16;

using FileHandle = std::unique_ptr<SNDFILE, int (*)(SNDFILE*)>;

bool checkRate(const std::string& path, int rate, int minRate, int maxRate) {
  if (rate >= minRate && rate <= maxRate) return true;
  const std::string range = minRate == maxRate ? "expected " + std::to_string(minRate) + " Hz"
                                               : "supported " + std::to_string(minRate) + " to " + std::to_string(maxRate) + " Hz";
  return fail(path + ": sample rate " + std::to_string(rate) + " Hz, " + range);
}

}  // namespace

void setToolName(const char* name) { toolName = name; }

bool fail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", toolName, message.c_str());
  return false;
}

void warn(const std::string& message) { std::fprintf(stderr, "%s: warning: %s\n", toolName, message.c_str()); }

bool readAudio(const std::string& path, int minRate, int maxRate, Audio& audio) {
  SF_INFO info{};
  SNDFILE* raw = sf_open(path.c_str(), SFM_READ, &info);
  if (!raw) return fail(path + ": cannot read audio (" + sf_strerror(nullptr) + ")");
  FileHandle file(raw, sf_close);
  if (info.frames <= 0) return fail(path + ": no samples");
  if (!checkRate(path, info.samplerate, minRate, maxRate)) return false;
  if (info.channels > 1) warn(path + ": using the first of " + std::to_string(info.channels) + " channels");
  // In blocks: the header's frame count is not trusted for the allocation
  // (a corrupt one can claim terabytes).
  std::vector<float> block(static_cast<size_t>(kReadFrames) * info.channels);
  audio.samples.clear();
  for (sf_count_t got; (got = sf_readf_float(raw, block.data(), kReadFrames)) > 0;) {
    for (sf_count_t n = 0; n < got; ++n) {
      const float v = block[n * info.channels];
      if (!std::isfinite(v)) return fail(path + ": non-finite sample at " + std::to_string(audio.samples.size()));
      audio.samples.push_back(v);
    }
  }
  if (sf_count_t(audio.samples.size()) != info.frames) return fail(path + ": read error");
  audio.rate = info.samplerate;
  audio.format = info.format;
  return true;
}

void checkLevels(const std::string& path, const std::vector<float>& samples) {
  float peak = 0.0f;
  size_t clipped = 0;
  for (float v : samples) {
    peak = std::max(peak, std::fabs(v));
    clipped += std::fabs(v) >= kFullScale;
  }
  if (peak < kSilence) warn(path + " is silent");
  if (clipped > 0) warn(path + ": " + std::to_string(clipped) + " samples at full scale (clipped input?)");
}

void padToSameLength(Audio& a, const std::string& pathA, Audio& b, const std::string& pathB) {
  if (a.samples.size() == b.samples.size()) return;
  const bool aShorter = a.samples.size() < b.samples.size();
  warn((aShorter ? pathA : pathB) + " is shorter, padded with silence");
  const size_t length = std::max(a.samples.size(), b.samples.size());
  a.samples.resize(length, 0.0f);
  b.samples.resize(length, 0.0f);
}

bool writeAudio(const std::string& path, const std::vector<float>& samples, int rate, int format) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = format;
  if (!sf_format_check(&info)) info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  const std::string temp = path + ".tmp";
  SNDFILE* file = sf_open(temp.c_str(), SFM_WRITE, &info);
  if (!file) return fail(path + ": cannot create output (" + sf_strerror(nullptr) + ")");
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  const sf_count_t frames = static_cast<sf_count_t>(samples.size());
  bool ok = sf_writef_float(file, samples.data(), frames) == frames;
  ok = sf_close(file) == 0 && ok;
  ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    std::remove(temp.c_str());
    return fail(path + ": write error");
  }
  return true;
}

}  // namespace aec_tools
