// The stand-in zelta_rtc_sdk: keeps the registered provider factories and
// providers, hands out filters, and reports every boundary call to an
// optional observer. Plug-in objects are only ever called through raw slots.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/sdk/plugin_slots.h"
#include "host/sdk/zelta_host.h"

namespace {

using zelta::callSlot;

class Host;
Host& theHost();

class Control final : public ExtensionControl {
public:
    Control(Host& owner, std::string provider) : host(owner), name(std::move(provider)) {}
    int32_t postEvent(const char* key, const char* value) override;
    int32_t reportError(int32_t code, const char* message) override;
    const char* providerName() const override { return name.c_str(); }
    int32_t log(int32_t level, const char* message) override;

private:
    Host& host;
    std::string name;
};

struct Factory {
    std::string name;
    ProviderFactory function;
    bool ran;
};

struct Provider {
    std::string name;
    void* object;  // one reference held by the host
    std::unique_ptr<Control> control;
};

class Host final : public ZeltaHost {
public:
    void record(const char* format, ...) __attribute__((format(printf, 2, 3)));

    int32_t version() const override { return 1; }
    int32_t providerCount() const override { return int32_t(providers.size()); }
    const char* providerName(int32_t index) const override;
    ExtensionControl* control(const char* provider) override;
    int32_t unregisterProvider(const char* provider) override;
    int32_t registerProvider(const char* name, SharedRef ref) override;

    int32_t runFactories() override;
    void* createFilter(const char* provider, const char* filterName) override;
    int32_t processFrame(void* filter, const float* features, float* mask) override;
    int32_t scaleState(void* filter, float factor) override;
    int32_t releaseFilter(void* filter) override;
    void setObserver(ZeltaCallObserver function, void* user) override;
    void* findProvider(const char* name) override;
    void shutdown() override;

    int32_t addFactory(const char* name, ProviderFactory function);

private:
    Provider* find(const char* name);
    void releaseProvider(Provider& provider);
    bool holds(void* filter) const;
    void* lastFilter() const;

