#pragma once

#include <sndfile.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/safe_output.h"

// File reading, checks and safe writing shared by the command-line tools.
// Every failure prints one line "<tool>: <reason>" on stderr; warnings print
// "<tool>: warning: <reason>".
namespace aec_tools {

void setToolName(const char* name);
// Prints the error and returns false, for `return fail(...)` chains.
bool fail(const std::string& message);
void warn(const std::string& message);
// Where this thread's error and warning lines go (without the newline)
// instead of stderr, so parallel work can keep each file's lines together;
// an empty sink restores stderr.
using MessageSink = std::function<void(const std::string& line)>;
void setThreadMessageSink(MessageSink sink);

// Reads the first channel of an audio file block by block, so any length
// takes the same memory. Samples beyond full scale (float files) are
// clamped to [-1, 1] and counted; a non-finite sample (NaN or infinity) is
// an error: such samples are not guessed at.
class AudioReader {
 public:
  AudioReader() = default;
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  // Refuses files that do not open as audio, hold no samples or have a rate
  // outside [minRate, maxRate]; warns when there is more than one channel.
  bool open(const std::string& path, int minRate, int maxRate);
  // Fills out with up to count samples; got < count only at the end. False
  // (error printed) on a non-finite sample or a file shorter than its header.
  bool read(float* out, size_t count, size_t& got);
  // Warns about a silent signal, samples at full scale or clamped ones.
  void warnLevels() const;

  const std::string& path() const { return path_; }
  int rate() const { return info_.samplerate; }
  int format() const { return info_.format; }
  size_t length() const { return static_cast<size_t>(info_.frames); }

 private:
  bool take(const float* frames, size_t count, float* out);

  std::string path_;
  SNDFILE* file_ = nullptr;
  SF_INFO info_{};
  std::vector<float> block_;
  size_t done_ = 0, clipped_ = 0, clamped_ = 0;
  float peak_ = 0.0f;
};

// Mono audio through libsndfile into a SafeOutput's temporary. The format
// falls back to 16-bit WAV when format cannot hold a mono file at rate.
class AudioWriter {
 public:
  AudioWriter() = default;
  ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  bool open(SafeOutput& out, int rate, int format);
  bool write(const float* samples, size_t count);
  // Completes the file (its header) and commits the output.
  bool finish();

 private:
  bool failWrite();

  SafeOutput* out_ = nullptr;
  SNDFILE* file_ = nullptr;
};

struct Audio {
  std::vector<float> samples;  // first channel, in [-1, 1]
  int rate = 0;
  int format = 0;              // libsndfile format of the file
};

// A whole short file through AudioReader (clips, evaluation scenes).
bool readAudio(const std::string& path, int minRate, int maxRate, Audio& audio);

// Pads the shorter of a and b with silence to the longer one, with a warning.
void padToSameLength(Audio& a, const std::string& pathA, Audio& b, const std::string& pathB);

// Writes mono samples through SafeOutput: on failure nothing is left behind
// and an existing path is untouched.
bool writeAudio(const std::string& path, const std::vector<float>& samples, int rate, int format);

}  // namespace aec_tools
