// Echo-cancellation backend for PipeWire's echo-cancel module: a SPA plug-in
// (factory "audio.aec", interface Audio:AEC) over the streaming canceller
// with the embedded network. Capture is cancelled as one channel: the mean of
// the capture channels against the mean of the playback channels, and the
// result goes to every output channel. Any rate from 8 to 48 kHz and any
// block size.
#include <spa/interfaces/audio/aec.h>
#include <spa/support/log.h>
#include <spa/support/plugin.h>
#include <spa/utils/dict.h>
#include <spa/utils/hook.h>
#include <spa/utils/names.h>
#include <spa/utils/string.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/aec_stream.h"

namespace {

constexpr const char* kName = "ynet";

// The loader may give no log.
#define PLUGIN_LOG(p, level, ...)                            \
  do {                                                       \
    if ((p)->log) spa_log_##level((p)->log, __VA_ARGS__);    \
  } while (0)

// Longest piece of a block handed to the stream at once: the stream and the
// mix buffers hold this much without allocating, whatever the block size.
constexpr uint32_t kPieceMs = 100;

// run is called on the data thread, set_props and activate on the main
// thread: the lock keeps a stream from being replaced while it runs. The
// data thread never waits for it: while the main thread holds it (a stream
// being swapped or reset), that block passes through uncancelled.
struct Canceller {
  std::mutex lock;
  aec::StreamOptions options;
  std::unique_ptr<aec::AecStream> stream;
  std::atomic<uint32_t> channels{0};  // also read by a data thread that found the lock taken
  uint32_t piece = 0;
  std::vector<float> mic, ref;
};

// spa_handle comes first: the loader hands the plug-in this block as a
// spa_handle of get_size() bytes.
struct Plugin {
  spa_handle handle;
  spa_audio_aec aec;
  spa_log* log;
  spa_hook_list hooks;
  Canceller* canceller;
};

// One option of aec.args; false (with a log line) for a malformed or
// out-of-range value.
struct OptionKey {
  const char* key;
  double min, max;
  void (*apply)(aec::StreamOptions&, double);
};

const OptionKey kOptionKeys[] = {
    {"filter_ms", 10, 2000, [](aec::StreamOptions& o, double v) { o.filterMs = int(v); }},
    {"delay_ms", -1, 500, [](aec::StreamOptions& o, double v) { o.delayMs = int(v); }},
    {"mask_floor", 0, 1, [](aec::StreamOptions& o, double v) { o.maskFloor = float(v); }},
    {"linear_only", 0, 1, [](aec::StreamOptions& o, double v) { o.linearOnly = v != 0.0; }},
};

bool parseValue(const char* text, double& value) {
  if (spa_streq(text, "true")) value = 1.0;
  else if (spa_streq(text, "false")) value = 0.0;
  else {
    char* end = nullptr;
    value = std::strtod(text, &end);
    if (end == text || *end != '\0') return false;
  }
  return true;
}

bool parseOptions(Plugin* p, const spa_dict* args, aec::StreamOptions& options) {
  if (!args) return true;
  for (const OptionKey& k : kOptionKeys) {
    const char* text = spa_dict_lookup(args, k.key);
    if (!text) continue;
    double value = 0.0;
    if (!parseValue(text, value) || !(value >= k.min && value <= k.max)) {
      PLUGIN_LOG(p, error, "aec-%s: %s=%s is out of range (%g to %g)", kName, k.key, text, k.min, k.max);
      return false;
    }
    k.apply(options, value);
  }
  return true;
}

int addListener(void* object, spa_hook* listener, const spa_audio_aec_events* events, void* data) {
  auto* p = static_cast<Plugin*>(object);
  spa_hook_list_append(&p->hooks, listener, events, data);
  return 0;
}

int makeStream(Plugin* p, uint32_t rate, uint32_t channels, const aec::StreamOptions& options) {
  if (channels == 0) {
    PLUGIN_LOG(p, error, "aec-%s: no channels", kName);
    return -EINVAL;
  }
  auto stream = aec::AecStream::create(int(rate), options);
  if (!stream) {
    PLUGIN_LOG(p, error, "aec-%s: rate %u Hz not supported (8000 to 48000)", kName, rate);
    return -EINVAL;
  }
  // Build and warm up the network here, on the main thread, rather than in
  // the first real-time cycle; the reset leaves the stream as new.
  std::vector<float> silence(rate / 25, 0.0f);
  stream->process(silence.data(), silence.data(), silence.data(), silence.size());
  stream->reset();
  const int latency = stream->latencySamples();
  const uint32_t piece = rate * kPieceMs / 1000;
  Canceller* c = p->canceller;
  {
    std::lock_guard<std::mutex> guard(c->lock);
    c->options = options;
    c->stream.swap(stream);
    c->channels = channels;
    c->piece = piece;
    c->mic.reserve(piece);
    c->ref.reserve(piece);
  }
  stream.reset();  // the old stream is freed here, not while the data thread waits
  PLUGIN_LOG(p, info, "aec-%s: %u Hz, %u channel(s), latency %d samples", kName, rate, channels, latency);
  return 0;
}

int init(void* object, const spa_dict* args, const spa_audio_info_raw* info) {
  auto* p = static_cast<Plugin*>(object);
  aec::StreamOptions options;
  if (!info || !parseOptions(p, args, options)) return -EINVAL;
  return makeStream(p, info->rate, info->channels, options);
}

// Mean over the channels of samples [at, at + samples) into one buffer (or
// the channel itself); samples never exceed the buffer's reserve.
const float* mixDown(const float* channels[], uint32_t count, uint32_t at, uint32_t samples,
                     std::vector<float>& buffer) {
  if (count == 1) return channels[0] + at;
  buffer.assign(samples, 0.0f);
  for (uint32_t c = 0; c < count; ++c) {
    for (uint32_t n = 0; n < samples; ++n) buffer[n] += channels[c][at + n] / float(count);
  }
  return buffer.data();
}

int run(void* object, const float* rec[], const float* play[], float* out[], uint32_t samples) {
  Canceller* c = static_cast<Plugin*>(object)->canceller;
  std::unique_lock<std::mutex> guard(c->lock, std::try_to_lock);
  if (!guard.owns_lock()) {
    for (uint32_t ch = 0; ch < c->channels; ++ch) std::copy(rec[ch], rec[ch] + samples, out[ch]);
    return 0;
  }
  if (!c->stream) return -EIO;
  for (uint32_t at = 0; at < samples; at += c->piece) {
    const uint32_t n = std::min(c->piece, samples - at);
    const float* mic = mixDown(rec, c->channels, at, n, c->mic);
    const float* ref = mixDown(play, c->channels, at, n, c->ref);
    c->stream->process(mic, ref, out[0] + at, n);
  }
  for (uint32_t ch = 1; ch < c->channels; ++ch) std::copy(out[0], out[0] + samples, out[ch]);
  return 0;
}

// New options take a new stream at the same rate.
int setProps(void* object, const spa_dict* args) {
  auto* p = static_cast<Plugin*>(object);
  Canceller* c = p->canceller;
  aec::StreamOptions options = c->options;
  if (!c->stream || !parseOptions(p, args, options)) return -EINVAL;
  return makeStream(p, uint32_t(c->stream->sampleRate()), c->channels, options);
}

int activate(void* object) {
  Canceller* c = static_cast<Plugin*>(object)->canceller;
  std::lock_guard<std::mutex> guard(c->lock);
  if (c->stream) c->stream->reset();
  return 0;
}

int deactivate(void*) { return 0; }

// No runtime parameters beyond aec.args.
int enumProps(void*, int, spa_pod_builder*) { return 0; }
int getParams(void*, spa_pod_builder*) { return 0; }
int setParams(void*, const spa_pod*) { return 0; }

const spa_audio_aec_methods kMethods = {
    SPA_VERSION_AUDIO_AEC_METHODS, addListener, init, run, setProps, activate, deactivate,
    enumProps, getParams, setParams,
};

int getInterface(spa_handle* handle, const char* type, void** iface) {
  if (!handle || !iface) return -EINVAL;
  if (!spa_streq(type, SPA_TYPE_INTERFACE_AUDIO_AEC)) return -ENOENT;
  *iface = &reinterpret_cast<Plugin*>(handle)->aec;
  return 0;
}

int clear(spa_handle* handle) {
  auto* p = reinterpret_cast<Plugin*>(handle);
  delete p->canceller;
  p->canceller = nullptr;
  return 0;
}

size_t getSize(const spa_handle_factory*, const spa_dict*) { return sizeof(Plugin); }

int initHandle(const spa_handle_factory*, spa_handle* handle, const spa_dict*, const spa_support* support,
               uint32_t supportCount) {
  if (!handle) return -EINVAL;
  auto* p = reinterpret_cast<Plugin*>(handle);
  p->handle.version = SPA_VERSION_HANDLE;
  p->handle.get_interface = getInterface;
  p->handle.clear = clear;
  p->aec.iface = SPA_INTERFACE_INIT(SPA_TYPE_INTERFACE_AUDIO_AEC, SPA_VERSION_AUDIO_AEC, &kMethods, p);
  p->aec.name = kName;
  p->aec.info = nullptr;
  p->aec.latency = nullptr;  // any block size
  p->log = static_cast<spa_log*>(spa_support_find(support, supportCount, SPA_TYPE_INTERFACE_Log));
  spa_hook_list_init(&p->hooks);
  p->canceller = new (std::nothrow) Canceller();
  return p->canceller ? 0 : -ENOMEM;
}

const spa_interface_info kInterfaces[] = {{SPA_TYPE_INTERFACE_AUDIO_AEC}};

int enumInterfaceInfo(const spa_handle_factory*, const spa_interface_info** info, uint32_t* index) {
  if (!info || !index) return -EINVAL;
  if (*index >= SPA_N_ELEMENTS(kInterfaces)) return 0;
  *info = &kInterfaces[(*index)++];
  return 1;
}

const spa_dict_item kFactoryInfoItems[] = {
    {SPA_KEY_FACTORY_DESCRIPTION, "Neural acoustic echo canceller (linear filter and embedded mask network)"},
    {SPA_KEY_FACTORY_USAGE, "aec.args = { filter_ms=256 delay_ms=-1 mask_floor=0 linear_only=false }"},
};
const spa_dict kFactoryInfo = SPA_DICT_INIT_ARRAY(kFactoryInfoItems);

const spa_handle_factory kFactory = {
    SPA_VERSION_HANDLE_FACTORY, SPA_NAME_AEC, &kFactoryInfo, getSize, initHandle, enumInterfaceInfo,
};

}  // namespace

extern "C" SPA_EXPORT int spa_handle_factory_enum(const spa_handle_factory** factory, uint32_t* index) {
  if (!factory || !index) return -EINVAL;
  if (*index > 0) return 0;
  *factory = &kFactory;
  ++*index;
  return 1;
}
