#pragma once

#include <string>
#include <vector>

#include "host/aec_stream.h"

namespace CLI {
class App;
}

// `aec batch`: many recordings at once, one independent stream per file on
// a pool of threads.
namespace aec_tools {

struct BatchArgs {
  std::string folder;  // NAME_mic.EXT + NAME_ref.EXT pairs
  std::string list;    // or lines of "MIC REF OUT"
  std::string outDir;  // for a folder: where NAME_out.EXT goes (default the folder)
  int jobs = 0;        // 0: one per core
  bool force = false;  // redo outputs that are up to date
  aec::StreamOptions options;
};

// One file to cancel; an error found while planning (no ref for a mic)
// fails it without stopping the others.
struct BatchJob {
  std::string mic, ref, out;
  std::string error;
};

// The most files at once: each holds a temporary output that a signal must
// be able to remove.
constexpr int kMaxJobs = 256;

void addBatchOptions(CLI::App& command, BatchArgs& args);

// The jobs of a folder, sorted by name, or of a list file (paths relative to
// the list's folder), with the output folder made; false (message printed)
// when there is nothing to do, a list line is malformed, two jobs share an
// output or an output is one of the inputs.
bool planBatch(const BatchArgs& args, std::vector<BatchJob>& jobs);

// Runs the plan and prints the summary table. 0 when every file was done or
// up to date, 1 when any failed (the others are still written), 2 for bad
// options.
int runBatch(const BatchArgs& args);

}  // namespace aec_tools
