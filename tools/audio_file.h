#pragma once

#include <string>
#include <vector>

// File reading, checks and safe writing shared by the command-line tools.
// Every failure prints one line "<tool>: <reason>" on stderr; warnings print
// "<tool>: warning: <reason>".
namespace aec_tools {

void setToolName(const char* name);
// Prints the error and returns false, for `return fail(...)` chains.
bool fail(const std::string& message);
void warn(const std::string& message);

struct Audio {
  std::vector<float> samples;  // first channel, in [-1, 1]
  int rate = 0;
  int format = 0;              // libsndfile format of the file
};

// Reads the first channel (warning when there are more). Refuses files that
// do not open as audio, hold no samples, have a rate outside
// [minRate, maxRate], or hold a non-finite sample (NaN or infinity in float
// files): such samples are not guessed at.
bool readAudio(const std::string& path, int minRate, int maxRate, Audio& audio);

// Warns about a signal that is silent or has samples at full scale.
void checkLevels(const std::string& path, const std::vector<float>& samples);

// Pads the shorter of a and b with silence to the longer one, with a warning.
void padToSameLength(Audio& a, const std::string& pathA, Audio& b, const std::string& pathB);

// Writes mono samples through PATH.tmp and renames it to path; on failure
// nothing is left behind. The format falls back to 16-bit WAV when format
// cannot hold a mono file at rate.
bool writeAudio(const std::string& path, const std::vector<float>& samples, int rate, int format);

}  // namespace aec_tools
