#pragma once
// The host application's side of zelta_rtc_sdk: the ExtensionHost that
// getExtensionHost returns also carries these operations (slots 6 on), so an
// application needs nothing from the SDK library but its three exports.
#include <cstdint>

#include "plugin/host_interfaces.h"

// Receives one line per boundary call, in the order the calls happen.
using ZeltaCallObserver = void (*)(void* user, const char* call);

class ZeltaHost : public ExtensionHost {
public:
    // Calls every factory registered since the last call, then hands each
    // provider they registered its ExtensionControl. Returns how many ran.
    virtual int32_t runFactories() = 0;                                              // 6
    // A filter from the named provider with one host reference, or null.
    virtual void* createFilter(const char* provider, const char* filterName) = 0;    // 7
    virtual int32_t processFrame(void* filter, const float* features, float* mask) = 0;  // 8
    virtual int32_t scaleState(void* filter, float factor) = 0;                      // 9
    // Drops the host's reference; -1 for a filter the host does not hold.
    virtual int32_t releaseFilter(void* filter) = 0;                                 // 10
    virtual void setObserver(ZeltaCallObserver observer, void* user) = 0;            // 11
    // The provider object registered under the name (no reference taken).
    virtual void* findProvider(const char* name) = 0;                                // 12
    // Releases every filter, then every provider, and forgets all factories
    // (call before the plug-in library is unloaded).
    virtual void shutdown() = 0;                                                     // 13

protected:
    ~ZeltaHost() = default;
};
