#include "host/aec.h"

#include "host/aec_stream.h"

struct aec_handle {
  std::unique_ptr<aec::AecStream> stream;
};

extern "C" {

void aec_default_options(aec_options* options) {
  if (!options) return;
  const aec::StreamOptions d;
  *options = aec_options{d.filterMs, d.delayMs, d.maskFloor, d.linearOnly, d.bypassLinear};
}

aec_handle* aec_create(int sample_rate, const aec_options* options) {
  aec::StreamOptions o;
  if (options) {
    o.filterMs = options->filter_ms;
    o.delayMs = options->delay_ms;
    o.maskFloor = options->mask_floor;
    o.linearOnly = options->linear_only != 0;
    o.bypassLinear = options->bypass_linear != 0;
  }
  auto stream = aec::AecStream::create(sample_rate, o);
  return stream ? new aec_handle{std::move(stream)} : nullptr;
}

int aec_process(aec_handle* handle, const float* mic, const float* ref, float* out, size_t n) {
  return handle && handle->stream->process(mic, ref, out, n) ? 0 : -1;
}

void aec_set_mask_source(aec_handle* handle, aec_mask_fn fn, void* user) {
  if (!handle) return;
  if (!fn) {
    handle->stream->setMaskSource(nullptr);
    return;
  }
  handle->stream->setMaskSource([fn, user](const float* features, float* mask) { fn(user, features, mask); });
}

void aec_set_stateful_mask_source(aec_handle* handle, aec_mask_fn fn, aec_mask_reset_fn reset, void* user) {
  if (!handle) return;
  if (!fn) {
    handle->stream->setMaskSource(nullptr);
    return;
  }
  std::function<void()> onReset;
  if (reset) onReset = [reset, user] { reset(user); };
  handle->stream->setMaskSource(aec::MaskSource(
      [fn, user](const float* features, float* mask) { fn(user, features, mask); }, std::move(onReset)));
}

void aec_reset(aec_handle* handle) {
  if (handle) handle->stream->reset();
}

int aec_latency(const aec_handle* handle) { return handle ? handle->stream->latencySamples() : 0; }

int aec_delay_estimate(const aec_handle* handle) { return handle ? handle->stream->delayMs() : 0; }

void aec_destroy(aec_handle* handle) { delete handle; }

}  // extern "C"
