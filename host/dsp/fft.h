#pragma once

#include <complex>
#include <vector>

namespace aec {

using Complex = std::complex<float>;

// Radix-2 FFT of a real sequence of even power-of-two length n, computed as
// a complex FFT of length n/2 over the even/odd sample pairs. The spectrum
// holds bins 0..n/2 (n/2 + 1 values); inverse(forward(x)) == x.
class RealFft {
 public:
  explicit RealFft(int n);

  int size() const { return n_; }
  int bins() const { return n_ / 2 + 1; }

  void forward(const float* in, Complex* out);
  void inverse(const Complex* in, float* out);

 private:
  void complexFft(Complex* data) const;

  int n_;
  std::vector<int> bitReverse_;      // permutation for the n/2 complex FFT
  std::vector<Complex> twiddles_;    // exp(-2 pi i j / (n/2)), j < n/4
  std::vector<Complex> split_;       // exp(-2 pi i k / n), k <= n/2
  std::vector<Complex> work_;        // n/2 complex values
};

}  // namespace aec
