#pragma once

#include <string>
#include <vector>

#include "host/aec_stream.h"
#include "tools/audio_file.h"

namespace CLI {
class App;
}

// The `aec process` command line and its inputs, apart from main() so the
// fuzz harness drives exactly what the tool runs.
namespace aec_tools {

constexpr int kMinRate = 8000, kMaxRate = 48000;

struct ProcessArgs {
  std::string mic, ref, out;
  aec::StreamOptions options;
};

// --filter-ms and --delay-ms (a number, or "auto", stored as -1).
void addFilterAndDelayOptions(CLI::App& command, int& filterMs, int& delayMs);
// The canceller's options: the two above, --mask-floor, --linear-only and
// --no-far-end-hold.
void addStreamOptions(CLI::App& command, aec::StreamOptions& options);
// --mic, --ref and --out (required) and the canceller's options.
void addProcessOptions(CLI::App& command, ProcessArgs& args);

// The words after `aec process`; false (message printed) on an unknown
// option, a missing or out-of-range value, a missing --mic, --ref or --out,
// or a request for help.
bool parseProcess(const std::vector<std::string>& words, ProcessArgs& args);

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
