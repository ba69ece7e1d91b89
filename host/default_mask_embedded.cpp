#include "host/default_mask.h"
#include "host/embedded_mask.h"

namespace aec {

MaskSource defaultMaskSource() { return embeddedMaskSource(); }

}  // namespace aec
