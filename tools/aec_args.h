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

// argv[first..argc) are the options after the command word. False (with the
// error printed) on an unknown option, a missing or out-of-range value, or
// a missing --mic, --ref or --out.
bool parseProcess(int argc, const char* const* argv, int first, ProcessArgs& args);

// Reads both files, refuses differing rates, pads to one length and warns
// about silent or clipped signals.
bool loadInputs(const ProcessArgs& args, Audio& mic, Audio& ref);

}  // namespace aec_tools
