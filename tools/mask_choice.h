#pragma once

#include <string>

#include "host/mask_source.h"

namespace aec_tools {

struct MaskChoice {
  aec::MaskSource source;   // empty: all ones
  std::string description;  // one line for the summary
};

// The mask the tools run with: the embedded network, linked in.
MaskChoice chooseMask();

}  // namespace aec_tools
