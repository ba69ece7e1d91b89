#pragma once

#include <functional>
#include <string>

#include "host/aec_stream.h"
#include "tools/aec_args.h"
#include "tools/mask_choice.h"

namespace aec_tools {

struct RunResult {
  double seconds = 0.0;    // processing time
  int latency = 0;
  int delayMs = 0;
  bool delayLocked = false;
  bool delayConfident = false;
  bool delayFixed = false;
};

// Fills the next count samples of mic and ref; false (error printed) stops the run.
using BlockSource = std::function<bool(float* mic, float* ref, size_t count)>;
// Takes the next count output samples; false (error printed) stops the run.
using BlockSink = std::function<bool(const float* out, size_t count)>;
// Told after every block how many of the input's samples are done.
using Progress = std::function<void(size_t done, size_t length)>;

// Cancels the echo of ref in mic (length samples each, one rate), block by
// block, so memory does not grow with the length. The output reaching sink
// is aligned with the mic (the stream latency is removed) and as long.
bool runCanceller(size_t length, int rate, const aec::StreamOptions& options, const MaskChoice& mask,
                  const BlockSource& source, const BlockSink& sink, RunResult& result, const Progress& progress = {});

struct FileRun {
  RunResult result;
  MaskChoice mask;
  size_t length = 0;  // samples of the longer input
  int rate = 0;
};

// One file through runCanceller: opens the inputs, then OUT through
// SafeOutput (so nothing is left at OUT on failure), then the mask from
// choose (unless linear-only), and warns about levels and the delay.
bool cancelFile(const ProcessArgs& args, const std::function<MaskChoice()>& choose, FileRun& run,
                const Progress& progress);

// Warns when the delay was estimated but did not settle or settled weakly:
// the echo may come later than the search reaches.
void warnDelay(const RunResult& result);

// Prints duration, real-time factor, delay estimate and the mask in use.
void printSummary(const RunResult& result, size_t samples, int rate, const MaskChoice& mask,
                  const aec::StreamOptions& options);

}  // namespace aec_tools
