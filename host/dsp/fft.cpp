#include "host/dsp/fft.h"

#include <fftw3.h>

#include <algorithm>
#include <mutex>

namespace aec {

namespace {

// FFTW's planner keeps global state; only execution is thread-safe.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

// The plans work on these aligned buffers; the caller's arrays are copied in
// and out (c2r overwrites its input, and the caller's alignment is unknown).
struct RealFft::Plans {
  float* time = nullptr;
  fftwf_complex* spectrum = nullptr;
  fftwf_plan forward = nullptr;
  fftwf_plan inverse = nullptr;
};

RealFft::RealFft(int n) : n_(n), plans_(new Plans) {
  std::lock_guard<std::mutex> lock(plannerMutex());
  plans_->time = fftwf_alloc_real(n);
  plans_->spectrum = fftwf_alloc_complex(n / 2 + 1);
  // FFTW_ESTIMATE picks the same algorithm on every run, so results repeat.
  plans_->forward = fftwf_plan_dft_r2c_1d(n, plans_->time, plans_->spectrum, FFTW_ESTIMATE);
  plans_->inverse = fftwf_plan_dft_c2r_1d(n, plans_->spectrum, plans_->time, FFTW_ESTIMATE);
}

RealFft::~RealFft() {
  std::lock_guard<std::mutex> lock(plannerMutex());
  fftwf_destroy_plan(plans_->forward);
  fftwf_destroy_plan(plans_->inverse);
  fftwf_free(plans_->time);
  fftwf_free(plans_->spectrum);
  delete plans_;
}

void RealFft::forward(const float* in, Complex* out) {
  std::copy(in, in + n_, plans_->time);
  fftwf_execute(plans_->forward);
  const Complex* spectrum = reinterpret_cast<const Complex*>(plans_->spectrum);
  std::copy(spectrum, spectrum + bins(), out);
}

// FFTW's inverse is unnormalised: it returns n times the input.
void RealFft::inverse(const Complex* in, float* out) {
  std::copy(in, in + bins(), reinterpret_cast<Complex*>(plans_->spectrum));
  fftwf_execute(plans_->inverse);
  const float scale = 1.0f / static_cast<float>(n_);
  std::transform(plans_->time, plans_->time + n_, out, [scale](float v) { return v * scale; });
}

}  // namespace aec
