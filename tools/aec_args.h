#pragma once

#include <string>

#include "host/aec_stream.h"
#include "tools/audio_file.h"

// The `aec process` command line and its inputs, apart from main() so the
// fuzz harness drives exactly what the tool runs.
namespace aec_tools {

constexpr int kMinRate = 8000, kMaxRate = 48000;

struct ProcessArgs {
  std::string mic, ref, out;
  aec::StreamOptions options;
};

// Reads the option at argv[i] as `--key=value`, or as `--key value`
// (advancing i); false (error printed) when the value is missing.
bool nextOption(int argc, const char* const* argv, int& i, std::string& key, std::string& value);

// argv[first..argc) are the options after the command word, as `--key value`
// or `--key=value`. False (with the error printed) on an unknown option, a
// missing or out-of-range value, or a missing --mic, --ref or --out.
bool parseProcess(int argc, const char* const* argv, int first, ProcessArgs& args);

// Both inputs, open; the shorter one reads as silence after its end.
struct Inputs {
  AudioReader mic, ref;
  size_t length = 0;  // the longer of the two

  // Opens both files, refuses differing rates and warns when the lengths differ.
  bool open(const ProcessArgs& args);
  // The next count samples of each; false (error printed) on a read error.
  bool read(float* mic, float* ref, size_t count);
  void warnLevels() const;
};

}  // namespace aec_tools
