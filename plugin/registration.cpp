// Announces the plug-in to the host when the library is loaded. This must be
// the module's first static initializer, ahead of the engine's layer
// registrations: link order gives that on ELF, but MinGW runs a module's
// constructors in reverse link order, so the priority decides on both.
#include "plugin/provider.h"

namespace {

__attribute__((constructor(101))) void announce() {
    registerProviderFactory(ZeltaAiEchoCancellationProvider::kProviderName, providerFactory);
}

}  // namespace
