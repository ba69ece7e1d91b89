// aec: cancels the far-end echo in a microphone recording (process), in many
// of them on all cores (batch), or shows it on a built-in double-talk scene
// (demo).
#include <cstdio>
#include <new>
#include <string>

#include "tools/aec_args.h"
#include "tools/aec_batch.h"
#include "tools/aec_demo.h"
#include "tools/aec_run.h"
#include "tools/audio_file.h"
#include "tools/cli.h"
#include "tools/progress.h"

namespace {

using aec_tools::fail;
using aec_tools::ProcessArgs;

const char* const kExamples =
    "Examples:\n"
    "  aec process --mic mic.wav --ref ref.wav --out clean.wav\n"
    "  aec batch recordings --out-dir cleaned      (NAME_mic.wav + NAME_ref.wav -> NAME_out.wav)\n"
    "  aec batch --list pairs.txt --jobs 4         (lines of MIC REF OUT)\n"
    "  aec demo --out-dir /tmp/aec-demo\n"
    "Run 'aec COMMAND --help' for a command's options. Exit status: 0 done, 1 an input or output\n"
    "failed, 2 bad options.";

const char* const kProcessNotes =
    "The output is aligned with the mic and as long; it is written under a temporary name and\n"
    "renamed into place when complete. Exit status: 0 done, 1 an input or output failed, 2 bad options.";

const char* const kBatchNotes =
    "Each file runs through a stream of its own, --jobs files at a time. An output that exists and is\n"
    "newer than its inputs is skipped, so an interrupted run picks up where it stopped. The table at\n"
    "the end lists every file. Exit status: 0 all done or up to date, 1 any file failed (the others\n"
    "are still written), 2 bad options.\n"
    "  aec batch recordings                         recordings/NAME_out.EXT next to the inputs\n"
    "  aec batch recordings --out-dir cleaned --jobs 4\n"
    "  aec batch --list pairs.txt --force           redo everything the list names";

int process(const ProcessArgs& args) {
  // The bar appears once a run has taken a second, and steps aside for
  // warnings and errors so they stay whole lines.
  aec_tools::ProgressBar bar(aec_tools::stderrIsTerminal(), 1.0);
  aec_tools::setThreadMessageSink([&](const std::string& line) {
    bar.clear();
    std::fprintf(stderr, "%s\n", line.c_str());
  });
  aec_tools::FileRun run;
  const bool ok = aec_tools::cancelFile(args, aec_tools::chooseMask, run, [&](size_t done, size_t length) {
    bar.show(double(done) / double(length));
  });
  bar.clear();
  aec_tools::setThreadMessageSink({});
  if (!ok) return 1;
  aec_tools::printSummary(run.result, run.length, run.rate, run.mask, args.options);
  std::printf("written:           %s\n", args.out.c_str());
  return 0;
}

void addDemoOptions(CLI::App& command, aec_tools::DemoArgs& args) {
  command.add_option("--out-dir", args.outDir, "folder for mic.wav, ref.wav and out.wav (default aec-demo)")
      ->type_name("DIR");
  command.add_option("--clips", args.clipDir, "folder holding far_end.wav, near_end.wav and room_ir.wav (default: "
                     "the clips shipped with the tool)")
      ->type_name("DIR");
}

int run(int argc, char** argv) {
  CLI::App app("Removes the far-end echo from microphone recordings: a linear adaptive filter, then a neural "
               "network's suppression mask.",
               "aec");
  aec_tools::setUpApp(app);
  app.set_version_flag("--version", "aec " AEC_VERSION ", model weights sha256 " AEC_WEIGHT_SHA256,
                       "print the version and the embedded weights' checksum and exit");
  app.require_subcommand(1);
  ProcessArgs processArgs;
  aec_tools::BatchArgs batchArgs;
  aec_tools::DemoArgs demoArgs;
  CLI::App* processCommand = app.add_subcommand("process", "cancel the echo in one recording");
  aec_tools::addProcessOptions(*processCommand, processArgs);
  CLI::App* batchCommand = app.add_subcommand("batch", "cancel the echo in a folder or list of recordings, on all cores");
  aec_tools::addBatchOptions(*batchCommand, batchArgs);
  CLI::App* demoCommand = app.add_subcommand("demo", "run the built-in double-talk scene and measure the echo reduction");
  addDemoOptions(*demoCommand, demoArgs);
  app.footer(kExamples);  // after the commands, which would inherit it
  processCommand->footer(kProcessNotes);
  batchCommand->footer(kBatchNotes);
  if (argc < 2) {
    std::fputs(app.help().c_str(), stderr);
    return aec_tools::kExitUsage;
  }
  const std::string first = argv[1];
  const auto named = [&](const CLI::App* command) { return command->get_name() == first; };
  if (first[0] != '-' && app.get_subcommands(named).empty()) {
    fail("unknown command '" + first + "'; the commands are process, batch and demo (aec --help)");
    return aec_tools::kExitUsage;
  }
  const int code = aec_tools::parseCommandLine(app, argc, argv);
  if (code >= 0) return code;
  if (processCommand->parsed()) return process(processArgs);
  if (batchCommand->parsed()) return aec_tools::runBatch(batchArgs);
  return aec_tools::runDemo(demoArgs);
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
