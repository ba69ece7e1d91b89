/* Streaming acoustic echo canceller, C interface.
 *
 * Feed the microphone and the far-end (loudspeaker) signal in blocks of any
 * size at one rate from 8000 to 48000 Hz; get the cleaned microphone signal,
 * delayed by aec_latency() samples. One handle per stream, used by one
 * thread at a time. The suppression mask comes from the embedded neural
 * network unless linear_only is set or another source is installed. */
#ifndef YNET_AEC_H
#define YNET_AEC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct aec_handle aec_handle;

typedef struct aec_options {
  int filter_ms;    /* linear canceller filter length, 10 to 2000 (256) */
  int delay_ms;     /* far-end delay in ms, 0 to 500, or -1 to estimate it (-1) */
  float mask_floor; /* smallest gain the mask applies, 0 to 1 (0) */
  int linear_only;  /* non-zero: linear canceller only, no mask (0) */
  int bypass_linear; /* non-zero: no linear canceller (0) */
} aec_options;

/* Writes 513 gains for one 10 ms frame from 18 x 513 features. It runs on
 * every frame, but once the reference has stayed below -70 dBFS for longer
 * than echo can last (500 ms plus filter_ms) its gains are eased to one:
 * no echo is left to remove, so a lone near-end talker passes untouched. */
typedef void (*aec_mask_fn)(void* user, const float* features, float* mask);
/* Clears a mask source's own memory (a recurrent filter's state). */
typedef void (*aec_mask_reset_fn)(void* user);

/* Fills options with the defaults; does nothing for NULL. */
void aec_default_options(aec_options* options);
/* options may be NULL for the defaults. NULL when a value is out of range. */
aec_handle* aec_create(int sample_rate, const aec_options* options);
/* mic, ref, out: n samples each in [-1, 1] (others are clamped); out may be
 * mic. 0, or -1 for a null argument. */
int aec_process(aec_handle* handle, const float* mic, const float* ref, float* out, size_t n);
/* fn NULL restores the default mask source: the embedded network. */
void aec_set_mask_source(aec_handle* handle, aec_mask_fn fn, void* user);
/* As aec_set_mask_source, for a source with memory: aec_reset calls reset
 * (when not NULL) so the reset stream behaves like a new one. */
void aec_set_stateful_mask_source(aec_handle* handle, aec_mask_fn fn, aec_mask_reset_fn reset, void* user);
/* Back to the state of a new handle: buffers, delay estimate, adaptive
 * filter and the mask source's memory. */
void aec_reset(aec_handle* handle);
/* Output delay in samples at the stream rate. */
int aec_latency(const aec_handle* handle);
/* Far-end delay in use, in milliseconds (estimated unless fixed). */
int aec_delay_estimate(const aec_handle* handle);
void aec_destroy(aec_handle* handle);

#ifdef __cplusplus
}
#endif

#endif