    std::vector<Factory> factories;
    // Held by pointer so that erasing leaves no copy of a provider pointer
    // in the vector's spare capacity (a leak checker would count it).
    std::vector<std::unique_ptr<Provider>> providers;
    std::vector<void*> filters;  // one host reference each
    // Applications create, drive and release filters from several threads.
    mutable std::mutex filterLock;
    ZeltaCallObserver observer = nullptr;
    void* observerUser = nullptr;
};

Host& theHost() {
    static Host host;
    return host;
}

const char* orNull(const char* text) { return text ? text : "(null)"; }

int32_t Control::postEvent(const char* key, const char* value) {
    host.record("postEvent %s %s=%s", name.c_str(), orNull(key), orNull(value));
    return 0;
}

int32_t Control::reportError(int32_t code, const char* message) {
    host.record("reportError %s %d %s", name.c_str(), code, orNull(message));
    return 0;
}

int32_t Control::log(int32_t level, const char* message) {
    host.record("log %d %s", level, orNull(message));
    std::printf("[%s] %s\n", name.c_str(), orNull(message));
    return 0;
}

void Host::record(const char* format, ...) {
    if (!observer) return;
    va_list args;
    va_start(args, format);
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    observer(observerUser, line);
}

Provider* Host::find(const char* name) {
    if (!name) return nullptr;
    for (auto& p : providers)
        if (p->name == name) return p.get();
    return nullptr;
}

bool Host::holds(void* filter) const {
    std::lock_guard<std::mutex> guard(filterLock);
    return filter && std::find(filters.begin(), filters.end(), filter) != filters.end();
}

void* Host::lastFilter() const {
    std::lock_guard<std::mutex> guard(filterLock);
    return filters.empty() ? nullptr : filters.back();
}

const char* Host::providerName(int32_t index) const {
    if (index < 0 || size_t(index) >= providers.size()) return nullptr;
    return providers[size_t(index)]->name.c_str();
}

ExtensionControl* Host::control(const char* provider) {
    Provider* p = find(provider);
    return p ? p->control.get() : nullptr;
}

void Host::releaseProvider(Provider& provider) {
    const int32_t result = callSlot<int32_t>(provider.object, zelta::kRelease);
    record("release provider %s=%d", provider.name.c_str(), result);
}

int32_t Host::unregisterProvider(const char* provider) {
    Provider* p = find(provider);
    if (!p) return -1;
    releaseProvider(*p);
    providers.erase(std::find_if(providers.begin(), providers.end(),
                                 [p](const auto& held) { return held.get() == p; }));
    return 0;
}

int32_t Host::registerProvider(const char* name, SharedRef ref) {
    record("registerProvider %s", orNull(name));
    if (!ref.object) return -1;
    if (!name || find(name)) {
        callSlot<int32_t>(ref.object, zelta::kRelease);
        return -1;
    }
    providers.push_back(std::unique_ptr<Provider>(
        new Provider{name, ref.object, std::make_unique<Control>(*this, name)}));
    return 0;
}

int32_t Host::addFactory(const char* name, ProviderFactory function) {
    record("registerProviderFactory %s", orNull(name));
    if (!name || !function) return -1;
    factories.push_back({name, function, false});
    return 0;
}

int32_t Host::runFactories() {
    int32_t ran = 0;
    for (size_t i = 0; i < factories.size(); ++i) {
        if (factories[i].ran) continue;
        factories[i].ran = true;
        const size_t before = providers.size();
        record("providerFactory %s", factories[i].name.c_str());
        factories[i].function();
        ++ran;
        for (size_t k = before; k < providers.size(); ++k) {
            Provider& p = *providers[k];
            const int32_t result = callSlot<int32_t, ExtensionControl*>(
                p.object, zelta::kSetExtensionControl, p.control.get());
            record("setExtensionControl %s=%d", p.name.c_str(), result);
        }
    }
    return ran;
}

void* Host::createFilter(const char* provider, const char* filterName) {
    Provider* p = find(provider);
    if (!p) return nullptr;
    void* filter = callSlot<void*, const char*>(p->object, zelta::kCreateAudioFilter, filterName);
    record("createAudioFilter %s=%s", orNull(filterName), filter ? "filter" : "null");
    if (!filter) return nullptr;
    callSlot<void>(filter, zelta::kAddRef);
    record("addRef");
    std::lock_guard<std::mutex> guard(filterLock);
    filters.push_back(filter);
    return filter;
}

int32_t Host::processFrame(void* filter, const float* features, float* mask) {
    if (!holds(filter)) return -1;
    const int32_t result =
        callSlot<int32_t, const float*, float*>(filter, zelta::kProcessFrame, features, mask);
    record("processFrame=%d", result);
    return result;
}

int32_t Host::scaleState(void* filter, float factor) {
    if (!holds(filter)) return -1;
    const int32_t result = callSlot<int32_t, float>(filter, zelta::kScaleState, factor);
    record("scaleState %g=%d", double(factor), result);
    return result;
}

int32_t Host::releaseFilter(void* filter) {
    {
        std::lock_guard<std::mutex> guard(filterLock);
        const auto at = std::find(filters.begin(), filters.end(), filter);
        if (!filter || at == filters.end()) return -1;
        // Clear the slot rather than erase it: no stale copy of the pointer
        // stays in the vector's spare capacity to hide a leak from a leak
        // checker.
        *at = filters.back();
        filters.back() = nullptr;
        filters.pop_back();
    }
    const int32_t result = callSlot<int32_t>(filter, zelta::kRelease);
    record("release=%d", result);
    return result;
}

void Host::setObserver(ZeltaCallObserver function, void* user) {
    observer = function;
    observerUser = user;
}

void* Host::findProvider(const char* name) {
    Provider* p = find(name);
    return p ? p->object : nullptr;
}

void Host::shutdown() {
    while (void* filter = lastFilter()) releaseFilter(filter);
    while (!providers.empty()) unregisterProvider(providers.back()->name.c_str());
    factories.clear();
}

}  // namespace

extern "C" {

ExtensionHost* getExtensionHost() {
    theHost().record("getExtensionHost");
    return &theHost();
}

int32_t registerProviderFactory(const char* name, ProviderFactory factory) {
    return theHost().addFactory(name, factory);
}

int32_t declareProvider(const char* name, const ProviderDeclaration* declaration) {
    if (!declaration) {
        theHost().record("declareProvider %s (null)", orNull(name));
        return -1;
    }
    theHost().record("declareProvider %s %u %u %u", orNull(name), declaration->words[0],
                     declaration->words[1], declaration->words[2]);
    return 0;
}

}
