#pragma once

#include <complex>

namespace aec {

using Complex = std::complex<float>;

// Real FFT of length n (FFTW single precision). The spectrum holds bins
// 0..n/2 (n/2 + 1 values); inverse(forward(x)) == x. The plans are made once
// here, so forward and inverse do no planning and may run on any thread
// (one thread per object at a time).
class RealFft {
 public:
  explicit RealFft(int n);
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  int size() const { return n_; }
  int bins() const { return n_ / 2 + 1; }

  void forward(const float* in, Complex* out);
  void inverse(const Complex* in, float* out);

 private:
  struct Plans;
  int n_;
  Plans* plans_;
};

}  // namespace aec
