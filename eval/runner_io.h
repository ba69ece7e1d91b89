#pragma once

// Command line and file handling shared by the baseline runners: both read a
// 16 kHz mic and reference, run a per-10-ms-frame canceller and write the
// output aligned with the mic.
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tools/audio_file.h"

namespace eval_runner {

constexpr int kRate = 16000, kFrame = 160;

struct Args {
  std::string mic, ref, out, mode;
  int delayMs = 0, filterMs = 256;
  int latency = 0;  // samples the canceller holds back; dropped so the output lines up with the mic
};

inline bool parseInt(const std::string& text, int low, int high, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high) {
    return aec_tools::fail("expected an integer from " + std::to_string(low) + " to " + std::to_string(high) +
                           ", got '" + text + "'");
  }
  value = int(v);
  return true;
}

inline bool parseArgs(int argc, char** argv, Args& args) {
  for (int i = 1; i < argc; i += 2) {
    const std::string key = argv[i];
    if (i + 1 >= argc) return aec_tools::fail("missing value for " + key);
    const std::string value = argv[i + 1];
    if (key == "--mic") args.mic = value;
    else if (key == "--ref") args.ref = value;
    else if (key == "--out") args.out = value;
    else if (key == "--mode") args.mode = value;
    else if (key == "--delay-ms") { if (!parseInt(value, 0, 1000, args.delayMs)) return false; }
    else if (key == "--filter-ms") { if (!parseInt(value, 10, 2000, args.filterMs)) return false; }
    else return aec_tools::fail("unknown option " + key);
  }
  return (!args.mic.empty() && !args.ref.empty() && !args.out.empty()) ||
         aec_tools::fail("--mic, --ref and --out are required");
}

// frame(mic, ref, out) handles kFrame samples; the reference handed to it is
// already moved later by delayMs. Returns the process exit status.
inline int run(const Args& args, const std::function<bool(const float*, const float*, float*)>& frame) {
  aec_tools::Audio mic, ref;
  if (!aec_tools::readAudio(args.mic, kRate, kRate, mic) || !aec_tools::readAudio(args.ref, kRate, kRate, ref)) return 1;
  aec_tools::padToSameLength(mic, args.mic, ref, args.ref);
  const size_t n = mic.samples.size(), frames = (n + args.latency + kFrame - 1) / kFrame;
  const size_t shift = size_t(args.delayMs) * kRate / 1000;
  std::vector<float> micPad(frames * kFrame, 0.0f), refPad(frames * kFrame, 0.0f), out(frames * kFrame, 0.0f);
  std::copy(mic.samples.begin(), mic.samples.end(), micPad.begin());
  for (size_t i = shift; i < n; ++i) refPad[i] = ref.samples[i - shift];
  for (size_t f = 0; f < frames; ++f) {
    const size_t at = f * kFrame;
    if (!frame(&micPad[at], &refPad[at], &out[at])) {
      aec_tools::fail("canceller failed on frame " + std::to_string(f));
      return 1;
    }
  }
  out.erase(out.begin(), out.begin() + args.latency);
  out.resize(n);
  return aec_tools::writeAudio(args.out, out, kRate, mic.format) ? 0 : 1;
}

}  // namespace eval_runner
