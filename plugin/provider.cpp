#include "plugin/provider.h"

#include <cstring>

#include "plugin/echo_filter.h"
#include "plugin/ref_counted.h"

int32_t ZeltaAiEchoCancellationProvider::setExtensionControl(ExtensionControl* newControl) {
    if (!newControl) return 0;
    control = newControl;
    return control->log(1, "Valid Extension Control Received by ZeltaAiEchoCancellationProvider");
}

void ZeltaAiEchoCancellationProvider::reserved5(const void*, int32_t* result) {
    if (result) *result = 0;
}

AudioFilter* ZeltaAiEchoCancellationProvider::createAudioFilter(const char* name) {
    if (!name || std::strcmp(name, kFilterName) != 0) return nullptr;
    return new RefCounter<AiEchoCancellationFilter>();
}

void providerFactory() {
    ExtensionHost* host = getExtensionHost();
    const ProviderDeclaration declaration{{999, 0, 0}};
    declareProvider(ZeltaAiEchoCancellationProvider::kProviderName, &declaration);
    if (!host) return;
    SharedRef ref{new RefCounter<ZeltaAiEchoCancellationProvider>()};
    ref.object->addRef();
    host->registerProvider(ZeltaAiEchoCancellationProvider::kProviderName, ref);
}
