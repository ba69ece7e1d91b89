#include "host/aec_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <vector>

#include "host/aec_pipeline.h"
#include "host/default_mask.h"
#include "host/resampler.h"

namespace aec {

namespace {

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 48000;
constexpr int kHighBandFirstBin = 384;  // 6 kHz: the top quarter of the 16 kHz band
constexpr int kMaxAlignHops = 4;
constexpr double kSilentPower = 1e-12;  // top-bin power below which the gain is held
// Blocks up to this long, and what is left over between them, fit the
// buffers made at creation: processing them does not allocate.
constexpr int kReservedMs = 100;

// Fixed delay of a whole number of samples, in place.
class DelayLine {
 public:
  explicit DelayLine(size_t delay) : buffer_(delay, 0.0f) {}
  void reset() {
    std::fill(buffer_.begin(), buffer_.end(), 0.0f);
    at_ = 0;
  }
  void process(float* x, size_t count) {
    if (buffer_.empty()) return;
    for (size_t n = 0; n < count; ++n) {
      std::swap(x[n], buffer_[at_]);
      at_ = at_ + 1 == buffer_.size() ? 0 : at_ + 1;
    }
  }

 private:
  std::vector<float> buffer_;
  size_t at_ = 0;
};

// Samples in arrival order. Popping moves the few samples left to the
// front, so the buffer holds at most one block plus a remainder; it grows to
// twice that, so that it has grown for the last time with the largest block.
class Fifo {
 public:
  void reserve(size_t count) { data_.reserve(count); }
  void push(const float* x, size_t count) {
    if (data_.size() + count > data_.capacity()) data_.reserve(2 * (data_.size() + count));
    data_.insert(data_.end(), x, x + count);
  }
  void pushZeros(size_t count) { data_.resize(data_.size() + count, 0.0f); }
  size_t size() const { return data_.size(); }
  const float* front() const { return data_.data(); }
  void pop(size_t count) { data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(count)); }
  void clear() { data_.clear(); }

 private:
  std::vector<float> data_;
};

// Smallest number of hops (up to kMaxAlignHops) whose duration is a whole
// number of samples at rate, so the high band can be delayed to match the
// 16 kHz path exactly; 1 (rounded) when there is none.
int alignHops(int rate) {
  for (int hops = 1; hops <= kMaxAlignHops; ++hops) {
    if (static_cast<long>(hops) * kHop * rate % kSampleRate == 0) return hops;
  }
  return 1;
}

int toRate(double samples16k, int rate) { return static_cast<int>(std::lround(samples16k * rate / kSampleRate)); }

}  // namespace

struct AecStream::Impl {
  Impl(int rate, const StreamOptions& options, std::unique_ptr<AecPipeline> pipeline);
  void process(const float* mic, const float* ref, float* out, size_t count);
  void reset();
  void convertInput(const float* mic, const float* ref, size_t count);
  void sanitize(const float*& mic, const float*& ref, size_t count);
  void runHop(const float* mic16, const float* ref16);
  void emitHighBand(std::vector<float>& hop, const float* mic16);
  float highBandGain() const;

  const int rate;
  const bool resampled, highBand;
  StreamOptions options;
  std::unique_ptr<AecPipeline> pipeline;
  // Converters in use at this rate: none at 16 kHz, the high-band pair
  // above it.
  std::unique_ptr<Resampler> downMic, downRef, upOut, upLow, upGain;
  const int align16;  // 16 kHz delay of the high band's reference path
  DelayLine outDelay, lowDelay, gainDelay;
  int micDelay = 0, bufferDelay = 0;
  Fifo mic16, ref16, micAtRate, output;
  float lastGain = 1.0f;
  long nonFinite = 0, clamped = 0;
  std::vector<float> cleanMic, cleanRef;
  std::vector<float> converted, hop, low, gain, outAtRate, lowAtRate, gainAtRate;
};

