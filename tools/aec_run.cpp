#include "tools/aec_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/audio_file.h"

namespace aec_tools {

bool runCanceller(size_t length, int rate, const aec::StreamOptions& options, const MaskChoice& mask,
                  const BlockSource& source, const BlockSink& sink, RunResult& result, const Progress& progress) {
  auto stream = aec::AecStream::create(rate, options);
  if (!stream) return fail("unsupported option values");
  stream->setMaskSource(mask.source);
  result.latency = stream->latencySamples();
  // Run latency samples of silence past the end, then drop the first
  // latency output samples, so the output lines up with the mic.
  const size_t total = length + size_t(result.latency), block = size_t(rate) / 10;
  size_t skip = size_t(result.latency);
  std::vector<float> mic(block), ref(block), out(block);
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0, count; at < total; at += count) {
    count = std::min(block, total - at);
    const size_t input = at < length ? std::min(count, length - at) : 0;
    if (input > 0 && !source(mic.data(), ref.data(), input)) return false;
    std::fill(mic.begin() + std::ptrdiff_t(input), mic.end(), 0.0f);
    std::fill(ref.begin() + std::ptrdiff_t(input), ref.end(), 0.0f);
    stream->process(mic.data(), ref.data(), out.data(), count);
    const size_t dropped = std::min(skip, count);
    skip -= dropped;
    if (count > dropped && !sink(out.data() + dropped, count - dropped)) return false;
    if (progress) progress(std::min(at + count, length), length);
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.delayMs = stream->delayMs();
  result.delayLocked = stream->delayLocked();
  result.delayConfident = stream->delayConfident();
  result.delayFixed = options.delayMs >= 0;
  return true;
}

bool cancelFile(const ProcessArgs& args, const std::function<MaskChoice()>& choose, FileRun& run,
                const Progress& progress) {
  Inputs inputs;
  if (!inputs.open(args)) return false;
  SafeOutput out;
  if (!out.open(args.out, {args.mic, args.ref})) return fail(out.error());
  AudioWriter writer;
  if (!writer.open(out, inputs.mic.rate(), inputs.mic.format())) return false;
  run.mask = args.options.linearOnly ? MaskChoice{} : choose();
  run.length = inputs.length;
  run.rate = inputs.mic.rate();
  const auto source = [&](float* mic, float* ref, size_t count) { return inputs.read(mic, ref, count); };
  const auto sink = [&](const float* samples, size_t count) { return writer.write(samples, count); };
  if (!runCanceller(run.length, run.rate, args.options, run.mask, source, sink, run.result, progress) ||
      !writer.finish()) {
    return false;
  }
  inputs.warnLevels();
  warnDelay(run.result);
  return true;
}

void warnDelay(const RunResult& result) {
  if (result.delayFixed || (result.delayLocked && result.delayConfident)) return;
  const std::string what = result.delayLocked ? "estimate of " + std::to_string(result.delayMs) + " ms is not confident"
                                              : "estimate did not settle";
  warn("far-end delay " + what +
       " (the echo may arrive later than the 500 ms searched, or be too faint); "
       "if you know the delay, pass --delay-ms N (0 to 500)");
}

void printSummary(const RunResult& result, size_t samples, int rate, const MaskChoice& mask,
                  const aec::StreamOptions& options) {
  const double duration = double(samples) / rate;
  std::printf("duration:          %.2f s at %d Hz\n", duration, rate);
  std::printf("processing time:   %.2f s (real-time factor %.3f)\n", result.seconds, result.seconds / duration);
  std::printf("far-end delay:     %d ms (%s)\n", result.delayMs, result.delayFixed    ? "fixed"
                                                                   : result.delayLocked ? "estimated"
                                                                                        : "not settled");
  std::printf("stream latency:    %d samples (%.1f ms)\n", result.latency, 1000.0 * result.latency / rate);
  std::printf("mask:              %s\n", options.linearOnly ? "off (--linear-only)" : mask.description.c_str());
  if (!options.farEndHold) std::printf("far-end hold:      off (the mask applies on a silent far end too)\n");
}

}  // namespace aec_tools
