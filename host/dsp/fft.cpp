#include "host/dsp/fft.h"

#include <cmath>

namespace aec {

namespace {

Complex unitRoot(double turns) {
  const double angle = -2.0 * M_PI * turns;
  return Complex(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
}

}  // namespace

RealFft::RealFft(int n) : n_(n), bitReverse_(n / 2), twiddles_(n / 4), split_(n / 2 + 1), work_(n / 2) {
  const int m = n / 2;
  int bits = 0;
  while ((1 << bits) < m) ++bits;
  for (int i = 0; i < m; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
    bitReverse_[i] = r;
  }
  for (int j = 0; j < m / 2; ++j) twiddles_[j] = unitRoot(static_cast<double>(j) / m);
  for (int k = 0; k <= m; ++k) split_[k] = unitRoot(static_cast<double>(k) / n);
}

void RealFft::complexFft(Complex* data) const {
  const int m = n_ / 2;
  for (int i = 0; i < m; ++i) {
    if (i < bitReverse_[i]) std::swap(data[i], data[bitReverse_[i]]);
  }
  for (int len = 2; len <= m; len *= 2) {
    const int half = len / 2;
    const int stride = m / len;
    for (int start = 0; start < m; start += len) {
      for (int j = 0; j < half; ++j) {
        const Complex t = twiddles_[j * stride] * data[start + j + half];
        data[start + j + half] = data[start + j] - t;
        data[start + j] += t;
      }
    }
  }
}

// With z[k] = x[2k] + i x[2k+1] and Z its FFT, the even and odd half spectra
// are Ze = (Z[k] + conj Z[m-k]) / 2 and Zo = (Z[k] - conj Z[m-k]) / 2i, and
// X[k] = Ze + W^k Zo with W = exp(-2 pi i / n).
void RealFft::forward(const float* in, Complex* out) {
  const int m = n_ / 2;
  for (int k = 0; k < m; ++k) work_[k] = Complex(in[2 * k], in[2 * k + 1]);
  complexFft(work_.data());
  const Complex halfI(0.0f, -0.5f);
  for (int k = 0; k <= m; ++k) {
    const Complex a = work_[k % m];
    const Complex b = std::conj(work_[(m - k) % m]);
    out[k] = 0.5f * (a + b) + split_[k] * (halfI * (a - b));
  }
}

// Undoes forward: Ze = (X[k] + conj X[m-k]) / 2, Zo = (X[k] - conj X[m-k]) / 2W^k,
// Z = Ze + i Zo, then an inverse FFT of length m through conjugation.
void RealFft::inverse(const Complex* in, float* out) {
  const int m = n_ / 2;
  for (int k = 0; k < m; ++k) {
    const Complex a = in[k];
    const Complex b = std::conj(in[m - k]);
    const Complex even = 0.5f * (a + b);
    const Complex odd = 0.5f * (a - b) * std::conj(split_[k]);
    work_[k] = std::conj(even + Complex(0.0f, 1.0f) * odd);
  }
  complexFft(work_.data());
  const float scale = 1.0f / static_cast<float>(m);
  for (int k = 0; k < m; ++k) {
    out[2 * k] = work_[k].real() * scale;
    out[2 * k + 1] = -work_[k].imag() * scale;
  }
}

}  // namespace aec
