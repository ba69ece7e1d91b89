#include "host/embedded_mask.h"

#include <algorithm>
#include <memory>

#include "model/frame_contract.h"
#include "plugin/echo_filter.h"
#include "plugin/ref_counted.h"

namespace aec {

namespace {

// Holds one reference to the filter, the way the host does.
class LazyFilter {
 public:
  LazyFilter() = default;
  LazyFilter(const LazyFilter&) = delete;
  LazyFilter& operator=(const LazyFilter&) = delete;
  ~LazyFilter() {
    if (filter_) filter_->release();
  }

  void process(const float* features, float* mask) {
    if (!filter_) {
      filter_ = new RefCounter<AiEchoCancellationFilter>();
      filter_->addRef();
    }
    if (filter_->processFrame(features, mask) != 0) {
      std::fill(mask, mask + frame_contract::kBins, 1.0f);
    }
  }
  // Scaling the recurrent state by zero is the filter's own reset.
  void reset() {
    if (filter_) filter_->scaleState(0.0f);
  }

 private:
  AudioFilter* filter_ = nullptr;
};

}  // namespace

MaskSource embeddedMaskSource() {
  auto filter = std::make_shared<LazyFilter>();
  return MaskSource([filter](const float* features, float* mask) { filter->process(features, mask); },
                    [filter] { filter->reset(); });
}

}  // namespace aec
