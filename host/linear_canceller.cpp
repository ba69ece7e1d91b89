#include "host/linear_canceller.h"

#include <speex/speex_echo.h>

#include <algorithm>
#include <cmath>

namespace aec {

namespace {

// Full scale maps to half the 16-bit range. The library resets itself, and
// says so on stderr, whenever a frame's error or echo estimate passes a
// fixed energy bound, which signals near full scale with long flat runs
// (clipped or clamped input) reach on almost every frame; 6 dB of headroom
// keeps them below it at the cost of one bit nobody hears.
constexpr float kScale = 16384.0f;
constexpr double kRestorePole = 0.999;
constexpr double kRemovedCutoffHz = 10.0;

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

// The library's notch is r (1 - 2 z^-1 + z^-2) / (1 - 2 r z^-1 + d z^-2)
// with d = r^2 + 0.7 (1 - r)^2 and r = 0.982 (0.9 below 12 kHz). Its inverse
// with the zeros at 1 moved to kRestorePole stays stable.
void LinearCanceller::resetFilters() {
  const double r = sampleRate_ < 12000 ? 0.9 : 0.982;
  const double d = r * r + 0.7 * (1.0 - r) * (1.0 - r);
  micNotch_ = Biquad{r, -2.0 * r, r, -2.0 * r, d};
  const Biquad inverse{1.0 / r, -2.0, d / r, -2.0 * kRestorePole, kRestorePole * kRestorePole};
  // notch then inverse: H = (1 - z^-1)^2 / (1 - p z^-1)^2
  const Biquad notchInverse{1.0, -2.0, 1.0, -2.0 * kRestorePole, kRestorePole * kRestorePole};
  restore_ = Corrected{inverse, notchInverse};
  // Butterworth high-pass through the bilinear transform.
  const double k = std::tan(M_PI * kRemovedCutoffHz / sampleRate_), norm = 1.0 / (1.0 + M_SQRT2 * k + k * k);
  const Biquad highPass{norm, -2.0 * norm, norm, 2.0 * (k * k - 1.0) * norm, (1.0 - M_SQRT2 * k + k * k) * norm};
  highPass_ = Corrected{highPass, highPass};
}

double LinearCanceller::Biquad::step(double x) {
  const double w = x - a1 * w1 - a2 * w2;
  const double y = b0 * w + b1 * w1 + b2 * w2;
  w2 = w1;
  w1 = w;
  return y;
}

double LinearCanceller::Corrected::step(double x) {
  const double y = filter.step(x);
  return 2.0 * y - overall.step(y);
}

// A new state rather than the library's reset, which keeps some adaptation
// statistics: after reset() the canceller behaves exactly like a new one.
void LinearCanceller::reset() {
  if (state_) speex_echo_state_destroy(state_);
  state_ = speex_echo_state_init(frameSize_, filterLength_);
  speex_echo_ctl(state_, SPEEX_ECHO_SET_SAMPLING_RATE, &sampleRate_);
  resetFilters();
}

void LinearCanceller::restart() {
  speex_echo_state_reset(state_);
  resetFilters();
}

void LinearCanceller::process(const float* mic, const float* ref, float* err) {
  for (int n = 0; n < frameSize_; ++n) {
    mic_[n] = toPcm(mic[n]);
    ref_[n] = toPcm(ref[n]);
  }
  speex_echo_cancellation(state_, mic_.data(), ref_.data(), err_.data());
  for (int n = 0; n < frameSize_; ++n) {
    // The library's echo estimate is still in the notched domain. Restored,
    // it is H times the true estimate, 1 - H about 30 dB down at 150 Hz.
    const double d = mic_[n] / kScale, estimate = micNotch_.step(d) - err_[n] / kScale;
    const double removed = highPass_.step(restore_.step(estimate));
    err[n] = static_cast<float>(d - removed);
  }
}

}  // namespace aec
