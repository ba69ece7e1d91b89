#pragma once
// Loads one of the built plug-in libraries through the SDK's host API and
// records every boundary call.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/sdk/host_api.h"
#include "host/sdk/plugin_slots.h"

namespace plugintest {

constexpr size_t kFeatureFloats = 9234;
constexpr size_t kMaskFloats = 513;

class PluginTest : public ::testing::Test {
protected:
    void load(const char* path) {
        host.setObserver([this](const char* call) { calls.push_back(call); });
        std::string error;
        ASSERT_TRUE(host.load(path, &error)) << error;
    }
    void TearDown() override { host.unload(); }

    zelta::PluginHost host;
    std::vector<std::string> calls;
};

// Deterministic features, distinct per frame and stream.
inline std::vector<float> features(int frame, int stream = 0) {
    std::vector<float> f(kFeatureFloats);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = float(std::sin(0.013 * double(i) * (stream + 1) + 0.7 * frame) * 2.0 - 1.0);
    return f;
}

}  // namespace plugintest
