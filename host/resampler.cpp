#include "host/resampler.h"

#include <speex/speex_resampler.h>

namespace aec {

namespace {

// Quality 6 keeps the pass-band ripple and aliasing below about -70 dB for a
// filter delay of a few milliseconds.
constexpr int kQuality = 6;

}  // namespace

Resampler::Resampler(int inRate, int outRate)
    : state_(speex_resampler_init(1, inRate, outRate, kQuality, nullptr)), inRate_(inRate), outRate_(outRate) {
  speex_resampler_skip_zeros(state_);
}

Resampler::~Resampler() { speex_resampler_destroy(state_); }

void Resampler::reset() {
  speex_resampler_reset_mem(state_);
  speex_resampler_skip_zeros(state_);
}

void Resampler::push(const float* in, size_t count, std::vector<float>& out) {
  while (count > 0) {
    const size_t room = count * outRate_ / inRate_ + 16;
    const size_t at = out.size();
    out.resize(at + room);
    spx_uint32_t inLen = static_cast<spx_uint32_t>(count), outLen = static_cast<spx_uint32_t>(room);
    speex_resampler_process_float(state_, 0, in, &inLen, &out[at], &outLen);
    out.resize(at + outLen);
    in += inLen;
    count -= inLen;
  }
}

int Resampler::inputLatency() const { return speex_resampler_get_input_latency(state_); }

}  // namespace aec
