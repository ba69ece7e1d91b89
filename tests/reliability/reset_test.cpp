// A reset stream behaves exactly like a new one, the filter's recurrent
// state included: the stream's reset clears its mask source's memory.
#include <vector>

#include "host/aec_stream.h"
#include "tests/reliability/reliability_util.h"

namespace {

using namespace reliability;

constexpr int kRate = 16000;
constexpr int kHop = 160;
constexpr int kFrames = 300;

aec::MaskSource filterSource(zelta::Filter& filter) {
    return aec::MaskSource([&filter](const float* features, float* mask) { filter.processFrame(features, mask); },
                           [&filter] { filter.scaleState(0.0f); });
}

std::vector<float> run(aec::AecStream& stream) {
    EchoScene scene(kRate, 560, kRate);
    std::vector<float> mic(kHop), ref(kHop), out(kFrames * kHop);
    for (int f = 0; f < kFrames; ++f) {
        scene.next(mic.data(), ref.data(), kHop);
        stream.process(mic.data(), ref.data(), &out[f * kHop], kHop);
    }
    return out;
}

TEST(StreamReset, ResetStreamWithFilterMatchesANewOne) {
    zelta::Filter usedFilter = pluginHost().createFilter(zelta::kEchoFilterName);
    zelta::Filter newFilter = pluginHost().createFilter(zelta::kEchoFilterName);
    ASSERT_TRUE(usedFilter && newFilter);
    auto used = aec::AecStream::create(kRate), fresh = aec::AecStream::create(kRate);
    used->setMaskSource(filterSource(usedFilter));
    fresh->setMaskSource(filterSource(newFilter));
    const std::vector<float> first = run(*used);
    used->reset();
    const std::vector<float> again = run(*used), reference = run(*fresh);
    EXPECT_EQ(first, reference);
    EXPECT_EQ(again, reference);

    // Without the filter's reset its memory of the first run shows.
    used->setMaskSource([&usedFilter](const float* features, float* mask) { usedFilter.processFrame(features, mask); });
    used->reset();
    EXPECT_NE(run(*used), reference);
}

}  // namespace
