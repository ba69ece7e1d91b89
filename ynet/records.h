#pragma once
// Binary formats of the embedded model tables. Both are plain aggregates so
// the tables can be constant-initialised and laid out exactly: 48 and 240
// bytes on every 64-bit target.
#include <cstdint>

namespace YNet {

struct WeightRecord {
    const char* name;
    uint32_t n, h, w, c;
    uint32_t layout;          // layout code of the data (1 = NCHW)
    uint32_t representation;  // buffer index the data belongs to (1 = half)
    const void* data;
    const void* base;         // used instead of data when bound with an offset
};
static_assert(sizeof(WeightRecord) == 48, "WeightRecord is 48 bytes");

struct LayerRecord {
    const char* name;
    const char* type;
    int32_t words[24];        // parameter words p0..p23, meaning set by the type
    const char* blobs[8];     // inputs then outputs; ends at null or ""
    const char* weightNames[8];

    float wordAsFloat(int i) const;
};
static_assert(sizeof(LayerRecord) == 240, "LayerRecord is 240 bytes");

}  // namespace YNet
