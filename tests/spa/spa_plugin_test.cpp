#include <dlfcn.h>
#include <gtest/gtest.h>
#include <spa/interfaces/audio/aec.h>
#include <spa/support/log.h>
#include <spa/support/plugin.h>
#include <spa/utils/dict.h>
#include <spa/utils/names.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/aec_stream.h"
#include "tests/erle.h"
#include "tests/realtime/alloc_counter.h"

namespace {

using aec_test::erleDb;

// A log that keeps every line, given to the plug-in as its support.
struct TestLog {
  spa_log log{};
  std::vector<std::string> lines;
};

void logv(void* object, spa_log_level, const char*, int, const char*, const char* fmt, va_list args) {
  char line[512];
  std::vsnprintf(line, sizeof line, fmt, args);
  static_cast<TestLog*>(object)->lines.push_back(line);
}

void logf(void* object, spa_log_level level, const char* file, int line, const char* func, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  logv(object, level, file, line, func, fmt, args);
  va_end(args);
}

const spa_log_methods kLogMethods = {0, logf, logv, nullptr, nullptr, nullptr};

// The plug-in loaded the way PipeWire's loader does: dlopen, the enum
// function, the "audio.aec" factory, a handle of get_size() bytes.
class SpaPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.log.iface = SPA_INTERFACE_INIT(SPA_TYPE_INTERFACE_Log, SPA_VERSION_LOG, &kLogMethods, &log_);
    log_.log.level = SPA_LOG_LEVEL_INFO;
    library_ = dlopen(AEC_SPA_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    auto enumFactories = reinterpret_cast<spa_handle_factory_enum_func_t>(
        dlsym(library_, SPA_HANDLE_FACTORY_ENUM_FUNC_NAME));
    ASSERT_NE(enumFactories, nullptr);
    std::vector<const spa_handle_factory*> factories;
    const spa_handle_factory* f = nullptr;
    for (uint32_t index = 0; enumFactories(&f, &index) > 0;) factories.push_back(f);
    ASSERT_EQ(factories.size(), 1u);
    factory_ = factories[0];
    EXPECT_STREQ(factory_->name, SPA_NAME_AEC);
  }

  void TearDown() override {
    for (spa_handle* h : handles_) {
      spa_handle_clear(h);
      std::free(h);
    }
    if (library_) dlclose(library_);
  }

  spa_audio_aec* open() {
    auto* handle = static_cast<spa_handle*>(std::calloc(1, spa_handle_factory_get_size(factory_, nullptr)));
    handles_.push_back(handle);
    const spa_support support[] = {SPA_SUPPORT_INIT(SPA_TYPE_INTERFACE_Log, &log_.log)};
    EXPECT_EQ(spa_handle_factory_init(factory_, handle, nullptr, support, 1), 0);
    void* iface = nullptr;
    EXPECT_EQ(spa_handle_get_interface(handle, "Spa:Pointer:Interface:Other", &iface), -ENOENT);
    EXPECT_EQ(spa_handle_get_interface(handle, SPA_TYPE_INTERFACE_AUDIO_AEC, &iface), 0);
    return static_cast<spa_audio_aec*>(iface);
  }

  static int init(spa_audio_aec* aec, int rate, int channels, const std::vector<spa_dict_item>& args = {}) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32P;
    info.rate = uint32_t(rate);
    info.channels = uint32_t(channels);
    const spa_dict dict = SPA_DICT_INIT(args.data(), uint32_t(args.size()));
    return spa_audio_aec_init(aec, &dict, &info);
  }

  TestLog log_;
  void* library_ = nullptr;
  const spa_handle_factory* factory_ = nullptr;
  std::vector<spa_handle*> handles_;
};

struct Scene {
  std::vector<float> mic, ref;
};

