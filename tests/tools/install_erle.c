/* Built against the installed library: cancels a generated echo scene with
 * the library's defaults and with the linear stage alone, and prints the
 * echo reduction of each. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <ynet_aec/aec.h>

enum { RATE = 16000, SECONDS = 8, N = RATE * SECONDS, DELAY = RATE * 45 / 1000, TAPS = 64 };

static float uniform(unsigned* state) {
  *state = *state * 1664525u + 1013904223u;
  return (float)(*state >> 8) / 16777216.0f - 0.5f;
}

/* Far end: low-passed noise with a syllable envelope; mic: its echo through
 * a 45 ms delay and a decaying room response, over a faint noise floor. */
static void scene(float* mic, float* ref) {
  unsigned state = 7;
  float low = 0.0f, room[TAPS];
  for (int k = 0; k < TAPS; ++k) room[k] = 0.5f * expf(-k / 16.0f) * (k ? 2.0f * uniform(&state) : 1.0f);
  for (int n = 0; n < N; ++n) {
    low = 0.7f * low + 0.3f * uniform(&state);
    const float envelope = fmaxf(0.1f, sinf(2.0f * 3.14159265f * 2.3f * n / RATE));
    ref[n] = 0.6f * low * envelope;
  }
  for (int n = 0; n < N; ++n) {
    float sum = 0.0f;
    for (int k = 0; k < TAPS && n - DELAY - k >= 0; ++k) sum += room[k] * ref[n - DELAY - k];
    mic[n] = sum + 1e-3f * uniform(&state); /* a noise floor near -70 dBFS */
  }
}

static double erle_db(const float* mic, const float* ref, int linear_only) {
  static float out[N];
  aec_options options;
  aec_default_options(&options);
  options.linear_only = linear_only;
  aec_handle* aec = aec_create(RATE, &options);
  if (!aec || aec_process(aec, mic, ref, out, N) != 0) exit(1);
  const int latency = aec_latency(aec);
  aec_destroy(aec);
  double in = 1e-20, left = 1e-20;
  for (int n = 2 * RATE; n < N - latency; ++n) {
    in += (double)mic[n] * mic[n];
    left += (double)out[n + latency] * out[n + latency];
  }
  return 10.0 * log10(in / left);
}

int main(void) {
  static float mic[N], ref[N];
  scene(mic, ref);
  printf("ERLE %.1f dB, linear only %.1f dB\n", erle_db(mic, ref, 0), erle_db(mic, ref, 1));
  return 0;
}
