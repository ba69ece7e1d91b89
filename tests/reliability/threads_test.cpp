// Filters on many threads: eight filters driven at once give the masks they
// give one after another, and filters created and released on several
// threads at once all end destroyed, the provider too (LSan checks the rest
// in the sanitizer build).
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/reliability_util.h"

namespace {

using namespace reliability;

constexpr int kFilters = 8;
constexpr uint32_t kFrames = RELIABILITY_THREAD_FRAMES;

uint64_t drive(zelta::Filter& filter, uint32_t stream) {
    std::vector<float> features(kFeatureFloats);
    float mask[kMaskBins];
    uint64_t h = kHashSeed;
    for (uint32_t f = 0; f < kFrames; ++f) {
        featureFrame(f, stream, features.data());
        if (filter.processFrame(features.data(), mask) != 0) return 0;
        h = hashMask(h, mask);
    }
    return h;
}

TEST(Threads, EightFiltersOnEightThreadsMatchSequentialRuns) {
    std::vector<uint64_t> sequential(kFilters), parallel(kFilters);
    for (int i = 0; i < kFilters; ++i) {
        zelta::Filter filter = pluginHost().createFilter(zelta::kEchoFilterName);
        ASSERT_TRUE(filter);
        sequential[i] = drive(filter, i);
    }
    std::vector<zelta::Filter> filters;
    for (int i = 0; i < kFilters; ++i) filters.push_back(pluginHost().createFilter(zelta::kEchoFilterName));
    std::vector<std::thread> threads;
    for (int i = 0; i < kFilters; ++i) threads.emplace_back([&, i] { parallel[i] = drive(filters[i], i); });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kFilters; ++i) {
        EXPECT_NE(sequential[i], 0u) << i;
        EXPECT_EQ(parallel[i], sequential[i]) << "filter " << i;
    }
    // Different streams give different masks: the hash sees them.
    EXPECT_NE(sequential[0], sequential[1]);
}

TEST(Threads, CreateAndReleaseOnSeveralThreadsEndsAtZero) {
    constexpr int kThreads = 4, kRounds = 25;
    std::mutex lock;
    std::vector<std::string> calls;
    pluginHost().setObserver([&](const char* call) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
    });
    std::atomic<int> destroyed{0}, processed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> features(kFeatureFloats);
            float mask[kMaskBins];
            for (int r = 0; r < kRounds; ++r) {
                zelta::Filter filter = pluginHost().createFilter(zelta::kEchoFilterName);
                featureFrame(uint32_t(r), uint32_t(t), features.data());
                processed += filter.processFrame(features.data(), mask) == 0;
                destroyed += filter.release() == 0;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(processed.load(), kThreads * kRounds);
    EXPECT_EQ(destroyed.load(), kThreads * kRounds);
    pluginHost().unload();
    pluginHost().setObserver(nullptr);
    int creates = 0, releases = 0;
    for (const std::string& c : calls) {
        creates += c == "createAudioFilter ai_echo_cancellation_source=filter";
        releases += c == "release=0";
    }
    EXPECT_EQ(creates, kThreads * kRounds);
    EXPECT_EQ(releases, kThreads * kRounds);
    EXPECT_EQ(calls.back(), "release provider zelta_custom_aiaec=0");
    ASSERT_TRUE(pluginHost().load(AEC_PLUGIN));
}

}  // namespace