// Far end: low-passed noise with a syllable envelope; mic: its echo through
// a 30 ms delay and a decaying path.
Scene scene(int rate, double seconds) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const size_t n = size_t(rate * seconds), delay = size_t(rate * 3 / 100);
  Scene s{std::vector<float>(n, 0.0f), std::vector<float>(n)};
  float low = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    low = 0.7f * low + 0.3f * g(rng);
    s.ref[i] = 0.2f * low * std::max(0.1f, float(std::sin(2.0 * M_PI * 2.3 * double(i) / rate)));
  }
  for (size_t i = delay; i < n; ++i) {
    for (size_t k = 0; k < 48 && k + delay <= i; ++k) s.mic[i] += 0.3f * std::exp(-float(k) / 12.0f) * s.ref[i - delay - k];
  }
  return s;
}

// Runs the scene through the plug-in in blocks of the given size with the
// same mono signal on every channel; returns each output channel.
std::vector<std::vector<float>> runBlocks(spa_audio_aec* aec, const Scene& s, int channels, size_t block) {
  std::vector<std::vector<float>> out(channels, std::vector<float>(s.mic.size()));
  std::vector<const float*> rec(channels), play(channels);
  std::vector<float*> dst(channels);
  for (size_t at = 0; at < s.mic.size(); at += block) {
    const size_t n = std::min(block, s.mic.size() - at);
    for (int c = 0; c < channels; ++c) {
      rec[c] = &s.mic[at];
      play[c] = &s.ref[at];
      dst[c] = &out[c][at];
    }
    EXPECT_EQ(spa_audio_aec_run(aec, rec.data(), play.data(), dst.data(), uint32_t(n)), 0);
  }
  return out;
}

TEST_F(SpaPlugin, FactoryOffersTheAecInterfaceOnly) {
  const spa_interface_info* info = nullptr;
  std::vector<std::string> types;
  for (uint32_t index = 0; spa_handle_factory_enum_interface_info(factory_, &info, &index) > 0;) types.push_back(info->type);
  EXPECT_EQ(types, std::vector<std::string>{SPA_TYPE_INTERFACE_AUDIO_AEC});
  spa_audio_aec* aec = open();
  ASSERT_NE(aec, nullptr);
  EXPECT_STREQ(aec->name, "ynet");
  EXPECT_EQ(aec->latency, nullptr);  // any block size
}

// Whatever the rate and block size, the output is our stream's on the same
// signal, and the echo is removed well beyond what the linear stage alone
// does.
TEST_F(SpaPlugin, RemovesTheEchoAtAnyRateAndBlockSize) {
  for (int rate : {16000, 48000}) {
    const Scene s = scene(rate, 4.0);
    auto reference = aec::AecStream::create(rate);
    std::vector<float> expected(s.mic.size());
    reference->process(s.mic.data(), s.ref.data(), expected.data(), s.mic.size());
    for (size_t block : {size_t(rate / 125), size_t(rate / 100 + 7)}) {
      spa_audio_aec* aec = open();
      ASSERT_EQ(init(aec, rate, 1), 0);
      const auto out = runBlocks(aec, s, 1, block)[0];
      for (size_t n = 0; n < out.size(); ++n) ASSERT_NEAR(out[n], expected[n], 1e-6f) << rate << " " << block << " " << n;
    }
    spa_audio_aec* linear = open();
    ASSERT_EQ(init(linear, rate, 1, {{"linear_only", "true"}}), 0);
    const double linearErle = erleDb(s.mic, runBlocks(linear, s, 1, 256)[0], size_t(rate) * 2);
    const double erle = erleDb(s.mic, expected, size_t(rate) * 2);
    EXPECT_GT(erle, 25.0) << rate;
    EXPECT_GT(erle, linearErle + 10.0) << rate << " " << linearErle;
  }
}

// Stereo capture is cancelled as one channel and written to both.
TEST_F(SpaPlugin, ChannelsShareOneCancelledSignal) {
  const Scene s = scene(16000, 3.0);
  spa_audio_aec* mono = open();
  spa_audio_aec* stereo = open();
  ASSERT_EQ(init(mono, 16000, 1), 0);
  ASSERT_EQ(init(stereo, 16000, 2), 0);
  const auto one = runBlocks(mono, s, 1, 256);
  const auto two = runBlocks(stereo, s, 2, 256);
  for (size_t n = 0; n < one[0].size(); ++n) {
    ASSERT_NEAR(two[0][n], one[0][n], 1e-6f) << n;
    ASSERT_EQ(two[1][n], two[0][n]) << n;
  }
}

