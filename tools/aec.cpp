// aec: cancels the far-end echo in a microphone recording (process), or
// shows it on a built-in double-talk scene (demo).
#include <cstdio>
#include <new>
#include <string>

#include "tools/aec_args.h"
#include "tools/aec_demo.h"
#include "tools/aec_run.h"
#include "tools/audio_file.h"

namespace {

using aec_tools::fail;
using aec_tools::ProcessArgs;

const char* const kUsage =
    "usage: aec process --mic MIC.wav --ref REF.wav --out OUT.wav\n"
    "                   [--filter-ms N] [--delay-ms N|auto] [--mask-floor F] [--linear-only]\n"
    "                   [--no-far-end-hold]\n"
    "       aec demo [--out-dir DIR] [--clips DIR]\n";

int process(const ProcessArgs& args) {
  aec_tools::Inputs inputs;
  if (!inputs.open(args)) return 1;
  aec_tools::SafeOutput out;
  if (!out.open(args.out, {args.mic, args.ref})) {
    fail(out.error());
    return 1;
  }
  aec_tools::AudioWriter writer;
  if (!writer.open(out, inputs.mic.rate(), inputs.mic.format())) return 1;
  const aec_tools::MaskChoice mask = args.options.linearOnly ? aec_tools::MaskChoice{} : aec_tools::chooseMask();
  aec_tools::RunResult result;
  const auto source = [&](float* mic, float* ref, size_t count) { return inputs.read(mic, ref, count); };
  const auto sink = [&](const float* samples, size_t count) { return writer.write(samples, count); };
  if (!aec_tools::runCanceller(inputs.length, inputs.mic.rate(), args.options, mask, source, sink, result)) return 1;
  if (!writer.finish()) return 1;
  inputs.warnLevels();
  aec_tools::warnDelay(result);
  aec_tools::printSummary(result, inputs.length, inputs.mic.rate(), mask, args.options);
  std::printf("written:           %s\n", args.out.c_str());
  return 0;
}

bool parseDemo(int argc, char** argv, aec_tools::DemoArgs& args) {
  for (int i = 2; i < argc; ++i) {
    std::string key, value;
    if (!aec_tools::nextOption(argc, argv, i, key, value)) return false;
    if (key == "--out-dir") args.outDir = value;
    else if (key == "--clips") args.clipDir = value;
    else return fail("unknown option " + key);
  }
  return true;
}

int run(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "process") {
    ProcessArgs args;
    return aec_tools::parseProcess(argc, argv, 2, args) ? process(args) : 2;
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

}  // namespace

int main(int argc, char** argv) {
  aec_tools::setToolName("aec");
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    fail("out of memory");
    return 1;
  }
}
