// aec: cancels the far-end echo in a microphone recording (process), or
// shows it on a built-in double-talk scene (demo).
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/aec_demo.h"
#include "tools/aec_run.h"
#include "tools/audio_file.h"

namespace {

using aec_tools::fail;

constexpr int kMinRate = 8000, kMaxRate = 48000;

const char* const kUsage =
    "usage: aec process --mic MIC.wav --ref REF.wav --out OUT.wav\n"
    "                   [--filter-ms N] [--delay-ms N|auto] [--mask-floor F] [--linear-only]\n"
    "       aec demo [--out-dir DIR] [--clips DIR]\n";

struct ProcessArgs {
  std::string mic, ref, out;
  aec::StreamOptions options;
};

bool parseNumber(const std::string& key, const std::string& text, double low, double high, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  const bool ok = !text.empty() && *end == '\0' && errno == 0 && value >= low && value <= high;
  return ok || fail(key + " wants a number from " + std::to_string(int(low)) + " to " + std::to_string(int(high)) +
                    ", got '" + text + "'");
}

bool parseOption(const std::string& key, const std::string& value, ProcessArgs& args) {
  double number = 0.0;
  if (key == "--mic") args.mic = value;
  else if (key == "--ref") args.ref = value;
  else if (key == "--out") args.out = value;
  else if (key == "--filter-ms") {
    if (!parseNumber(key, value, 10, 2000, number)) return false;
    args.options.filterMs = int(number);
  } else if (key == "--delay-ms") {
    if (value != "auto" && !parseNumber(key, value, 0, 500, number)) return false;
    args.options.delayMs = value == "auto" ? -1 : int(number);
  } else if (key == "--mask-floor") {
    if (!parseNumber(key, value, 0, 1, number)) return false;
    args.options.maskFloor = float(number);
  } else {
    return fail("unknown option " + key);
  }
  return true;
}

bool parseProcess(int argc, char** argv, ProcessArgs& args) {
  for (int i = 2; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--linear-only") {
      args.options.linearOnly = true;
      continue;
    }
    if (i + 1 >= argc) return fail("missing value for " + key);
    if (!parseOption(key, argv[++i], args)) return false;
  }
  return (!args.mic.empty() && !args.ref.empty() && !args.out.empty()) || fail("--mic, --ref and --out are required");
}

int process(const ProcessArgs& args) {
  aec_tools::Audio mic, ref;
  if (!aec_tools::readAudio(args.mic, kMinRate, kMaxRate, mic) || !aec_tools::readAudio(args.ref, kMinRate, kMaxRate, ref)) {
    return 1;
  }
  if (mic.rate != ref.rate) {
    fail("mic is " + std::to_string(mic.rate) + " Hz but ref is " + std::to_string(ref.rate) + " Hz; resample one first");
    return 1;
  }
  aec_tools::padToSameLength(mic, args.mic, ref, args.ref);
  aec_tools::checkLevels(args.mic, mic.samples);
  aec_tools::checkLevels(args.ref, ref.samples);
  const aec_tools::MaskChoice mask = args.options.linearOnly ? aec_tools::MaskChoice{} : aec_tools::chooseMask();
  aec_tools::RunResult result;
  if (!aec_tools::runCanceller(mic.samples, ref.samples, mic.rate, args.options, mask, result)) return 1;
  if (!aec_tools::writeAudio(args.out, result.out, mic.rate, mic.format)) return 1;
  aec_tools::printSummary(result, mic.samples.size(), mic.rate, mask, args.options.linearOnly);
  std::printf("written:           %s\n", args.out.c_str());
  return 0;
}

bool parseDemo(int argc, char** argv, aec_tools::DemoArgs& args) {
  for (int i = 2; i < argc; i += 2) {
    const std::string key = argv[i];
    if (i + 1 >= argc) return fail("missing value for " + key);
    if (key == "--out-dir") args.outDir = argv[i + 1];
    else if (key == "--clips") args.clipDir = argv[i + 1];
    else return fail("unknown option " + key);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  aec_tools::setToolName("aec");
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "process") {
    ProcessArgs args;
    return parseProcess(argc, argv, args) ? process(args) : 2;
  }
  if (command == "demo") {
    aec_tools::DemoArgs args;
    return parseDemo(argc, argv, args) ? aec_tools::runDemo(args) : 2;
  }
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
