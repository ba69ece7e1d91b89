#pragma once
#include <string>

#include "ynet/layer.h"

namespace YNet {

using LayerCreator = Layer* (*)(const LayerRecord&, TensorMap& blobs, TensorMap& weights);

// Ten maps, one per backend index, from type name to creator.
class LayerRegistry {
public:
    static constexpr int kBackends = 10;
    static void add(int backend, const std::string& typeName, LayerCreator creator);
    static Layer* create(int backend, const LayerRecord& record, TensorMap& blobs,
                         TensorMap& weights);
    static LayerCreator find(int backend, const std::string& typeName);
    // Drops a registration (tests use it to simulate a missing type).
    static void remove(int backend, const std::string& typeName);
};

template <class T>
Layer* createLayer(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    return new T(record, blobs, weights);
}

#define YNET_CONCAT_INNER(a, b) a##b
#define YNET_CONCAT(a, b) YNET_CONCAT_INNER(a, b)
// Registers Class under typeName for one backend, from a static initialiser.
#define YNET_REGISTER_LAYER(backend, typeName, Class)                              \
    static const bool YNET_CONCAT(ynetRegistered_, __COUNTER__) =                  \
        (::YNet::LayerRegistry::add(backend, typeName, &::YNet::createLayer<Class>), true)

}  // namespace YNet
