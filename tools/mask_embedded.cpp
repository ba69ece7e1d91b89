#include "host/embedded_mask.h"
#include "tools/mask_choice.h"

namespace aec_tools {

MaskChoice chooseMask() {
  return MaskChoice{aec::embeddedMaskSource(), "embedded network (filter \"ai_echo_cancellation_source\")"};
}

}  // namespace aec_tools
