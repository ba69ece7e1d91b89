// Announces the plug-in to the host when the library is loaded. This object
// is linked ahead of the engine so that it is the first static initializer
// to run, before the layer-type registrations.
#include "plugin/provider.h"

namespace {

[[maybe_unused]] const int registered =
    (registerProviderFactory(ZeltaAiEchoCancellationProvider::kProviderName, providerFactory), 0);

}  // namespace
