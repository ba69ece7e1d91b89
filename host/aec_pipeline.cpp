#include "host/aec_pipeline.h"

#include <algorithm>
#include <cmath>

namespace aec {

namespace {

// The linear filter is causal: align the reference a little early so a
// delay estimate off by a frame or two still leaves the echo inside it.
constexpr int kAlignMargin = 2 * kHop;
// The filter's reference shift for a delay estimate.
int shiftFor(int estimate) { return std::max(0, estimate - kAlignMargin); }
constexpr int kMaxDelay = DelayEstimator::kMaxLagFrames * kHop;
// A filter started at a new shift first learns from up to 1.5 s of the
// history, sixteen hops of it per hop, so the restart costs no convergence
// time and no hop too much work; the filter in use serves until it catches
// up, within a tenth of a second.
constexpr int kReplayHops = 150;
constexpr int kReplayHopsPerHop = 16;
// A periodic far end (a steady beat, gated noise) correlates as well at one
// period past the true delay, and the estimate may wander there. The filter
// at the new shift takes over only if, over the last half second of the
// history, it leaves at most twice the residual of the one serving; else the
// estimate is refused, and tried again after kRetryHops if it persists.
constexpr int kCompareHops = 50;
constexpr double kWorseFactor = 2.0;
constexpr int kRetryHops = 300;

// A reference hop below this mean square (-70 dBFS) counts as silent.
constexpr float kSilentRefPower = 1e-7f;
// Frames over which the mask eases back to one once the far end is silent.
constexpr int kReleaseFrames = 10;

float meanSquare(const float* x) {
  float sum = 0.0f;
  for (int n = 0; n < kHop; ++n) sum += x[n] * x[n];
  return sum / kHop;
}

void passAll(const float*, float* mask) { std::fill(mask, mask + kBins, 1.0f); }

}  // namespace

std::unique_ptr<AecPipeline> AecPipeline::create(const AecOptions& options) {
  const bool supported = options.sampleRate == kSampleRate && options.filterMs >= 10 &&
                         options.filterMs <= 2000 && options.delayMs <= kMaxDelay * 1000 / kSampleRate &&
                         options.maskFloor >= 0.0f && options.maskFloor <= 1.0f;
  if (!supported) return nullptr;
  return std::unique_ptr<AecPipeline>(new AecPipeline(options));
}

AecPipeline::AecPipeline(const AecOptions& options)
    : options_(options),
      filterSamples_(options.filterMs * kSampleRate / 1000),
      echoSpan_(kMaxDelay + filterSamples_),
      canceller_(new LinearCanceller(kHop, filterSamples_, kSampleRate)),
      warming_(new LinearCanceller(kHop, filterSamples_, kSampleRate)),
      maskSource_(passAll),
      micRing_(kHistory, 0.0f),
      refRing_(kHistory, 0.0f),
      servingErrRing_(kReplayHops),
      cancellerRef_(kHop),
      featureRef_(kHop),
      err_(kHop),
      replayMic_(kHop),
      mask_(kBins),
      features_(kFeatureFloats) {
  for (auto& s : spectra_) s.assign(kBins, Complex());
  reset();
}

void AecPipeline::setMaskSource(MaskSource source) {
  maskSource_ = source ? std::move(source) : MaskSource(passAll);
}

void AecPipeline::reset() {
  if (maskSource_.reset) maskSource_.reset();
  canceller_->reset();
  warming_->reset();
  delay_.reset();
  builder_.reset();
  micStft_.reset();
  refStft_.reset();
  errStft_.reset();
  alignedStft_.reset();
  synth_.reset();
  std::fill(micRing_.begin(), micRing_.end(), 0.0f);
  std::fill(refRing_.begin(), refRing_.end(), 0.0f);
  written_ = 0;
  warmingEstimate_ = -1;
  warmingNext_ = 0;
  warmingErr_ = servingErr_ = 0.0;
  std::fill(servingErrRing_.begin(), servingErrRing_.end(), 0.0f);
  inUse_ = estimateSamples();  // the delay_ reset above: fixed, or 0 until a lock
  refused_ = -1;
  refusedHops_ = 0;
  silentRef_ = echoSpan_ + kHop;
  maskWeight_ = 0.0f;
  std::fill(features_.begin(), features_.end(), 0.0f);
}

int AecPipeline::estimateSamples() const {
  if (options_.delayMs >= 0) return options_.delayMs * kSampleRate / 1000;
  return delay_.delayFrames() * kHop;
}

bool AecPipeline::delayLocked() const { return options_.delayMs >= 0 || delay_.locked(); }
bool AecPipeline::delayConfident() const { return options_.delayMs >= 0 || delay_.confident(); }

void AecPipeline::alignReference(const float* mic, const float* ref) {
  for (int n = 0; n < kHop; ++n) {
    micRing_[(written_ + n) % kHistory] = mic[n];
    refRing_[(written_ + n) % kHistory] = ref[n];
  }
  written_ += kHop;
  const int estimate = acceptedEstimate(estimateSamples());
  const int target = shiftFor(estimate);
  if (target == shiftFor(inUse_)) {
    inUse_ = estimate;
    warmingEstimate_ = -1;
  } else if (warmingEstimate_ >= 0 && target == shiftFor(warmingEstimate_)) {
    warmingEstimate_ = estimate;
  } else {
    warming_->restart();
    warmingEstimate_ = estimate;
    warmingNext_ = std::max(0L, written_ - kHop - long(kReplayHops) * kHop);
    warmingErr_ = servingErr_ = 0.0;
  }
  if (warmingEstimate_ >= 0) warmUp();
  const long now = written_ - kHop;
  read(refRing_, now - shiftFor(inUse_), cancellerRef_.data());
  // The mask's reference rows follow the estimate itself, so they line up
  // with the echo left in E whatever shift the filter runs at.
  read(refRing_, now - target, featureRef_.data());
}

int AecPipeline::acceptedEstimate(int estimate) {
  if (estimate != refused_) {
    refused_ = -1;
    return estimate;
  }
  if (++refusedHops_ < kRetryHops) return inUse_;
  refused_ = -1;
  return estimate;
}

// The learning filter takes a few hops of the history; once only the present
// hop is left it takes over the filter's place and shift, unless it does
// clearly worse than the filter serving.
void AecPipeline::warmUp() {
  const long now = written_ - kHop;
  for (int hop = 0; hop < kReplayHopsPerHop && warmingNext_ < now; ++hop, warmingNext_ += kHop) {
    read(micRing_, warmingNext_, replayMic_.data());
    read(refRing_, warmingNext_ - shiftFor(warmingEstimate_), cancellerRef_.data());
    warming_->process(replayMic_.data(), cancellerRef_.data(), err_.data());
    if (warmingNext_ >= now - long(kCompareHops) * kHop) {
      warmingErr_ += meanSquare(err_.data());
      servingErr_ += servingErrRing_[(warmingNext_ / kHop) % kReplayHops];
    }
  }
  if (warmingNext_ < now) return;
  if (warmingErr_ > kWorseFactor * servingErr_) {
    refused_ = warmingEstimate_;
    refusedHops_ = 0;
  } else {
    std::swap(canceller_, warming_);
    inUse_ = warmingEstimate_;
  }
  warmingEstimate_ = -1;
}

void AecPipeline::read(const std::vector<float>& ring, long start, float* out) const {
  for (int n = 0; n < kHop; ++n) out[n] = start + n < 0 ? 0.0f : ring[(start + n) % kHistory];
}

void AecPipeline::cancelLinear(const float* mic) {
  if (options_.bypassLinear) {
    std::copy(mic, mic + kHop, err_.begin());
  } else {
    canceller_->process(mic, cancellerRef_.data(), err_.data());
  }
  servingErrRing_[((written_ - kHop) / kHop) % kReplayHops] = meanSquare(err_.data());
  errStft_.push(err_.data(), spectra_[kE].data());
  alignedStft_.push(featureRef_.data(), spectra_[kX].data());
}

// Echo can reach the microphone only while the far end has sounded within
// the longest delay plus the filter's span. Past that the mask has nothing to
// remove, and any gain below one would only cut the near-end talker, so it
// eases back to one; it applies in full again from the first loud hop.
void AecPipeline::trackFarEnd(const float* ref) {
  const bool mayEcho = !options_.farEndHold || meanSquare(ref) > kSilentRefPower;
  silentRef_ = mayEcho ? 0 : std::min(silentRef_ + kHop, echoSpan_ + kHop);
  maskWeight_ = silentRef_ <= echoSpan_ ? 1.0f : std::max(0.0f, maskWeight_ - 1.0f / kReleaseFrames);
}

void AecPipeline::applyMask(float* out) {
  maskSource_.process(features_.data(), mask_.data());
  std::vector<Complex>& masked = spectra_[kR];  // the reference spectrum is no longer needed
  for (int k = 0; k < kBins; ++k) {
    // A faulty source's NaN or infinity passes, as the filter's own does.
    const float gain = std::isfinite(mask_[k]) ? std::clamp(mask_[k], options_.maskFloor, 1.0f)
                                               : frame_contract::kNonFiniteGain;
    mask_[k] = 1.0f - maskWeight_ * (1.0f - gain);
    masked[k] = mask_[k] * spectra_[kE][k];
  }
  synth_.pull(masked.data(), out);
}

void AecPipeline::process(const float* mic, const float* ref, float* out) {
  micStft_.push(mic, spectra_[kD].data());
  if (options_.delayMs < 0) {
    refStft_.push(ref, spectra_[kR].data());
    delay_.push(spectra_[kD].data(), spectra_[kR].data());
  }
  alignReference(mic, ref);
  trackFarEnd(ref);
  cancelLinear(mic);
  builder_.push(spectra_[kE].data(), spectra_[kD].data(), spectra_[kX].data(), features_.data());
  applyMask(out);
}

}  // namespace aec
