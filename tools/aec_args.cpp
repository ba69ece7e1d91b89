#include "tools/aec_args.h"

#include <cerrno>
#include <cstdlib>

namespace aec_tools {

namespace {

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

}  // namespace

bool parseProcess(int argc, const char* const* argv, int first, ProcessArgs& args) {
  for (int i = first; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--linear-only" || key == "--no-far-end-hold") {
      if (key == "--linear-only") args.options.linearOnly = true;
      else args.options.farEndHold = false;
      continue;
    }
    if (i + 1 >= argc) return fail("missing value for " + key);
    if (!parseOption(key, argv[++i], args)) return false;
  }
  return (!args.mic.empty() && !args.ref.empty() && !args.out.empty()) || fail("--mic, --ref and --out are required");
}

bool loadInputs(const ProcessArgs& args, Audio& mic, Audio& ref) {
  if (!readAudio(args.mic, kMinRate, kMaxRate, mic) || !readAudio(args.ref, kMinRate, kMaxRate, ref)) return false;
  if (mic.rate != ref.rate) {
    return fail("mic is " + std::to_string(mic.rate) + " Hz but ref is " + std::to_string(ref.rate) +
                " Hz; resample one first");
  }
  padToSameLength(mic, args.mic, ref, args.ref);
  checkLevels(args.mic, mic.samples);
  checkLevels(args.ref, ref.samples);
  return true;
}

}  // namespace aec_tools
