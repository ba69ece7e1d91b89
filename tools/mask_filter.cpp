#include <algorithm>
#include <memory>

#include "host/sdk/host_api.h"
#include "tools/audio_file.h"
#include "tools/mask_choice.h"

namespace aec_tools {

namespace {

constexpr int kMaskBins = 513;

struct LoadedFilter {
  zelta::PluginHost host;
  zelta::Filter filter;
};

MaskChoice ones(const std::string& why) {
  warn("echo-cancellation filter unavailable (" + why + "); using a mask of ones");
  return MaskChoice{nullptr, "ones (filter unavailable: " + why + ")"};
}

}  // namespace

// The plug-in built with this tree, loaded through the host SDK the way an
// application does. A frame the filter refuses passes unchanged.
MaskChoice chooseMask() {
  auto loaded = std::make_shared<LoadedFilter>();
  std::string error;
  if (!loaded->host.load(AEC_FILTER_LIBRARY, &error)) return ones(error);
  loaded->filter = loaded->host.createFilter(zelta::kEchoFilterName);
  if (!loaded->filter) return ones("no filter \"" + std::string(zelta::kEchoFilterName) + "\"");
  auto process = [loaded](const float* features, float* mask) {
    if (loaded->filter.processFrame(features, mask) != 0) std::fill(mask, mask + kMaskBins, 1.0f);
  };
  // Scaling the recurrent state by zero is the filter's own reset.
  aec::MaskSource source(process, [loaded] { loaded->filter.scaleState(0.0f); });
  return MaskChoice{source, std::string("filter \"") + zelta::kEchoFilterName + "\" from " + AEC_FILTER_LIBRARY};
}

}  // namespace aec_tools
