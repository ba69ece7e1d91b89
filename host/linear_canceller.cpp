#include "host/linear_canceller.h"

#include <speex/speex_echo.h>

#include <algorithm>
#include <cmath>

namespace aec {

namespace {

constexpr float kScale = 32768.0f;

spx_int16_t toPcm(float x) {
  return static_cast<spx_int16_t>(std::lrint(std::clamp(x * kScale, -32768.0f, 32767.0f)));
}

}  // namespace

LinearCanceller::LinearCanceller(int frameSize, int filterLength, int sampleRate)
    : state_(nullptr), frameSize_(frameSize), filterLength_(filterLength), sampleRate_(sampleRate),
      mic_(frameSize), ref_(frameSize), err_(frameSize) {
  reset();
}

LinearCanceller::~LinearCanceller() { speex_echo_state_destroy(state_); }

// A new state rather than the library's reset, which keeps some adaptation
// statistics: after reset() the canceller behaves exactly like a new one.
void LinearCanceller::reset() {
  if (state_) speex_echo_state_destroy(state_);
  state_ = speex_echo_state_init(frameSize_, filterLength_);
  speex_echo_ctl(state_, SPEEX_ECHO_SET_SAMPLING_RATE, &sampleRate_);
}

void LinearCanceller::process(const float* mic, const float* ref, float* err) {
  for (int n = 0; n < frameSize_; ++n) {
    mic_[n] = toPcm(mic[n]);
    ref_[n] = toPcm(ref[n]);
  }
  speex_echo_cancellation(state_, mic_.data(), ref_.data(), err_.data());
  for (int n = 0; n < frameSize_; ++n) err[n] = static_cast<float>(err_[n]) / kScale;
}

}  // namespace aec
