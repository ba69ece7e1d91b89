// Without LibTorch the report runs the other systems only.
#include "bench/torch_net.h"

std::unique_ptr<TorchEchoNet> makeTorchEchoNet(const std::string&, std::string* error) {
    *error = "built without LibTorch";
    return nullptr;
}

std::unique_ptr<TorchEchoNet> makeTracedEchoNet(const std::string&, std::string* error) {
    *error = "built without LibTorch";
    return nullptr;
}
