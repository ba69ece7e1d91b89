#include "tools/audio_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace aec_tools {

namespace {

const char* toolName = "aec";
thread_local MessageSink threadSink;

void say(const std::string& line) {
  if (threadSink) threadSink(line);
  else std::fprintf(stderr, "%s\n", line.c_str());
}

constexpr float kSilence = 1e-4f;  // -80 dBFS peak
constexpr float kFullScale = 0.999f;
constexpr size_t kReadFrames = 1 << 14;

bool checkRate(const std::string& path, int rate, int minRate, int maxRate) {
  if (rate >= minRate && rate <= maxRate) return true;
  const std::string range = minRate == maxRate ? "expected " + std::to_string(minRate) + " Hz"
                                               : "supported " + std::to_string(minRate) + " to " + std::to_string(maxRate) + " Hz";
  return fail(path + ": sample rate " + std::to_string(rate) + " Hz, " + range);
}

// libsndfile's file operations on the SafeOutput's temporary, so a failed
// write keeps its cause (a full disk) for the message.
SafeOutput& outputOf(void* user) { return *static_cast<SafeOutput*>(user); }

sf_count_t fileLength(void* user) {
  struct stat st {};
  return fstat(outputOf(user).fd(), &st) == 0 ? st.st_size : -1;
}
sf_count_t seekTo(sf_count_t offset, int whence, void* user) { return lseek(outputOf(user).fd(), offset, whence); }
sf_count_t readFrom(void* data, sf_count_t bytes, void* user) { return ::read(outputOf(user).fd(), data, size_t(bytes)); }
sf_count_t writeTo(const void* data, sf_count_t bytes, void* user) {
  return outputOf(user).write(data, size_t(bytes)) ? bytes : 0;
}
sf_count_t tellAt(void* user) { return lseek(outputOf(user).fd(), 0, SEEK_CUR); }

SF_VIRTUAL_IO outputIo{fileLength, seekTo, readFrom, writeTo, tellAt};

}  // namespace

void setToolName(const char* name) { toolName = name; }

void setThreadMessageSink(MessageSink sink) { threadSink = std::move(sink); }

bool fail(const std::string& message) {
  say(std::string(toolName) + ": " + message);
  return false;
}

void warn(const std::string& message) { say(std::string(toolName) + ": warning: " + message); }

AudioReader::~AudioReader() {
  if (file_) sf_close(file_);
}

bool AudioReader::open(const std::string& path, int minRate, int maxRate) {
  path_ = path;
  file_ = sf_open(path.c_str(), SFM_READ, &info_);
  if (!file_) return fail(path + ": cannot read audio (" + sf_strerror(nullptr) + ")");
  if (info_.frames <= 0) return fail(path + ": no samples");
  if (!checkRate(path, info_.samplerate, minRate, maxRate)) return false;
  if (info_.channels > 1) warn(path + ": using the first of " + std::to_string(info_.channels) + " channels");
  block_.resize(kReadFrames * static_cast<size_t>(info_.channels));
  return true;
}

bool AudioReader::take(const float* frames, size_t count, float* out) {
  for (size_t n = 0; n < count; ++n, ++done_) {
    const float v = frames[n * static_cast<size_t>(info_.channels)], size = std::fabs(v);
    if (!std::isfinite(v)) return fail(path_ + ": non-finite sample at " + std::to_string(done_));
    peak_ = std::max(peak_, size);
    clipped_ += size >= kFullScale;
    clamped_ += size > 1.0f;
    out[n] = std::clamp(v, -1.0f, 1.0f);
  }
  return true;
}

// The header's frame count is checked, not trusted for an allocation (a
// corrupt one can claim terabytes).
bool AudioReader::read(float* out, size_t count, size_t& got) {
  got = 0;
  while (got < count) {
    const sf_count_t want = sf_count_t(std::min(count - got, kReadFrames));
    const sf_count_t frames = sf_readf_float(file_, block_.data(), want);
    if (frames <= 0) break;
    if (!take(block_.data(), size_t(frames), out + got)) return false;
    got += size_t(frames);
  }
  return got == count || done_ == length() || fail(path_ + ": read error");
}

void AudioReader::warnLevels() const {
  if (peak_ < kSilence) warn(path_ + " is silent");
  if (clamped_ > 0) {
    warn(path_ + ": " + std::to_string(clamped_) + " samples beyond full scale (peak " + std::to_string(peak_) +
         ") clamped to [-1, 1]; float samples belong in [-1, 1]");
  } else if (clipped_ > 0) {
    warn(path_ + ": " + std::to_string(clipped_) + " samples at full scale (clipped input?)");
  }
}

AudioWriter::~AudioWriter() {
  if (file_) sf_close(file_);
}

bool AudioWriter::open(SafeOutput& out, int rate, int format) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = format;
  if (!sf_format_check(&info)) info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  out_ = &out;
  file_ = sf_open_virtual(&outputIo, SFM_WRITE, &info, &out);
  if (!file_) return failWrite();
  sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return true;
}

bool AudioWriter::failWrite() {
  return fail(out_->error().empty() ? "cannot write audio (" + std::string(sf_strerror(file_)) + ")" : out_->error());
}

bool AudioWriter::write(const float* samples, size_t count) {
  return sf_writef_float(file_, samples, sf_count_t(count)) == sf_count_t(count) || failWrite();
}

bool AudioWriter::finish() {
  const int closed = sf_close(file_);
  file_ = nullptr;
  if (closed != 0 || !out_->error().empty()) return failWrite();
  return out_->commit() || fail(out_->error());
}

bool readAudio(const std::string& path, int minRate, int maxRate, Audio& audio) {
  AudioReader reader;
  if (!reader.open(path, minRate, maxRate)) return false;
  audio.samples.clear();
  std::vector<float> block(kReadFrames);
  for (size_t got = kReadFrames; got == kReadFrames;) {
    if (!reader.read(block.data(), kReadFrames, got)) return false;
    audio.samples.insert(audio.samples.end(), block.begin(), block.begin() + std::ptrdiff_t(got));
  }
  audio.rate = reader.rate();
  audio.format = reader.format();
  return true;
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
  SafeOutput out;
  if (!out.open(path, {})) return fail(out.error());
  AudioWriter writer;
  return writer.open(out, rate, format) && writer.write(samples.data(), samples.size()) && writer.finish();
}

}  // namespace aec_tools
