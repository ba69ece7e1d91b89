#pragma once

#include <string>
#include <vector>

#include "host/aec_stream.h"
#include "tools/mask_choice.h"

namespace aec_tools {

struct RunResult {
  std::vector<float> out;  // aligned with the mic: the stream latency is removed
  double seconds = 0.0;    // processing time
  int latency = 0;
  int delayMs = 0;
  bool delayLocked = false;
  bool delayFixed = false;
};

// Cancels the echo of ref in mic (equal lengths, one rate) in 10 ms blocks,
// with a progress bar on a terminal for inputs longer than a few seconds.
bool runCanceller(const std::vector<float>& mic, const std::vector<float>& ref, int rate,
                  const aec::StreamOptions& options, const MaskChoice& mask, RunResult& result);

// Prints duration, real-time factor, delay estimate and the mask in use.
void printSummary(const RunResult& result, size_t samples, int rate, const MaskChoice& mask,
                  const aec::StreamOptions& options);

}  // namespace aec_tools
