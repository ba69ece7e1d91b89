#include "tools/aec_args.h"

#include <algorithm>

#include "tools/cli.h"

namespace aec_tools {

namespace {

bool readOrSilence(AudioReader& reader, float* out, size_t count) {
  size_t got = 0;
  if (!reader.read(out, count, got)) return false;
  std::fill(out + got, out + count, 0.0f);
  return true;
}

}  // namespace

void addFilterAndDelayOptions(CLI::App& command, int& filterMs, int& delayMs) {
  command.add_option("--filter-ms", filterMs, "linear filter length in ms, 10 to 2000 (default 256)")
      ->type_name("N")
      ->check(numberIn(10, 2000, true));
  command.add_option("--delay-ms", delayMs, "far-end delay in ms, 0 to 500, or auto to estimate it (default auto)")
      ->type_name("N|auto")
      ->transform(numberIn(0, 500, true, "auto", "-1"));
}

void addStreamOptions(CLI::App& command, aec::StreamOptions& options) {
  addFilterAndDelayOptions(command, options.filterMs, options.delayMs);
  command.add_option("--mask-floor", options.maskFloor, "smallest gain the mask applies, 0 to 1 (default 0)")
      ->type_name("F")
      ->check(numberIn(0, 1, false));
  command.add_flag("--linear-only", options.linearOnly, "linear canceller only: the network's mask is not applied");
  command.add_flag_callback("--no-far-end-hold", [&options] { options.farEndHold = false; },
                            "apply the mask on a silent far end too (by default it eases to one there, so a lone "
                            "near-end talker passes)");
}

void addProcessOptions(CLI::App& command, ProcessArgs& args) {
  command.add_option("--mic", args.mic, "microphone recording, 8 to 48 kHz, any format libsndfile reads")
      ->type_name("MIC.wav")
      ->required();
  command.add_option("--ref", args.ref, "far-end signal (what the loudspeaker played), at the mic's rate")
      ->type_name("REF.wav")
      ->required();
  command.add_option("--out", args.out, "cleaned microphone signal, in the mic's rate and format")
      ->type_name("OUT.wav")
      ->required();
  addStreamOptions(command, args.options);
}

bool parseProcess(const std::vector<std::string>& words, ProcessArgs& args) {
  CLI::App command("Cancels the far-end echo in a microphone recording.", "aec process");
  setUpApp(command);
  addProcessOptions(command, args);
  return parseWords(command, words) < 0;
}

bool Inputs::open(const ProcessArgs& args) {
  if (!mic.open(args.mic, kMinRate, kMaxRate) || !ref.open(args.ref, kMinRate, kMaxRate)) return false;
  if (mic.rate() != ref.rate()) {
    return fail("mic is " + std::to_string(mic.rate()) + " Hz but ref is " + std::to_string(ref.rate()) +
                " Hz; resample one first");
  }
  length = std::max(mic.length(), ref.length());
  if (mic.length() != ref.length()) warn((mic.length() < length ? args.mic : args.ref) + " is shorter, padded with silence");
  return true;
}

bool Inputs::read(float* micOut, float* refOut, size_t count) {
  return readOrSilence(mic, micOut, count) && readOrSilence(ref, refOut, count);
}

void Inputs::warnLevels() const {
  mic.warnLevels();
  ref.warnLevels();
}

}  // namespace aec_tools