TEST_F(SpaPlugin, BadSettingsAreRefusedWithALogLine) {
  spa_audio_aec* aec = open();
  float sample = 0.0f;
  const float* in[] = {&sample};
  float* out[] = {&sample};
  EXPECT_EQ(spa_audio_aec_run(aec, in, in, out, 1), -EIO);  // before init
  EXPECT_EQ(init(aec, 96000, 1), -EINVAL);
  EXPECT_EQ(init(aec, 16000, 0), -EINVAL);
  EXPECT_EQ(init(aec, 16000, 1, {{"filter_ms", "5"}}), -EINVAL);
  EXPECT_EQ(init(aec, 16000, 1, {{"mask_floor", "half"}}), -EINVAL);
  const std::vector<std::string> expected = {
      "aec-ynet: rate 96000 Hz not supported (8000 to 48000)", "aec-ynet: no channels",
      "aec-ynet: filter_ms=5 is out of range (10 to 2000)", "aec-ynet: mask_floor=half is out of range (0 to 1)"};
  EXPECT_EQ(log_.lines, expected);
  ASSERT_EQ(init(aec, 16000, 1, {{"filter_ms", "128"}, {"delay_ms", "30"}}), 0);
  const spa_dict_item bad[] = {{"delay_ms", "900"}};
  const spa_dict badProps = SPA_DICT_INIT_ARRAY(bad);
  EXPECT_EQ(spa_audio_aec_set_props(aec, &badProps), -EINVAL);
  EXPECT_EQ(spa_audio_aec_activate(aec), 0);
  EXPECT_EQ(spa_audio_aec_run(aec, in, in, out, 1), 0);
  EXPECT_EQ(spa_audio_aec_deactivate(aec), 0);
}

// The data thread neither allocates nor waits: blocks of any size (one past
// the stream's 100 ms reserve too) after warm-up, and while the main thread
// swaps in new streams with new settings, every block comes back whole.
TEST_F(SpaPlugin, DataThreadNeitherAllocatesNorWaitsForTheMainThread) {
  const int rate = 48000;
  const Scene s = scene(rate, 6.0);
  spa_audio_aec* aec = open();
  ASSERT_EQ(init(aec, rate, 2), 0);
  const size_t blocks[] = {480, 1, 1024, 441, 9600, 97};
  std::vector<float> left(9600), right(9600);
  size_t at = 0, i = 0;
  auto play = [&](size_t count) {
    for (size_t done = 0; done < count; ++i) {
      const size_t n = std::min(blocks[i % 6], s.mic.size() - at);
      const float* rec[] = {&s.mic[at], &s.mic[at]};
      const float* ply[] = {&s.ref[at], &s.ref[at]};
      float* out[] = {left.data(), right.data()};
      ASSERT_EQ(spa_audio_aec_run(aec, rec, ply, out, uint32_t(n)), 0);
      for (size_t k = 0; k < n; ++k) ASSERT_TRUE(std::isfinite(left[k]) && right[k] == left[k]) << at + k;
      at = (at + n) % (s.mic.size() - 9600);
      done += n;
    }
  };
  play(size_t(rate));
  EXPECT_EQ(alloctest::allocationsDuring([&] { play(size_t(rate)); }), 0);
  std::thread main([&] {
    for (const char* ms : {"128", "256", "64", "512", "256"}) {
      const spa_dict_item item[] = {{"filter_ms", ms}};
      const spa_dict props = SPA_DICT_INIT_ARRAY(item);
      EXPECT_EQ(spa_audio_aec_set_props(aec, &props), 0);
      EXPECT_EQ(spa_audio_aec_activate(aec), 0);
    }
  });
  const long during = alloctest::allocationsDuring([&] { play(size_t(rate) * 3); });
  main.join();
  EXPECT_EQ(during, 0);
}

}  // namespace