AecStream::Impl::Impl(int rate_, const StreamOptions& options_, std::unique_ptr<AecPipeline> pipeline_)
    : rate(rate_),
      resampled(rate_ != kSampleRate),
      highBand(rate_ > kSampleRate),
      options(options_),
      pipeline(std::move(pipeline_)),
      align16(alignHops(rate_) * kHop),
      outDelay(align16 - pipeline->latencySamples()),
      lowDelay(align16),
      gainDelay(align16 - pipeline->latencySamples()),
      hop(kHop),
      low(kHop),
      gain(kHop) {
  if (resampled) {
    downMic = std::make_unique<Resampler>(rate, kSampleRate);
    downRef = std::make_unique<Resampler>(rate, kSampleRate);
    upOut = std::make_unique<Resampler>(kSampleRate, rate);
  }
  if (highBand) {
    upLow = std::make_unique<Resampler>(kSampleRate, rate);
    upGain = std::make_unique<Resampler>(kSampleRate, rate);
  }
  micDelay = toRate(highBand ? align16 : pipeline->latencySamples(), rate);
  // Worst case of what has not come out yet: a partial hop, plus the look-ahead
  // of both converters, plus rounding.
  bufferDelay = resampled ? downMic->inputLatency() + toRate(kHop - 1 + upOut->inputLatency(), rate) + 2 : kHop - 1;
  const size_t reserved =
      size_t(std::max(rate, kSampleRate)) * kReservedMs / 1000 + size_t(bufferDelay + micDelay + kHop);
  for (Fifo* f : {&mic16, &ref16, &micAtRate, &output}) f->reserve(reserved);
  for (auto* v : {&cleanMic, &cleanRef, &converted, &outAtRate, &lowAtRate, &gainAtRate}) v->reserve(reserved);
  reset();
}

void AecStream::Impl::reset() {
  pipeline->reset();
  for (auto* r : {&downMic, &downRef, &upOut, &upLow, &upGain}) {
    if (*r) (*r)->reset();
  }
  for (DelayLine* d : {&outDelay, &lowDelay, &gainDelay}) d->reset();
  for (Fifo* f : {&mic16, &ref16, &micAtRate, &output}) f->clear();
  if (highBand) micAtRate.pushZeros(micDelay);
  output.pushZeros(bufferDelay);
  lastGain = 1.0f;
}

void AecStream::Impl::convertInput(const float* mic, const float* ref, size_t count) {
  if (!resampled) {
    mic16.push(mic, count);
    ref16.push(ref, count);
    return;
  }
  for (auto [in, resampler, fifo] : {std::tuple(mic, downMic.get(), &mic16), std::tuple(ref, downRef.get(), &ref16)}) {
    converted.clear();
    resampler->push(in, count, converted);
    fifo->push(converted.data(), converted.size());
  }
  if (highBand) micAtRate.push(mic, count);
}

// A NaN or infinity would spread through the filters, the spectra and the
// recurrent state of the mask; such samples become silence. Samples beyond
// full scale (float data scaled like 16-bit integers, say) are clamped, so
// the linear stage sees the signal it was built for. The counts stay for the
// caller; the first of each is reported once per stream.
void AecStream::Impl::sanitize(const float*& mic, const float*& ref, size_t count) {
  const auto inRange = [](float v) { return v >= -1.0f && v <= 1.0f; };  // false for NaN
  if (std::all_of(mic, mic + count, inRange) && std::all_of(ref, ref + count, inRange)) return;
  const long finiteBefore = nonFinite, clampedBefore = clamped;
  for (auto [in, clean] : {std::pair(&mic, &cleanMic), std::pair(&ref, &cleanRef)}) {
    clean->assign(*in, *in + count);
    for (float& v : *clean) {
      if (inRange(v)) continue;
      const bool finite = std::isfinite(v);
      v = finite ? std::clamp(v, -1.0f, 1.0f) : 0.0f;
      ++(finite ? clamped : nonFinite);
    }
    *in = clean->data();
  }
  if (finiteBefore == 0 && nonFinite > 0) {
    std::fprintf(stderr, "aec: warning: non-finite input samples replaced with silence\n");
  }
  if (clampedBefore == 0 && clamped > 0) {
    std::fprintf(stderr, "aec: warning: input samples beyond full scale clamped to [-1, 1]\n");
  }
}

void AecStream::Impl::process(const float* mic, const float* ref, float* out, size_t count) {
  sanitize(mic, ref, count);
  convertInput(mic, ref, count);
  while (mic16.size() >= static_cast<size_t>(kHop) && ref16.size() >= static_cast<size_t>(kHop)) {
    runHop(mic16.front(), ref16.front());
    mic16.pop(kHop);
    ref16.pop(kHop);
  }
  const size_t ready = std::min(count, output.size());
  std::copy(output.front(), output.front() + ready, out);
  std::fill(out + ready, out + count, 0.0f);  // not reached: bufferDelay covers the worst case
  output.pop(ready);
}

