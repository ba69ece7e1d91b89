#include "host/linear_canceller.h"

#include <speex/speex_echo.h>

#include <algorithm>
#include <cmath>

namespace aec {

namespace {

// Full scale maps to the 16-bit range: the library adapts worse on quieter
// input (half the scale costs about 1 dB of ERLE on speech). It also resets
// itself, and says so on stderr, whenever a frame's error or echo estimate
// passes a fixed energy bound, which signals near full scale with long flat
// runs (clipped or clamped input) reach on almost every frame. So once a
// 10 ms frame's RMS passes kLoudFrameRms, which speech short of clipping
// never does, the scale drops for good to keep that frame there: 6 dB of
// headroom for clamped input. Mic and reference drop together, so the echo
// path the filter has learnt stays the same. The mic's level is taken after
// the library's DC notch, as its bound sees it: a mic with a DC offset (or a
// talker whose recording carries one) is not loud, and a needless drop costs
// a burst of the notch's state at the old scale.
constexpr float kFullScale = 32768.0f;
constexpr float kLoudFrameRms = 0.5f;
constexpr double kRestorePole = 0.999;
constexpr double kRemovedCutoffHz = 20.0;

spx_int16_t toPcm(float x, float scale) {
  return static_cast<spx_int16_t>(std::lrint(std::clamp(x * scale, -32768.0f, 32767.0f)));
}

template <class Sample>
float frameRms(const float* x, int n, Sample sample) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double v = sample(x[i]);
    sum += v * v;
  }
  return float(std::sqrt(sum / n));
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
  scale_ = kFullScale;
  const double r = sampleRate_ < 12000 ? 0.9 : 0.982;
  const double d = r * r + 0.7 * (1.0 - r) * (1.0 - r);
  micNotch_ = Biquad{r, -2.0 * r, r, -2.0 * r, d};
  levelNotch_ = micNotch_;
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
  const float loudest = std::max(frameRms(mic, frameSize_, [this](float x) { return levelNotch_.step(x); }),
                                 frameRms(ref, frameSize_, [](float x) { return double(x); }));
  scale_ = std::min(scale_, kFullScale * kLoudFrameRms / loudest);  // a silent frame: infinity, no change
  for (int n = 0; n < frameSize_; ++n) {
    mic_[n] = toPcm(mic[n], scale_);
    ref_[n] = toPcm(ref[n], scale_);
  }
  speex_echo_cancellation(state_, mic_.data(), ref_.data(), err_.data());
  for (int n = 0; n < frameSize_; ++n) {
    // The library's echo estimate is still in the notched domain. Restored,
    // it is H times the true estimate, 1 - H about 30 dB down at 150 Hz.
    const double d = mic_[n] / scale_, estimate = micNotch_.step(d) - err_[n] / scale_;
    const double removed = highPass_.step(restore_.step(estimate));
    err[n] = static_cast<float>(d - removed);
  }
}

}  // namespace aec
