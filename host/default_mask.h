#pragma once

#include "host/mask_source.h"

namespace aec {

// The mask source a new stream starts with and an empty source restores.
// The choice is made at link time: all ones (default_mask_ones.cpp, the
// host library the tests and the feature export use) or the embedded
// network (default_mask_embedded.cpp, the installed library).
MaskSource defaultMaskSource();

}  // namespace aec
