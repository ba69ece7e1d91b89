#include "host/sdk/host_api.h"

#include <utility>

#include "host/sdk/library_loader.h"
#include "host/sdk/zelta_host.h"

namespace zelta {

Filter::Filter(Filter&& other) noexcept
    : host(std::exchange(other.host, nullptr)), object(std::exchange(other.object, nullptr)) {}

Filter& Filter::operator=(Filter&& other) noexcept {
    if (this != &other) {
        release();
        host = std::exchange(other.host, nullptr);
        object = std::exchange(other.object, nullptr);
    }
    return *this;
}

int32_t Filter::processFrame(const float* features, float* mask) {
    return object ? host->processFrame(object, features, mask) : -1;
}

int32_t Filter::scaleState(float factor) {
    return object ? host->scaleState(object, factor) : -1;
}

int32_t Filter::release() {
    if (!object) return -1;
    // After an unload the host no longer holds the filter and answers -1.
    const int32_t result = host->releaseFilter(std::exchange(object, nullptr));
    host = nullptr;
    return result;
}

PluginHost::PluginHost() : host(static_cast<ZeltaHost*>(getExtensionHost())) {}

PluginHost::~PluginHost() {
    unload();
    host->setObserver(nullptr, nullptr);
}

void PluginHost::forward(void* user, const char* call) {
    const Observer& observer = static_cast<PluginHost*>(user)->observer;
    if (observer) observer(call);
}

void PluginHost::setObserver(Observer function) {
    observer = std::move(function);
    host->setObserver(observer ? &PluginHost::forward : nullptr, this);
}

bool PluginHost::load(const std::string& path, std::string* error) {
    unload();
    std::string reason;
    library = openLibrary(path, &reason);
    if (!library) {
        if (error) *error = "cannot load plug-in " + path + ": " + reason;
        return false;
    }
    host->runFactories();
    if (host->providerCount() == 0) {
        if (error) *error = "plug-in " + path + " registered no provider";
        unload();
        return false;
    }
    return true;
}

void PluginHost::unload() {
    host->shutdown();
    closeLibrary(std::exchange(library, nullptr));
}

Filter PluginHost::createFilter(const char* filterName, const char* providerName) {
    return Filter(host, host->createFilter(providerName, filterName));
}

void* PluginHost::provider(const char* name) const { return host->findProvider(name); }

}  // namespace zelta