void AecStream::Impl::runHop(const float* mic16Hop, const float* ref16Hop) {
  pipeline->process(mic16Hop, ref16Hop, hop.data());
  if (!resampled) {
    output.push(hop.data(), hop.size());
  } else if (!highBand) {
    outAtRate.clear();
    upOut->push(hop.data(), hop.size(), outAtRate);
    output.push(outAtRate.data(), outAtRate.size());
  } else {
    emitHighBand(hop, mic16Hop);
  }
}

// out = low band of the cleaned signal + g * (mic - low band of mic): the
// mic's high band, delayed like the 16 kHz path, scaled by the gain g of the
// mask's top bins, ramped across the hop.
void AecStream::Impl::emitHighBand(std::vector<float>& cleaned, const float* mic16Hop) {
  const float target = highBandGain();
  for (int n = 0; n < kHop; ++n) gain[n] = lastGain + (target - lastGain) * float(n + 1) / kHop;
  lastGain = target;
  std::copy(mic16Hop, mic16Hop + kHop, low.begin());
  outDelay.process(cleaned.data(), kHop);
  gainDelay.process(gain.data(), kHop);
  lowDelay.process(low.data(), kHop);
  for (auto& v : {&outAtRate, &lowAtRate, &gainAtRate}) v->clear();
  upOut->push(cleaned.data(), kHop, outAtRate);
  upLow->push(low.data(), kHop, lowAtRate);
  upGain->push(gain.data(), kHop, gainAtRate);
  const float* mic = micAtRate.front();
  for (size_t n = 0; n < outAtRate.size(); ++n) {
    outAtRate[n] += gainAtRate[n] * (mic[n] - lowAtRate[n]);
  }
  micAtRate.pop(outAtRate.size());
  output.push(outAtRate.data(), outAtRate.size());
}

// The whole chain's gain in the top bins, |mask * E| / |D| in power: the
// linear stage's suppression there counts too, so the echo above 8 kHz is
// reduced even with a mask of ones.
float AecStream::Impl::highBandGain() const {
  const float* g = pipeline->gains();
  const Complex* e = pipeline->errorSpectrum();
  const Complex* d = pipeline->micSpectrum();
  double out = 0.0, in = 0.0;
  for (int k = kHighBandFirstBin; k < kBins; ++k) {
    out += double(g[k]) * g[k] * std::norm(e[k]);
    in += std::norm(d[k]);
  }
  if (in < kSilentPower) return lastGain;
  return std::min(1.0f, float(std::sqrt(out / in)));
}

std::unique_ptr<AecStream> AecStream::create(int sampleRate, const StreamOptions& options) {
  if (sampleRate < kMinRate || sampleRate > kMaxRate || options.delayMs > 500) return nullptr;
  AecOptions pipelineOptions;
  pipelineOptions.filterMs = options.filterMs;
  pipelineOptions.delayMs = options.delayMs;
  pipelineOptions.maskFloor = options.maskFloor;
  pipelineOptions.bypassLinear = options.bypassLinear;
  pipelineOptions.farEndHold = options.farEndHold;
  auto pipeline = AecPipeline::create(pipelineOptions);
  if (!pipeline) return nullptr;
  std::unique_ptr<AecStream> stream(new AecStream(std::make_unique<Impl>(sampleRate, options, std::move(pipeline))));
  stream->setMaskSource(MaskSource());
  return stream;
}

AecStream::AecStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AecStream::~AecStream() = default;

void AecStream::setMaskSource(MaskSource source) {
  if (!impl_->options.linearOnly) impl_->pipeline->setMaskSource(source ? std::move(source) : defaultMaskSource());
}

bool AecStream::process(const float* mic, const float* ref, float* out, size_t count) {
  if (count > 0 && (!mic || !ref || !out)) return false;
  impl_->process(mic, ref, out, count);
  return true;
}

void AecStream::reset() { impl_->reset(); }
int AecStream::sampleRate() const { return impl_->rate; }
int AecStream::latencySamples() const { return impl_->bufferDelay + impl_->micDelay; }
int AecStream::delayMs() const { return impl_->pipeline->delaySamples() * 1000 / kSampleRate; }
bool AecStream::delayLocked() const { return impl_->pipeline->delayLocked(); }
bool AecStream::delayConfident() const { return impl_->pipeline->delayConfident(); }
long AecStream::nonFiniteSamples() const { return impl_->nonFinite; }
long AecStream::clampedSamples() const { return impl_->clamped; }

}  // namespace aec
