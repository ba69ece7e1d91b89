#include "ynet/records.h"

#include <cstring>

namespace YNet {

// Float parameters are stored bit-for-bit in the integer words.
float LayerRecord::wordAsFloat(int i) const {
    float value;
    std::memcpy(&value, &words[i], sizeof value);
    return value;
}

}  // namespace YNet
