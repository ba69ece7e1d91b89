#pragma once
#include "plugin/host_interfaces.h"

// The extension provider the plug-in registers with the host; its one
// product is the echo-cancellation filter.
class ZeltaAiEchoCancellationProvider : public ExtensionProvider {
public:
    static constexpr const char* kProviderName = "zelta_custom_aiaec";
    static constexpr const char* kFilterName = "ai_echo_cancellation_source";

    int32_t setExtensionControl(ExtensionControl* newControl) override;
    void reserved5(const void* query, int32_t* result) override;
    SharedRef* reserved6(SharedRef* result) override { return emptyRef(result); }
    SharedRef* reserved7(SharedRef* result) override { return emptyRef(result); }
    SharedRef* reserved8(SharedRef* result) override { return emptyRef(result); }
    void reserved9() override {}
    AudioFilter* createAudioFilter(const char* name) override;
    void reserved11() override {}

protected:
    ~ZeltaAiEchoCancellationProvider() = default;

private:
    static SharedRef* emptyRef(SharedRef* result) {
        *result = SharedRef{};
        return result;
    }

    ExtensionControl* control = nullptr;  // not owned
};

// Called back by the host after the library registered it at load.
void providerFactory();
