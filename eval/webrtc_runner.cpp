// eval_webrtc: the classical canceller of the Debian audio-processing
// library (version 0.3 API), full-band echo cancellation at high
// suppression with the extended filter and its own delay estimate; the
// scene's delay is also reported to it with --delay-ms. Noise suppression,
// gain control and the high-pass filter stay off so only echo control acts.
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <memory>

#include "eval/runner_io.h"

int main(int argc, char** argv) {
  using namespace eval_runner;
  aec_tools::setToolName("eval_webrtc");
  Args args;
  const int code = parseArgs(argc, argv, args,
                             "The classical canceller of the Debian audio-processing library on a 16 kHz scene; "
                             "--delay-ms is reported to it.");
  if (code >= 0) return code;
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
  std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
  webrtc::EchoCancellation* ec = apm ? apm->echo_cancellation() : nullptr;
  if (!ec || ec->enable_drift_compensation(false) != 0 ||
      ec->set_suppression_level(webrtc::EchoCancellation::kHighSuppression) != 0 || ec->Enable(true) != 0) {
    aec_tools::fail("could not set up the echo canceller");
    return 1;
  }
  const int reported = args.delayMs;
  args.delayMs = 0;
  args.latency = 112;  // measured on the evaluation scenes: the output trails the mic by 7 ms
  return run(args, [&](const float* mic, const float* ref, float* out) {
    const float* refs[1] = {ref};
    const float* mics[1] = {mic};
    float* outs[1] = {out};
    const auto mono = webrtc::AudioProcessing::kMono;
    if (apm->AnalyzeReverseStream(refs, kFrame, kRate, mono) != 0) return false;
    apm->set_stream_delay_ms(reported);
    return apm->ProcessStream(mics, kFrame, kRate, mono, kRate, mono, outs) == 0;
  });
}
