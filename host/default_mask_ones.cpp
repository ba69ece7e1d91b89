#include "host/default_mask.h"

namespace aec {

// Empty: the pipeline passes every bin (linear canceller only).
MaskSource defaultMaskSource() { return MaskSource(); }

}  // namespace aec
