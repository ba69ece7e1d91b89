// zelta_rtc_sdk.dll for the test host, compiled for Microsoft's C++ ABI: the
// same three ordinals as the stand-in SDK, and host objects whose slots the
// plug-in calls as such a host implements them. Records every boundary call.
#include "tests/windows/msvc_host/host_view.h"
#include "tests/windows/msvc_host/runtime.h"

namespace {

constexpr int kMaxFactories = 4;
constexpr size_t kLogSize = 4096;

class Control final : public ExtensionControl {
public:
    constexpr Control() = default;
    int32_t postEvent(const char*, const char*) override { return 0; }
    int32_t reportError(int32_t, const char*) override { return 0; }
    const char* providerName() const override { return "zelta_custom_aiaec"; }
    int32_t log(int32_t level, const char* message) override;
    // What log returns, so the caller can see setExtensionControl pass it on.
    static constexpr int32_t kLogResult = 7;
};

class Host final : public TestHost {
public:
    constexpr Host() = default;
    void record(const char* text, const char* detail = nullptr);
    void recordNumber(int64_t value);
    int32_t addFactory(const char* name, ProviderFactory factory);
    bool registryBuilt() const;

    int32_t version() const override { return 1; }
    int32_t providerCount() const override { return held ? 1 : 0; }
    const char* providerName(int32_t index) const override {
        return index == 0 && held ? "zelta_custom_aiaec" : nullptr;
    }
    ExtensionControl* control(const char*) override { return &extensionControl; }
    int32_t unregisterProvider(const char*) override { return -1; }
    int32_t registerProvider(const char* name, SharedRef ref) override;

    int32_t runFactories() override;
    ExtensionProvider* provider() override { return held; }
    const char* calls() const override { return log; }
    void clearCalls() override { log[0] = 0; }
    void watchRegistry(const char* module, uint32_t rva) override {
        watchedModule = module;
        guardRva = rva;
    }

private:
    ProviderFactory factories[kMaxFactories] = {};
    int factoryCount = 0, factoriesRun = 0;
    ExtensionProvider* held = nullptr;  // one reference
    Control extensionControl;
    const char* watchedModule = nullptr;
    uint32_t guardRva = 0;
    char log[kLogSize] = {};
};

[[clang::require_constant_initialization]] Host host;

int32_t Control::log(int32_t level, const char* message) {
    host.record("log ");
    host.recordNumber(level);
    host.record(" ", message);
    return kLogResult;
}

void Host::record(const char* text, const char* detail) {
    rt::append(log, sizeof log, text);
    if (detail) rt::append(log, sizeof log, detail);
}

void Host::recordNumber(int64_t value) { rt::appendNumber(log, sizeof log, value); }

bool Host::registryBuilt() const {
    const auto* base = static_cast<const uint8_t*>(GetModuleHandleA(watchedModule));
    return base && base[guardRva] != 0;
}

int32_t Host::addFactory(const char* name, ProviderFactory factory) {
    record("registerProviderFactory ", name);
    if (watchedModule) record(registryBuilt() ? " (layers registered before)" : " (first)");
    record("\n");
    if (!name || !factory || factoryCount == kMaxFactories) return -1;
    factories[factoryCount++] = factory;
    return 0;
}

int32_t Host::registerProvider(const char* name, SharedRef ref) {
    record("registerProvider ", name);
    if (!ref.object || held) {
        record(" refused\n");
        return -1;
    }
    held = static_cast<ExtensionProvider*>(ref.object);
    record(held->hasOneRef() ? " (one reference)\n" : " (count not 1)\n");
    return 0;
}

int32_t Host::runFactories() {
    int32_t ran = 0;
    for (; factoriesRun < factoryCount; ++factoriesRun, ++ran) {
        ExtensionProvider* before = held;
        factories[factoriesRun]();
        if (held == before) continue;
        const int32_t result = held->setExtensionControl(&extensionControl);
        record("\nsetExtensionControl=");
        recordNumber(result);
        record("\n");
    }
    return ran;
}

}  // namespace

extern "C" {

ExtensionHost* getExtensionHost() {
    host.record("getExtensionHost\n");
    return &host;
}

int32_t registerProviderFactory(const char* name, ProviderFactory factory) {
    return host.addFactory(name, factory);
}

int32_t declareProvider(const char* name, const ProviderDeclaration* declaration) {
    host.record("declareProvider ", name);
    for (int i = 0; declaration && i < 3; ++i) {
        host.record(" ");
        host.recordNumber(declaration->words[i]);
    }
    host.record("\n");
    return declaration ? 0 : -1;
}

}  // extern "C"
