#pragma once

#include <cstdint>
#include <vector>

struct SpeexEchoState_;

namespace aec {

// Adaptive linear echo canceller (frequency-domain block filter) on 16-bit
// samples; floats in [-1, 1] are scaled to the 16-bit range, or to half of it
// once the input has sounded like clipping (headroom for the library's
// divergence check), and clipped on the way in.
//
// The library runs the microphone through a second-order DC notch before
// subtracting its echo estimate, and returns the notched difference. The
// notch's phase shift reaches well into the voice band (over 10 dB of SI-SDR
// for a lone near-end talker), so the microphone never takes that path: the
// notch is reproduced here, the difference from it is the echo estimate, and
// only that estimate goes back through the notch's inverse and leaves the
// microphone. The inverse has its double pole at DC pulled in to
// kRestorePole to stay stable, which leaves the estimate high-passed; one
// more term of the inverse's series corrects that. The inverse lifts DC by
// 55 dB, and the filter's sub-LSB rounding and drift there with it, so the
// estimate also passes a 20 Hz high-pass, whose phase error is corrected the
// same way (the correction lifts what lies below the cutoff by up to 6 dB,
// hence 20 Hz). Every stage's error is squared, so what the correction
// leaves of the echo is 22 dB down at 100 Hz and 28 dB from 150 Hz up,
// below what the adaptive filter leaves.
// The reference goes to the library as it is, the way the library expects
// it. A lone near-end talker comes out as it went in, to 16-bit rounding.
class LinearCanceller {
 public:
  LinearCanceller(int frameSize, int filterLength, int sampleRate);
  ~LinearCanceller();
  LinearCanceller(const LinearCanceller&) = delete;
  LinearCanceller& operator=(const LinearCanceller&) = delete;

  void reset();
  // As reset(), but keeps the library's state and so allocates nothing; a
  // few of its statistics survive, which matters only for the first seconds.
  void restart();
  // mic, ref, err: frameSize samples; ref must already be delay-aligned.
  void process(const float* mic, const float* ref, float* err);

 private:
  // Second-order section, direct form II: w[n] = x[n] - a1 w[n-1] - a2 w[n-2],
  // y[n] = b0 w[n] + b1 w[n-1] + b2 w[n-2].
  struct Biquad {
    double b0, b1, b2, a1, a2, w1 = 0.0, w2 = 0.0;
    double step(double x);
  };
  // A filter F whose overall response G (F alone, or F after what came
  // before it) is close to one in the voice band, applied as (2 - G) F:
  // overall (2 - G) G = 1 - (1 - G)^2, the same at DC, the error squared.
  struct Corrected {
    Biquad filter, overall;
    double step(double x);
  };
  void resetFilters();

  SpeexEchoState_* state_;
  int frameSize_, filterLength_, sampleRate_;
  Biquad micNotch_, levelNotch_;  // levelNotch_: the mic as the library's bound sees it
  Corrected restore_, highPass_;
  float scale_ = 0.0f;  // 16-bit units per unit of input
  std::vector<std::int16_t> mic_, ref_, err_;
};

}  // namespace aec
