#pragma once

#include "host/mask_source.h"

namespace aec {

// The embedded mask network as a mask source: one echo-cancellation filter
// of its own, built on the first frame (a stream given another source never
// pays for it); reset clears its recurrent state. A frame the filter refuses
// passes unchanged (gain 1).
MaskSource embeddedMaskSource();

}  // namespace aec
