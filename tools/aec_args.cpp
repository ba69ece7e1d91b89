#include "tools/aec_args.h"

#include <algorithm>
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

bool readOrSilence(AudioReader& reader, float* out, size_t count) {
  size_t got = 0;
  if (!reader.read(out, count, got)) return false;
  std::fill(out + got, out + count, 0.0f);
  return true;
}

}  // namespace

bool nextOption(int argc, const char* const* argv, int& i, std::string& key, std::string& value) {
  key = argv[i];
  const size_t equals = key.find('=');
  if (key.rfind("--", 0) == 0 && equals != std::string::npos) {
    value = key.substr(equals + 1);
    key.resize(equals);
    return true;
  }
  if (i + 1 >= argc) return fail("missing value for " + key);
  value = argv[++i];
  return true;
}

bool parseProcess(int argc, const char* const* argv, int first, ProcessArgs& args) {
  for (int i = first; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--linear-only" || flag == "--no-far-end-hold") {
      if (flag == "--linear-only") args.options.linearOnly = true;
      else args.options.farEndHold = false;
      continue;
    }
    std::string key, value;
    if (!nextOption(argc, argv, i, key, value) || !parseOption(key, value, args)) return false;
  }
  return (!args.mic.empty() && !args.ref.empty() && !args.out.empty()) || fail("--mic, --ref and --out are required");
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
