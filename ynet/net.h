#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ynet/layer.h"
#include "ynet/log.h"
#include "ynet/run_env.h"

namespace YNet {

class Net {
public:
    bool userFlag = false;
    bool ready = false;
    bool warmedUp = false;
    uint64_t totalFlops = 0;
    std::unique_ptr<core::RunEnv> env;
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;
    std::vector<Layer*> layers;  // owned; execution order
    TensorMap blobs;
    TensorMap weights;

    explicit Net(core::RunEnv* env = nullptr);
    virtual ~Net();
    Net(const Net&) = delete;
    Net& operator=(const Net&) = delete;

    virtual bool run(uint64_t arg = 0);
    virtual bool warmup(TensorMap* weights = nullptr, TensorMap* blobs = nullptr);
    virtual bool clear();
    virtual int32_t kind() const { return 1; }
    virtual Net* self() { return this; }
    virtual void setUserFlag(bool flag) { userFlag = flag; }

    void addInput(const std::string& name);
    void addOutput(const std::string& name);

    static constexpr const char* kZeroTensorName = "__dummy_zero_tensor__";
};

}  // namespace YNet
