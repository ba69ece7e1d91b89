#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ynet/records.h"
#include "ynet/tensor.h"

namespace YNet {

namespace core { struct RunEnv; }

// Name-keyed tensor store; std::map keeps tensors at stable addresses and
// orders keys byte-wise.
using TensorMap = std::map<std::string, Tensor>;

// Find-or-insert lookup (an absent name creates an empty tensor).
Tensor& lookup(TensorMap& map, const std::string& name);

class Layer {
public:
    std::vector<Layer*> followers;
    bool skip = false;
    uint32_t quantMode = 0;
    bool fused = false;
    bool removed = false;
    uint32_t index = 0;
    uint64_t flops = 0;
    std::string type;
    std::string name;
    std::string shapeKey;
    std::vector<Tensor*> inputs, outputs, weights;
    std::vector<Tensor*> inputQuant, outputQuant, weightQuant;
    std::vector<Tensor*> inputQuant2, outputQuant2, weightQuant2;

    explicit Layer(const char* name = "Unknown");
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    virtual bool reshape();
    virtual bool forward(core::RunEnv& env) = 0;
    virtual bool prepare(core::RunEnv& env);

    // Binds the record's blobs and weights by name. inputCount -1 means
    // "all names but the outputs".
    void init(const LayerRecord& record, TensorMap& blobs, TensorMap& weights, int inputCount,
              int outputCount, bool quantAware, int weightParamCount, int paramExtra,
              bool linkGraph);
};

}  // namespace YNet
