#include "ynet/layer_registry.h"

#include <map>

#include "ynet/log.h"

namespace YNet {

namespace {

using CreatorMap = std::map<std::string, LayerCreator>;

// One map per backend, built on first use so static registrations from any
// translation unit find it ready.
CreatorMap* backendMap(int backend) {
    static CreatorMap maps[LayerRegistry::kBackends];
    if (backend < 0 || backend >= LayerRegistry::kBackends) return nullptr;
    return &maps[backend];
}

}  // namespace

void LayerRegistry::add(int backend, const std::string& typeName, LayerCreator creator) {
    CreatorMap* map = backendMap(backend);
    if (!map) return;
    if (map->count(typeName)) printLog("Layer type %s already registered.\n", typeName.c_str());
    (*map)[typeName] = creator;
}

LayerCreator LayerRegistry::find(int backend, const std::string& typeName) {
    CreatorMap* map = backendMap(backend);
    if (!map) return nullptr;
    auto it = map->find(typeName);
    return it == map->end() ? nullptr : it->second;
}

Layer* LayerRegistry::create(int backend, const LayerRecord& record, TensorMap& blobs,
                             TensorMap& weights) {
    const char* typeName = record.type ? record.type : "";
    LayerCreator creator = find(backend, typeName);
    if (!creator) {
        printLog("Implementation not exists: [%d,%s]\n", backend, typeName);
        return nullptr;
    }
    return creator(record, blobs, weights);
}

void LayerRegistry::remove(int backend, const std::string& typeName) {
    if (CreatorMap* map = backendMap(backend)) map->erase(typeName);
}

}  // namespace YNet
