#pragma once
#include <cstdint>

#include "ynet/layer.h"

namespace YNet {

class Net;

namespace core {

struct RunEnv {
    bool halfPrecision = false;
    uint32_t stepMode = 0;  // GRU: 0 full step, 1 and 2 split the recurrent product

    virtual ~RunEnv();
    virtual int backendIndex() const = 0;
    virtual void onLayerGroup() {}
    virtual void reservedHook() {}
    virtual void beforeWarmup(TensorMap* weights, TensorMap* blobs);
    virtual void afterPrepare() {}
    virtual bool reservedQuery() { return false; }
    virtual bool optimizeGraph(Net& net);
    virtual bool afterRun(Net& net, uint64_t arg);
    virtual bool afterWarmup(Net& net, TensorMap* blobs);
};

}  // namespace core

namespace x86 {

struct RunEnv : core::RunEnv {
    RunEnv();  // prints the CPU feature report
    int backendIndex() const override { return 3; }
    bool optimizeGraph(Net& net) override;
};

}  // namespace x86

// The one-time graph rewrite the x86 environment runs (graph_pass.cpp).
bool optimizeGraphX86(Net& net);

}  // namespace YNet
