#pragma once

// Command line and file handling shared by the baseline runners: both read a
// 16 kHz mic and reference, run a per-10-ms-frame canceller and write the
// output aligned with the mic.
#include <functional>
#include <string>
#include <vector>

#include "tools/audio_file.h"
#include "tools/cli.h"

namespace eval_runner {

constexpr int kRate = 16000, kFrame = 160;

struct Args {
  std::string mic, ref, out, mode;
  int delayMs = 0, filterMs = 256;
  int latency = 0;  // samples the canceller holds back; dropped so the output lines up with the mic
};

// Parses the runner's options into args; modes, when given, are the values
// --mode takes. Returns -1 to go on, else the exit code (help, or an error
// printed as one line).
inline int parseArgs(int argc, char** argv, Args& args, const std::string& description,
                     const std::vector<std::string>& modes = {}) {
  CLI::App app(description, argc > 0 ? argv[0] : "runner");
  aec_tools::setUpApp(app);
  app.add_option("--mic", args.mic, "microphone signal, 16 kHz")->type_name("MIC.wav")->required();
  app.add_option("--ref", args.ref, "far-end signal, 16 kHz")->type_name("REF.wav")->required();
  app.add_option("--out", args.out, "output, aligned with the mic")->type_name("OUT.wav")->required();
  app.add_option("--delay-ms", args.delayMs, "far-end delay in ms, 0 to 1000 (default 0)")
      ->type_name("N")
      ->check(aec_tools::numberIn(0, 1000, true));
  app.add_option("--filter-ms", args.filterMs, "adaptive filter length in ms, 10 to 2000 (default 256)")
      ->type_name("N")
      ->check(aec_tools::numberIn(10, 2000, true));
  if (!modes.empty()) {
    app.add_option("--mode", args.mode, "canceller variant: " + CLI::detail::join(modes, " or ") + " (default " +
                                            args.mode + ")")
        ->type_name("MODE")
        ->check(CLI::IsMember(modes));
  }
  return aec_tools::parseCommandLine(app, argc, argv);
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
