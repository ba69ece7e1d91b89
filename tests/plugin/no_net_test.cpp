// A filter whose network could not be built exists, answers -1 with its
// messages, and is still released normally.
#include "tests/plugin/plugin_fixture.h"

namespace {

TEST(NoNetFilter, AnswersMinusOneWithMessages) {
    zelta::PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(AEC_NO_NET_PLUGIN, &error)) << error;
    testing::internal::CaptureStdout();
    zelta::Filter filter = host.createFilter(zelta::kEchoFilterName);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error occur in ynet net creation!\n");
    ASSERT_TRUE(filter);

    std::vector<float> features = plugintest::features(0), mask(513, 5.0f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(filter.processFrame(nullptr, mask.data()), -2) << "null buffers are checked first";
    EXPECT_EQ(filter.processFrame(features.data(), mask.data()), -1);
    EXPECT_EQ(filter.scaleState(0.5f), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error occur: ynet net not created !\nynet net not created !");
    for (float v : mask) ASSERT_EQ(v, 5.0f);
    EXPECT_EQ(filter.release(), 0);
}

TEST(PluginHost, ReportsLibrariesThatDoNotLoad) {
    zelta::PluginHost host;
    std::string error;
    EXPECT_FALSE(host.load("/nonexistent/zelta_plugin.so", &error));
    EXPECT_NE(error.find("cannot load plug-in /nonexistent/zelta_plugin.so"), std::string::npos);
    EXPECT_FALSE(host.createFilter(zelta::kEchoFilterName));
}

}  // namespace
