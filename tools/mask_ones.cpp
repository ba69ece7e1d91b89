#include "tools/mask_choice.h"

namespace aec_tools {

MaskChoice chooseMask() {
  return MaskChoice{nullptr, "ones (this build has no echo-cancellation filter; linear canceller only)"};
}

}  // namespace aec_tools
