#include "ynet/run_env.h"

#include "ynet/cpu_info.h"
#include "ynet/log.h"

namespace YNet {

namespace core {

RunEnv::~RunEnv() = default;

void RunEnv::beforeWarmup(TensorMap*, TensorMap*) {}

bool RunEnv::optimizeGraph(Net&) { return false; }

bool RunEnv::afterRun(Net&, uint64_t) { return true; }

bool RunEnv::afterWarmup(Net&, TensorMap*) { return true; }

}  // namespace core

namespace x86 {

RunEnv::RunEnv() { printLog("%s", CpuInfo::get().report().c_str()); }

bool RunEnv::optimizeGraph(Net& net) { return optimizeGraphX86(net); }

}  // namespace x86

}  // namespace YNet
