// eval_speex: the library's block-frequency-domain adaptive filter alone
// (--mode mdf) or followed by its preprocessor's residual echo suppressor
// (--mode mdf+res). The reference is moved by --delay-ms before the filter.
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "eval/runner_io.h"

namespace {

struct Speex {
  SpeexEchoState* echo = nullptr;
  SpeexPreprocessState* pre = nullptr;
  ~Speex() {
    if (pre) speex_preprocess_state_destroy(pre);
    if (echo) speex_echo_state_destroy(echo);
  }
};

spx_int16_t pcm(float x) { return spx_int16_t(std::lrint(std::clamp(x * 32768.0f, -32768.0f, 32767.0f))); }

}  // namespace

int main(int argc, char** argv) {
  using namespace eval_runner;
  aec_tools::setToolName("eval_speex");
  Args args;
  args.mode = "mdf";
  const int code = parseArgs(argc, argv, args,
                             "The speexdsp adaptive filter alone (mdf) or with its residual echo suppressor "
                             "(mdf+res), on a 16 kHz scene.",
                             {"mdf", "mdf+res"});
  if (code >= 0) return code;
  Speex s;
  int rate = kRate;
  s.echo = speex_echo_state_init(kFrame, args.filterMs * kRate / 1000);
  speex_echo_ctl(s.echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  if (args.mode == "mdf+res") {
    s.pre = speex_preprocess_state_init(kFrame, kRate);
    speex_preprocess_ctl(s.pre, SPEEX_PREPROCESS_SET_ECHO_STATE, s.echo);
    args.latency = kFrame;  // the preprocessor's overlap-add holds back one frame
  }
  spx_int16_t m[kFrame], r[kFrame], e[kFrame];
  return run(args, [&](const float* mic, const float* ref, float* out) {
    for (int i = 0; i < kFrame; ++i) m[i] = pcm(mic[i]), r[i] = pcm(ref[i]);
    speex_echo_cancellation(s.echo, m, r, e);
    if (s.pre) speex_preprocess_run(s.pre, e);
    for (int i = 0; i < kFrame; ++i) out[i] = e[i] / 32768.0f;
    return true;
  });
}
