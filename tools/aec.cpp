// aec: cancels the far-end echo in a microphone recording (process), or
// shows it on a built-in double-talk scene (demo).
#include <cstdio>
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
  aec_tools::Audio mic, ref;
  if (!aec_tools::loadInputs(args, mic, ref)) return 1;
  const aec_tools::MaskChoice mask = args.options.linearOnly ? aec_tools::MaskChoice{} : aec_tools::chooseMask();
  aec_tools::RunResult result;
  if (!aec_tools::runCanceller(mic.samples, ref.samples, mic.rate, args.options, mask, result)) return 1;
  if (!aec_tools::writeAudio(args.out, result.out, mic.rate, mic.format)) return 1;
  aec_tools::printSummary(result, mic.samples.size(), mic.rate, mask, args.options);
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
