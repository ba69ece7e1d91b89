#include "ynet/net.h"

namespace YNet {

bool optimizeGraphX86(Net& net) {
    for (size_t i = 0; i < net.layers.size(); ++i) {
        net.layers[i]->reshape();
        net.layers[i]->index = uint32_t(i);
    }
    return true;
}

}  // namespace YNet
