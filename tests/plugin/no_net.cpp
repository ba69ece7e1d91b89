// A net builder that fails, for the filter's no-network paths.
#include "model/echo_net.h"

YNet::Net* buildEchoCancellationNet(uint32_t) { return nullptr; }
